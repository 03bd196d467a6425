// Conversions between local text (in the local code page), big-endian UCS2, hex text and
// the GSM default alphabet. Pure functions on caller buffers; none keeps state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace GSM {

// LocalToUcs2 converts at most this many UTF-16 units.
inline constexpr std::size_t kMaxUcs2Units = 128;
// Ucs2ToLocal reads at most this many bytes of UCS2.
inline constexpr std::size_t kMaxUcs2InputBytes = 512;

// Local text to big-endian UTF-16 in `out`; invalid input becomes U+FFFD. Returns the bytes
// written (two per unit), or 0 with `out` untouched when the text needs more than
// kMaxUcs2Units units or more room than `out` has.
std::size_t LocalToUcs2(std::string_view text, std::span<uint8_t> out);

// Whether the unit 0x0D0A (CR LF at an even offset) ends a UCS2 text. Only the raw body of a
// read reply is ended that way; PDU and hex bodies are converted for their exact length.
enum class CrLf { Convert, Ends };

// Big-endian UTF-16 (an odd last byte ignored, at most kMaxUcs2InputBytes) to local text in
// `out`, NUL-terminated; invalid units become "?". Text that does not fit is cut at a
// character boundary. Returns the bytes written, without the NUL.
std::size_t Ucs2ToLocal(std::span<const uint8_t> data, std::span<char> out,
                        CrLf crLf = CrLf::Convert);

// Two upper-case hex digits per byte, high nibble first, then a NUL; as many whole bytes as
// fit `out` with the NUL. Returns the digits written.
std::size_t BytesToHex(std::span<const uint8_t> data, std::span<char> out);
std::string BytesToHexString(std::span<const uint8_t> data);

// Strict hex (either case) to bytes: two digits a byte, an odd last digit ignored, at most
// out.size() bytes. Returns the bytes written, or 0 when a digit is not hex.
std::size_t HexToBytes(std::string_view hex, std::span<uint8_t> out);

// Whether the text is whole bytes of hex digits (either case) and nothing else; false when
// empty.
bool IsHexText(std::string_view text);

// Lenient hex for listing bodies: a digit stands for its value, anything else for its
// upper-case code minus 55 (so A-F and a-f are 10-15). Returns the bytes written.
std::size_t HexStringToBytes(std::string_view hex, std::span<uint8_t> out);

// Send mapping of one local character to the GSM default alphabet; "." when unsafe.
uint8_t ToGsmChar(char c);

// Receive mapping of one GSM code (0-127) to local text; "." for 0x1B and for codes above 127.
std::string_view FromGsmChar(uint8_t code);

// The character that an escape (0x1B) followed by `code` stands for; empty when the
// extension table has none.
std::string_view FromGsmExtensionChar(uint8_t code);

// GSM codes, one per byte, to local text in `out`, NUL-terminated; an escape and the code
// after it make one extension character, and a trailing escape is ".". Cut at a character
// boundary when `out` is too small. Returns the bytes written, without the NUL.
std::size_t GsmToLocal(std::span<const uint8_t> codes, std::span<char> out);

// The GSM default-alphabet codes of UTF-16 text, an extension character as the escape and
// its code; none when a character has no place in either table.
std::optional<std::vector<uint8_t>> Utf16ToGsm(std::u16string_view units);

// Local text of any length to UTF-16 units; invalid input becomes U+FFFD.
std::u16string LocalToUtf16(std::string_view text);

// UTF-16 units to local text; a lone surrogate becomes "?".
std::string Utf16ToLocal(std::u16string_view units);

}  // namespace GSM
