#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace utility::ustring {

// Strips U+0020, and only that, from both ends.
void trim(std::wstring& text);

// Folds "A" to "Z" to "a" to "z"; every other unit stays as it is.
void toLower(std::wstring& text);

// Appends the trimmed pieces of text between delimiters: n delimiters give
// n + 1 pieces, empty ones included. An empty text or delimiter gives none.
void split(std::vector<std::wstring>& pieces, const std::wstring& text, const std::wstring& delimiter);

// Stores key/value pairs split at the first separator; keys trimmed and
// folded, values trimmed. Pieces without a separator or with an empty key are
// skipped; a later key replaces an earlier one.
void parseKeyValues(std::map<std::wstring, std::wstring>& pairs, const std::vector<std::wstring>& pieces,
                    const std::wstring& separator);

// Copies the value of key into value and returns true; false and value
// untouched when the key is absent.
bool getValue(std::wstring& value, const std::map<std::wstring, std::wstring>& pairs, const std::wstring& key);

// UTF-16 to UTF-8; empty when the text is empty or cannot be converted.
std::string toUtf8(const std::wstring& text);

// UTF-8 to UTF-16, invalid sequences as U+FFFD; empty when it cannot be converted.
std::wstring fromUtf8(std::string_view text);

// Text from outside, made safe for a log record: up to its first NUL, with
// CR, LF and the other C0 controls and DEL written as \r, \n, \t or \xHH, so
// that no sender can start a record of its own. At most maxUnits units are
// read.
std::wstring escapeForLog(std::wstring_view text, size_t maxUnits);

// The text itself when it holds no control (the common case, no copy), else
// its escaped copy, kept in scratch.
const wchar_t* loggable(const std::wstring& text, std::wstring& scratch);

}  // namespace utility::ustring
