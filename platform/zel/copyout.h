// Copying a value out to a caller's buffer, as every keyword and board call
// of the framework answers it.
#pragma once

#include <cstring>
#include <string>

#include "zel/zelframework.h"

namespace zel {

// Copies text into buffer; a value that does not fit leaves a cut, terminated copy.
inline unsigned CopyOut(const std::string& text, char* buffer, unsigned size) {
    if (buffer == nullptr || size == 0) return ZEL_ERR_INVALID_ARGUMENT;
    if (text.size() < size) {
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        return ZEL_OK;
    }
    std::memcpy(buffer, text.data(), size - 1);
    buffer[size - 1] = '\0';
    return ZEL_ERR_BUFFER_TOO_SMALL;
}

}  // namespace zel
