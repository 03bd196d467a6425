// Character work for the simulator's units: the GSM 7-bit default alphabet, septet packing,
// UTF-8 and UTF-16.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ModemSim::Pdu {

// Code points of a UTF-8 text; a malformed sequence gives U+FFFD for its first byte.
std::u32string DecodeUtf8(std::string_view text);
void AppendUtf8(std::string& out, char32_t cp);

// Big-endian UTF-16 octets of code points, with surrogate pairs above U+FFFF.
std::vector<uint8_t> EncodeUtf16(std::u32string_view text);
// UTF-8 of big-endian UTF-16 octets; a lone surrogate gives U+FFFD. False for an odd count.
bool Utf16ToUtf8(std::span<const uint8_t> octets, std::string& out);

// GSM codes of a text, escapes for the extension table, "?" for what neither table holds.
std::vector<uint8_t> ToGsmCodes(std::u32string_view text);
// UTF-8 of GSM codes; an escape and its follower form one extension character.
std::string FromGsmCodes(std::span<const uint8_t> codes);

// Septets written from septet `first` on into `octets`, which grows to hold them.
void PackSeptets(std::span<const uint8_t> codes, std::size_t first, std::vector<uint8_t>& octets);
// `count` septets from septet `first` on; false when the octets do not hold them.
bool UnpackSeptets(std::span<const uint8_t> octets, std::size_t first, std::size_t count,
                   std::vector<uint8_t>& codes);

}  // namespace ModemSim::Pdu
