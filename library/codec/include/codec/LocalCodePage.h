// The local code page: UTF-8 on POSIX systems, the system's ANSI code page on Windows.
// The one part of the codec that differs by platform; each has a file of its own.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace GSM::CodePage {

// Local text to UTF-16BE, written from `produced` on. Bytes that start no character become
// a replacement character, never nothing. False when `out` is too small.
bool LocalToUtf16Be(std::string_view in, std::span<char> out, std::size_t& produced);

// UTF-16BE (an even number of bytes) to local text, written from `produced` on. A character
// the code page cannot show becomes its default character and a lone surrogate "?"; the
// rest is kept. False when `out` is too small.
bool Utf16BeToLocal(std::string_view in, std::span<char> out, std::size_t& produced);

// The most bytes that one UTF-16 unit takes in local text, for sizing buffers.
std::size_t MaxBytesPerUnit();

// The longest prefix of `value` of at most `room` bytes that does not end inside a
// character. Bytes that form no character are taken as they stand.
std::size_t BoundaryBefore(std::string_view value, std::size_t room);

}  // namespace GSM::CodePage
