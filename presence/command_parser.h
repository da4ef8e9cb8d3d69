#pragma once

#include <string>
#include <string_view>

namespace presence {

// The three texts a presence command string carries.
struct PresenceTexts {
    std::wstring details;
    std::wstring state;
    std::wstring gameIcon;
};

// Reads "key=value|key=value|..." in one pass, keeping only what the three
// keys need: pieces between '|' and keys and values are trimmed of U+0020,
// keys are matched with A-Z folded, the first '=' of a piece separates, a
// piece without one or with an empty key is skipped, and the last occurrence
// of a key wins. A missing key gives an empty text. Time is linear in the
// text and memory is the three results alone, whatever the text holds.
PresenceTexts parsePresenceCommand(std::wstring_view text);

}  // namespace presence
