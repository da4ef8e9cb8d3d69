#pragma once

#include <cstddef>

namespace common {

// Writes value in decimal, zero-padded to at least `width` digits, into out
// (room for max(width, 20) characters) and returns how many it wrote. For
// the log's hot path, where printf is the costliest step.
template <typename Char>
size_t putDecimal(Char* out, unsigned long long value, int width) noexcept
{
    Char digits[24];
    int count = 0;
    do {
        digits[count++] = static_cast<Char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count < width && count < 24) {
        digits[count++] = static_cast<Char>('0');
    }
    for (int i = 0; i < count; ++i) {
        out[i] = digits[count - 1 - i];
    }
    return static_cast<size_t>(count);
}

}  // namespace common
