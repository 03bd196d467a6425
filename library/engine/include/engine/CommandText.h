// Forming command texts into fixed buffers.
#pragma once

#include <cstddef>

namespace GSM {

// Formats into a zero-filled buffer of `size` bytes. False, with the buffer left empty,
// when the text and its terminator do not fit: such a command is never sent.
bool FormatCommand(char* buffer, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace GSM
