#pragma once

// Wide text into the fixed UTF-8 fields of a C interface, without an
// allocation.
#include "text/utf8_cut.h"

#include <windows.h>

#include <algorithm>
#include <string_view>

namespace utility {

// As much of text as a field of Size bytes can show, as UTF-8 in utf8: every
// unit is at least one byte, so units past the field's size never reach it,
// and the units that may are at most three bytes each (a pair of surrogates
// makes four of two). whole tells whether all of text fits the field.
template <size_t Size>
std::string_view fieldUtf8(std::wstring_view text, char (&utf8)[3 * Size], bool& whole)
{
    const int units = static_cast<int>(std::min(text.size(), Size));
    const int bytes = units == 0 ? 0
                                 : WideCharToMultiByte(CP_UTF8, 0, text.data(), units, utf8, static_cast<int>(sizeof utf8),
                                                       nullptr, nullptr);
    const size_t length = bytes > 0 ? static_cast<size_t>(bytes) : 0;
    whole = text.size() < Size && length < Size;
    return std::string_view(utf8, length);
}

// Fills a text field with text, cut at a whole character if need be.
template <size_t Size>
void copyToField(char (&field)[Size], std::wstring_view text)
{
    char utf8[3 * Size];
    bool whole = false;
    text::copyField(field, fieldUtf8<Size>(text, utf8, whole));
}

// Fills a field with text whole, or leaves it empty (a cut address names
// another image, most likely none). False when it did not fit.
template <size_t Size>
bool copyWholeToField(char (&field)[Size], std::wstring_view text)
{
    char utf8[3 * Size];
    bool whole = false;
    const std::string_view all = fieldUtf8<Size>(text, utf8, whole);
    text::copyField(field, whole ? all : std::string_view());
    return whole;
}

}  // namespace utility
