#pragma once

#include <map>
#include <string>
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

}  // namespace utility::ustring
