#include "engine/CommandText.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace GSM {

bool FormatCommand(char* buffer, std::size_t size, const char* format, ...) {
    std::memset(buffer, 0, size);
    va_list args;
    va_start(args, format);
    int length = std::vsnprintf(buffer, size, format, args);
    va_end(args);
    if (length < 0 || static_cast<std::size_t>(length) >= size) {
        std::memset(buffer, 0, size);
        return false;
    }
    return true;
}

}  // namespace GSM
