// Helpers shared by the parsers: bounded copies into record fields, whole numbers read the
// lenient way the modems' texts need, and time-stamp digits.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace GSM::Fields {

// Copies `value` into `field` and terminates it, cut at a character boundary of the local code page
// so that it fits with its NUL. Returns the bytes copied.
std::size_t Copy(std::span<char> field, std::string_view value);

// Appends `piece` behind the `used` bytes of `field` when it fits whole with a NUL after it.
bool Append(std::span<char> field, std::size_t& used, std::string_view piece);

// A whole number as atoi reads it: leading blanks, an optional sign, digits up to the first
// other character, 0 when there are none. Saturates instead of overflowing.
long ReadNumber(std::string_view text);

// The storage index that opens a listing entry's fields ("3,1,,23" or " 3,\"REC UNREAD\""):
// blanks, one to five digits, blanks, then a comma, CR or the end. -1 when the field is anything
// else, since a garbled index would name another message to the deletion that follows.
int ReadIndex(std::string_view fields);

// Writes the six values as two digits each (clamped to 0..99) and a NUL.
void WriteStamp(std::span<char> field, const std::array<long, 6>& values);

// The text of a NUL-terminated field, never reading past its end.
std::string_view View(std::span<const char> field);

}  // namespace GSM::Fields
