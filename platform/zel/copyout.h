// Copying a value out to a caller's buffer, as every keyword and board call
// of the framework answers it.
#pragma once

#include <cstring>
#include <string>

#include "zel/zelframework.h"

namespace zel {

// Copies length bytes of text into buffer, terminated; a value that does not
// fit leaves a cut, terminated copy.
inline unsigned CopyOut(const char* text, size_t length, char* buffer, unsigned size) {
    if (buffer == nullptr || size == 0) return ZEL_ERR_INVALID_ARGUMENT;
    if (length < size) {
        std::memcpy(buffer, text, length);
        buffer[length] = '\0';
        return ZEL_OK;
    }
    std::memcpy(buffer, text, size - 1);
    buffer[size - 1] = '\0';
    return ZEL_ERR_BUFFER_TOO_SMALL;
}

inline unsigned CopyOut(const std::string& text, char* buffer, unsigned size) {
    return CopyOut(text.data(), text.size(), buffer, size);
}

// A terminated text (a fixed answer, a name) without making a string of it first.
inline unsigned CopyOut(const char* text, char* buffer, unsigned size) {
    return CopyOut(text, std::strlen(text), buffer, size);
}

// A number in decimal (value, with a minus sign when negative), as "%lld" and
// "%llu" print it.
inline unsigned CopyOutUnsigned(unsigned long long value, bool negative, char* buffer, unsigned size) {
    static const char kPairs[] =
        "0001020304050607080910111213141516171819202122232425262728293031323334353637383940414243444546474849"
        "5051525354555657585960616263646566676869707172737475767778798081828384858687888990919293949596979899";
    char digits[24];
    char* end = digits + sizeof(digits);
    char* p = end;
    if (value < 10000) {
        // Numbers below 10000 (handles, counts, most values): four digits made
        // at once from two pairs, then the leading zeros dropped, so that such
        // a number costs the same whatever its length.
        const unsigned v = static_cast<unsigned>(value);
        p -= 4;
        std::memcpy(p, kPairs + 2 * (v / 100), 2);
        std::memcpy(p + 2, kPairs + 2 * (v % 100), 2);
        p += 3 - (v >= 10) - (v >= 100) - (v >= 1000);
    } else {
        do {
            *--p = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
    }
    if (negative) *--p = '-';
    return CopyOut(p, static_cast<size_t>(end - p), buffer, size);
}

inline unsigned CopyOutLong(long value, char* buffer, unsigned size) {
    // The magnitude of LONG_MIN does not fit a long, but fits unsigned long long.
    const unsigned long long magnitude =
        value < 0 ? 0 - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
    return CopyOutUnsigned(magnitude, value < 0, buffer, size);
}

}  // namespace zel
