#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace text {

// How many bytes of utf8 fit in limit without leaving part of a character at
// the end: all of them when they fit, else limit moved back to the start of
// the sequence it falls in.
constexpr size_t utf8CutLength(std::string_view utf8, size_t limit) noexcept
{
    if (utf8.size() <= limit) {
        return utf8.size();
    }
    size_t length = limit;
    while (length > 0 && (static_cast<unsigned char>(utf8[length]) & 0xC0) == 0x80) {
        --length;
    }
    return length;
}

// Fills a fixed text field of size bytes with utf8: at most size - 1 bytes,
// cut at a whole character, the rest zero, always terminated.
inline void copyField(char* field, size_t size, std::string_view utf8) noexcept
{
    if (size == 0) {
        return;
    }
    const size_t length = utf8CutLength(utf8, size - 1);
    std::copy_n(utf8.data(), length, field);
    std::fill(field + length, field + size, '\0');
}

template <size_t Size>
void copyField(char (&field)[Size], std::string_view utf8) noexcept
{
    copyField(field, Size, utf8);
}

}  // namespace text
