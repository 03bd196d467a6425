#include "codec/Text.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>

#include "codec/Fields.h"

namespace GSM {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// UTF-8 and UTF-16BE are converted here rather than through iconv: the local code page is
// UTF-8, and opening a converter per call cost more than the conversion and took a
// process-wide lock that the exports' callers would wait on.

// The code point of the UTF-8 sequence at the front of `in` and its length. `length` 0: the
// first byte starts no valid sequence (overlong forms, surrogates and values past U+10FFFF
// included); `cut`: a valid start that the end of `in` cuts off.
struct Decoded {
    char32_t point = 0;
    std::size_t length = 0;
    bool cut = false;
};

Decoded DecodeUtf8(std::string_view in) {
    const auto byte = [&](std::size_t i) { return static_cast<uint8_t>(in[i]); };
    const uint8_t lead = byte(0);
    if (lead < 0x80) {
        return {lead, 1, false};
    }
    std::size_t length = 0;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {};
    }
    if (in.size() < length) {
        // Cut off: judged by the continuation bytes alone, the way iconv has always judged it.
        for (std::size_t i = 1; i < in.size(); ++i) {
            if ((byte(i) & 0xC0) != 0x80) {
                return {};
            }
        }
        return {0, 0, true};
    }
    char32_t point = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const uint8_t next = byte(i);
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) {
            return {};
        }
        point = point << 6 | (next & 0x3F);
    }
    return {point, length, false};
}

// Writes `bytes` at `produced` when they fit.
bool Put(std::span<char> out, std::size_t& produced, std::initializer_list<uint8_t> bytes) {
    if (out.size() - produced < bytes.size()) {
        return false;
    }
    for (uint8_t b : bytes) {
        out[produced++] = static_cast<char>(b);
    }
    return true;
}

// UTF-8 to UTF-16BE from `produced` on; U+FFFD for each byte that starts no character, one for
// a character cut off at the end. False when `out` is too small.
bool Utf8ToUtf16Be(std::string_view in, std::span<char> out, std::size_t& produced) {
    while (!in.empty()) {
        const Decoded d = DecodeUtf8(in);
        if (d.cut || d.length == 0) {
            if (!Put(out, produced, {0xFF, 0xFD})) {
                return false;
            }
            in.remove_prefix(d.cut ? in.size() : 1);
            continue;
        }
        in.remove_prefix(d.length);
        if (d.point < 0x10000) {
            if (!Put(out, produced,
                     {static_cast<uint8_t>(d.point >> 8), static_cast<uint8_t>(d.point)})) {
                return false;
            }
            continue;
        }
        const char32_t v = d.point - 0x10000;
        const auto highUnit = static_cast<char16_t>(0xD800 | (v >> 10));
        const auto lowUnit = static_cast<char16_t>(0xDC00 | (v & 0x3FF));
        if (!Put(out, produced,
                 {static_cast<uint8_t>(highUnit >> 8), static_cast<uint8_t>(highUnit),
                  static_cast<uint8_t>(lowUnit >> 8), static_cast<uint8_t>(lowUnit)})) {
            return false;
        }
    }
    return true;
}

// UTF-16BE (an even number of bytes) to UTF-8 from `produced` on; "?" for a lone surrogate.
bool Utf16BeToUtf8(std::string_view in, std::span<char> out, std::size_t& produced) {
    const auto unit = [&](std::size_t i) {
        return static_cast<char32_t>(static_cast<uint8_t>(in[i]) << 8 |
                                     static_cast<uint8_t>(in[i + 1]));
    };
    for (std::size_t i = 0; i + 1 < in.size(); i += 2) {
        char32_t point = unit(i);
        if (point >= 0xD800 && point <= 0xDFFF) {
            const bool paired = point <= 0xDBFF && i + 3 < in.size() && unit(i + 2) >= 0xDC00 &&
                                unit(i + 2) <= 0xDFFF;
            if (!paired) {
                if (!Put(out, produced, {'?'})) {
                    return false;
                }
                continue;
            }
            point = 0x10000 + ((point - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        }
        bool fits = false;
        if (point < 0x80) {
            fits = Put(out, produced, {static_cast<uint8_t>(point)});
        } else if (point < 0x800) {
            fits = Put(out, produced,
                       {static_cast<uint8_t>(0xC0 | point >> 6),
                        static_cast<uint8_t>(0x80 | (point & 0x3F))});
        } else if (point < 0x10000) {
            fits = Put(out, produced,
                       {static_cast<uint8_t>(0xE0 | point >> 12),
                        static_cast<uint8_t>(0x80 | (point >> 6 & 0x3F)),
                        static_cast<uint8_t>(0x80 | (point & 0x3F))});
        } else {
            fits = Put(out, produced,
                       {static_cast<uint8_t>(0xF0 | point >> 18),
                        static_cast<uint8_t>(0x80 | (point >> 12 & 0x3F)),
                        static_cast<uint8_t>(0x80 | (point >> 6 & 0x3F)),
                        static_cast<uint8_t>(0x80 | (point & 0x3F))});
        }
        if (!fits) {
            return false;
        }
    }
    return true;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// The GSM 7-bit default alphabet (3GPP TS 23.038) in UTF-8. 0x1B is the escape to the
// extension table and has no character of its own.
constexpr std::array<std::string_view, 128> kGsmAlphabet = {
    "@", "£", "$",  "¥", "è", "é", "ù", "ì", "ò", "Ç", "\n", "Ø", "ø", "\r", "Å", "å",
    "Δ", "_", "Φ",  "Γ", "Λ", "Ω", "Π", "Ψ", "Σ", "Θ", "Ξ",  ".", "Æ", "æ",  "ß", "É",
    " ", "!", "\"", "#", "¤", "%", "&", "'", "(", ")", "*",  "+", ",", "-",  ".", "/",
    "0", "1", "2",  "3", "4", "5", "6", "7", "8", "9", ":",  ";", "<", "=",  ">", "?",
    "¡", "A", "B",  "C", "D", "E", "F", "G", "H", "I", "J",  "K", "L", "M",  "N", "O",
    "P", "Q", "R",  "S", "T", "U", "V", "W", "X", "Y", "Z",  "Ä", "Ö", "Ñ",  "Ü", "§",
    "¿", "a", "b",  "c", "d", "e", "f", "g", "h", "i", "j",  "k", "l", "m",  "n", "o",
    "p", "q", "r",  "s", "t", "u", "v", "w", "x", "y", "z",  "ä", "ö", "ñ",  "ü", "à",
};

}  // namespace

std::size_t LocalToUcs2(std::string_view text, std::span<uint8_t> out) {
    std::array<char, 2 * kMaxUcs2Units> units{};
    const std::size_t room = std::min(units.size(), out.size() & ~std::size_t{1});
    std::size_t produced = 0;
    if (!Utf8ToUtf16Be(text, std::span(units).first(room), produced)) {
        return 0;
    }
    std::transform(units.begin(), units.begin() + static_cast<std::ptrdiff_t>(produced),
                   out.begin(), [](char c) { return static_cast<uint8_t>(c); });
    return produced;
}

std::size_t Ucs2ToLocal(std::span<const uint8_t> data, std::span<char> out, CrLf crLf) {
    if (out.empty()) {
        return 0;
    }
    out[0] = '\0';
    std::size_t length = std::min(data.size(), kMaxUcs2InputBytes) & ~std::size_t{1};
    if (crLf == CrLf::Ends) {
        for (std::size_t i = 0; i < length; i += 2) {
            if (data[i] == 0x0D && data[i + 1] == 0x0A) {
                length = i;
                break;
            }
        }
    }
    // At most 3 bytes per unit (4 per surrogate pair): the whole input always fits here.
    std::array<char, kMaxUcs2InputBytes / 2 * 3> local{};
    std::size_t produced = 0;
    const std::string_view in(reinterpret_cast<const char*>(data.data()), length);
    if (!Utf16BeToUtf8(in, local, produced)) {
        return 0;
    }
    return Fields::Copy(out, std::string_view(local.data(), produced));
}

std::size_t BytesToHex(std::span<const uint8_t> data, std::span<char> out) {
    if (out.empty()) {
        return 0;
    }
    const std::size_t count = std::min(data.size(), (out.size() - 1) / 2);
    for (std::size_t i = 0; i < count; ++i) {
        out[2 * i] = kHexDigits[data[i] >> 4];
        out[2 * i + 1] = kHexDigits[data[i] & 0x0F];
    }
    out[2 * count] = '\0';
    return 2 * count;
}

std::string BytesToHexString(std::span<const uint8_t> data) {
    std::string hex(2 * data.size() + 1, '\0');
    hex.resize(BytesToHex(data, hex));
    return hex;
}

std::size_t HexToBytes(std::string_view hex, std::span<uint8_t> out) {
    const std::size_t count = std::min(hex.size() / 2, out.size());
    for (std::size_t i = 0; i < count; ++i) {
        const int high = HexValue(hex[2 * i]);
        const int low = HexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) {
            return 0;
        }
        out[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return count;
}

std::size_t HexStringToBytes(std::string_view hex, std::span<uint8_t> out) {
    const auto value = [](char c) {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        const int upper = (c >= 'a' && c <= 'z') ? c - 32 : c;
        return upper - 55;
    };
    const std::size_t count = std::min(hex.size() / 2, out.size());
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = static_cast<uint8_t>((16 * value(hex[2 * i]) + value(hex[2 * i + 1])) & 0xFF);
    }
    return count;
}

uint8_t ToGsmChar(char c) {
    switch (c) {
        case '\n':
            return 0x0D;
        case '$':
            return 0x02;
        case '@':
            return 0x00;
        case '_':
            return 0x11;
        default:
            break;
    }
    if ((c >= 0x20 && c <= 0x5A) || (c >= 0x61 && c <= 0x7A)) {
        return static_cast<uint8_t>(c);
    }
    return '.';
}

std::string_view FromGsmChar(uint8_t code) {
    return code < kGsmAlphabet.size() ? kGsmAlphabet[code] : ".";
}

std::string_view FromGsmExtensionChar(uint8_t code) {
    switch (code) {
        case 0x0A:
            return "\f";
        case 0x14:
            return "^";
        case 0x28:
            return "{";
        case 0x29:
            return "}";
        case 0x2F:
            return "\\";
        case 0x3C:
            return "[";
        case 0x3D:
            return "~";
        case 0x3E:
            return "]";
        case 0x40:
            return "|";
        case 0x65:
            return "€";
        default:
            return {};
    }
}

std::size_t GsmToLocal(std::span<const uint8_t> codes, std::span<char> out) {
    if (out.empty()) {
        return 0;
    }
    out[0] = '\0';
    std::size_t used = 0;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        std::string_view piece = FromGsmChar(codes[i]);
        if (codes[i] == 0x1B && i + 1 < codes.size()) {
            ++i;
            // A code the extension table lacks shows as its main-table character.
            piece = FromGsmExtensionChar(codes[i]);
            if (piece.empty()) {
                piece = FromGsmChar(codes[i]);
            }
        }
        if (!Fields::Append(out, used, piece)) {
            break;
        }
    }
    return used;
}

std::u16string LocalToUtf16(std::string_view text) {
    // Never more units than input bytes; the replacement U+FFFD stands for at least one byte.
    std::string wide(2 * text.size(), '\0');
    std::size_t produced = 0;
    if (!Utf8ToUtf16Be(text, wide, produced)) {
        return {};
    }
    std::u16string units(produced / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<char16_t>(static_cast<uint8_t>(wide[2 * i]) << 8 |
                                         static_cast<uint8_t>(wide[2 * i + 1]));
    }
    return units;
}

std::string Utf16ToLocal(std::u16string_view units) {
    std::string wide(2 * units.size(), '\0');
    for (std::size_t i = 0; i < units.size(); ++i) {
        wide[2 * i] = static_cast<char>(units[i] >> 8);
        wide[2 * i + 1] = static_cast<char>(units[i] & 0xFF);
    }
    // At most 3 bytes per unit, and "?" for a lone one.
    std::string local(3 * units.size(), '\0');
    std::size_t produced = 0;
    if (!Utf16BeToUtf8(wide, local, produced)) {
        return {};
    }
    local.resize(produced);
    return local;
}

}  // namespace GSM
