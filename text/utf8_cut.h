#pragma once

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

}  // namespace text
