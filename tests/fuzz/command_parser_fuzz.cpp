// The one-pass presence command parser against the straightforward one it
// replaced: split at '|', trim, split each piece at its first '=', fold and
// trim the key, keep the last value of each key in a map. Both must give the
// same three texts for every input.
#include "presence/command_parser.h"

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

void trim(std::wstring& text)
{
    const size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring::npos) {
        text.clear();
        return;
    }
    text.erase(0, first);
    text.erase(text.find_last_not_of(L' ') + 1);
}

presence::PresenceTexts oracle(const std::wstring& text)
{
    std::vector<std::wstring> pieces;
    if (!text.empty()) {
        size_t start = 0;
        for (size_t found = text.find(L'|'); found != std::wstring::npos; found = text.find(L'|', start)) {
            pieces.push_back(text.substr(start, found - start));
            start = found + 1;
        }
        pieces.push_back(text.substr(start));
    }
    std::map<std::wstring, std::wstring> pairs;
    for (std::wstring piece : pieces) {
        trim(piece);
        const size_t at = piece.find(L'=');
        if (at == std::wstring::npos) {
            continue;
        }
        std::wstring key = piece.substr(0, at);
        trim(key);
        for (wchar_t& unit : key) {
            if (unit >= L'A' && unit <= L'Z') {
                unit = static_cast<wchar_t>(unit - L'A' + L'a');
            }
        }
        if (key.empty()) {
            continue;
        }
        std::wstring value = piece.substr(at + 1);
        trim(value);
        pairs[key] = value;
    }
    presence::PresenceTexts texts;
    texts.details = pairs.count(L"details") ? pairs[L"details"] : std::wstring();
    texts.state = pairs.count(L"state") ? pairs[L"state"] : std::wstring();
    texts.gameIcon = pairs.count(L"gameicon") ? pairs[L"gameicon"] : std::wstring();
    return texts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The first byte picks how bytes become UTF-16 units: one byte each (dense
    // in separators and key letters), or two little-endian bytes each.
    if (size == 0) {
        return 0;
    }
    std::wstring text;
    if (data[0] & 1) {
        for (size_t i = 1; i + 1 < size; i += 2) {
            text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
        }
    } else {
        for (size_t i = 1; i < size; ++i) {
            text.push_back(static_cast<wchar_t>(data[i]));
        }
    }
    const presence::PresenceTexts expected = oracle(text);
    const presence::PresenceTexts got = presence::parsePresenceCommand(text);
    if (got.details != expected.details || got.state != expected.state || got.gameIcon != expected.gameIcon) {
        std::abort();
    }
    return 0;
}
