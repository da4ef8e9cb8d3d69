#include "utility/ustring.h"

#include <windows.h>

#include <algorithm>
#include <limits>

namespace utility::ustring {

void trim(std::wstring& text)
{
    if (text.empty()) {
        return;
    }
    const size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring::npos) {
        text.clear();
        return;
    }
    text.erase(0, first);
    text.erase(text.find_last_not_of(L' ') + 1);
}

void toLower(std::wstring& text)
{
    // tolower() on units above 255 is undefined; in the C locale only A-Z
    // change anyway.
    for (wchar_t& unit : text) {
        if (unit >= L'A' && unit <= L'Z') {
            unit = static_cast<wchar_t>(unit - L'A' + L'a');
        }
    }
}

void split(std::vector<std::wstring>& pieces, const std::wstring& text, const std::wstring& delimiter)
{
    if (text.empty() || delimiter.empty()) {
        return;
    }
    size_t start = 0;
    for (size_t found = text.find(delimiter[0], start); found != std::wstring::npos;
         found = text.find(delimiter[0], start)) {
        std::wstring piece = text.substr(start, found - start);
        trim(piece);
        pieces.push_back(std::move(piece));
        start = found + 1;
    }
    std::wstring rest = text.substr(start);
    trim(rest);
    pieces.push_back(std::move(rest));
}

void parseKeyValues(std::map<std::wstring, std::wstring>& pairs, const std::vector<std::wstring>& pieces,
                    const std::wstring& separator)
{
    if (separator.empty()) {
        return;
    }
    for (const std::wstring& piece : pieces) {
        const size_t at = piece.find(separator);
        if (at == std::wstring::npos) {
            continue;
        }
        std::wstring key = piece.substr(0, at);
        trim(key);
        toLower(key);
        if (key.empty()) {
            continue;
        }
        std::wstring value = piece.substr(at + separator.size());
        trim(value);
        pairs[key] = std::move(value);
    }
}

bool getValue(std::wstring& value, const std::map<std::wstring, std::wstring>& pairs, const std::wstring& key)
{
    auto it = pairs.find(key);
    if (it == pairs.end()) {
        return false;
    }
    value = it->second;
    return true;
}

std::string toUtf8(const std::wstring& text)
{
    if (text.empty() || text.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
        return std::string();
    }
    const int units = static_cast<int>(text.size());
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) {
        return std::string();
    }
    std::string result(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), units, result.data(), bytes, nullptr, nullptr);
    return result;
}

std::wstring fromUtf8(std::string_view text)
{
    if (text.empty() || text.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
        return std::wstring();
    }
    const int bytes = static_cast<int>(text.size());
    const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, nullptr, 0);
    if (units <= 0) {
        return std::wstring();
    }
    std::wstring result(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, result.data(), units);
    return result;
}

std::wstring escapeForLog(std::wstring_view text, size_t maxUnits)
{
    text = text.substr(0, std::min(maxUnits, text.find(L'\0')));
    std::wstring escaped;
    escaped.reserve(text.size());
    for (const wchar_t unit : text) {
        if (unit >= 0x20 && unit != 0x7F) {
            escaped += unit;
        } else if (unit == L'\r') {
            escaped += L"\\r";
        } else if (unit == L'\n') {
            escaped += L"\\n";
        } else if (unit == L'\t') {
            escaped += L"\\t";
        } else {
            escaped += L"\\x";
            escaped += L"0123456789abcdef"[(unit >> 4) & 0xF];
            escaped += L"0123456789abcdef"[unit & 0xF];
        }
    }
    return escaped;
}

const wchar_t* loggable(const std::wstring& text, std::wstring& scratch)
{
    const bool plain = std::none_of(text.begin(), text.end(), [](wchar_t unit) { return unit < 0x20 || unit == 0x7F; });
    if (plain) {
        return text.c_str();
    }
    scratch = escapeForLog(text, text.size());
    return scratch.c_str();
}

}  // namespace utility::ustring
