#include "presence/command_parser.h"

namespace presence {
namespace {

std::wstring_view trimmed(std::wstring_view text)
{
    const size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring_view::npos) {
        return std::wstring_view();
    }
    return text.substr(first, text.find_last_not_of(L' ') - first + 1);
}

// Whether key, with A-Z folded, is name (given in lower case).
bool keyIs(std::wstring_view key, std::wstring_view name)
{
    if (key.size() != name.size()) {
        return false;
    }
    for (size_t i = 0; i < key.size(); ++i) {
        wchar_t unit = key[i];
        if (unit >= L'A' && unit <= L'Z') {
            unit = static_cast<wchar_t>(unit - L'A' + L'a');
        }
        if (unit != name[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

PresenceTexts parsePresenceCommand(std::wstring_view text)
{
    // Where each key's last value lies in text; copied out once at the end.
    std::wstring_view details;
    std::wstring_view state;
    std::wstring_view gameIcon;
    size_t start = 0;
    while (start <= text.size() && !text.empty()) {
        size_t end = text.find(L'|', start);
        if (end == std::wstring_view::npos) {
            end = text.size();
        }
        const std::wstring_view piece = trimmed(text.substr(start, end - start));
        const size_t at = piece.find(L'=');
        if (at != std::wstring_view::npos) {
            const std::wstring_view key = trimmed(piece.substr(0, at));
            const std::wstring_view value = trimmed(piece.substr(at + 1));
            if (keyIs(key, L"details")) {
                details = value;
            } else if (keyIs(key, L"state")) {
                state = value;
            } else if (keyIs(key, L"gameicon")) {
                gameIcon = value;
            }
        }
        start = end + 1;
    }
    return PresenceTexts{std::wstring(details), std::wstring(state), std::wstring(gameIcon)};
}

}  // namespace presence
