#include "codec/Text.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>

#include "codec/Fields.h"

namespace GSM {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// One conversion descriptor for one call; iconv keeps shift state in it, so none is shared.
class Converter {
public:
    Converter(const char* to, const char* from) : cd_(::iconv_open(to, from)) {}
    ~Converter() {
        if (Ok()) {
            ::iconv_close(cd_);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool Ok() const { return cd_ != reinterpret_cast<iconv_t>(static_cast<intptr_t>(-1)); }

    // Converts `in` into `out` from `produced` on; on a sequence it cannot convert it writes
    // `replacement`, skips `skip` input bytes and goes on. False when `out` is too small.
    bool Run(std::string_view in, std::span<char> out, std::size_t& produced,
             std::string_view replacement, std::size_t skip) {
        char* src = const_cast<char*>(in.data());
        std::size_t srcLeft = in.size();
        char* dst = out.data() + produced;
        std::size_t dstLeft = out.size() - produced;
        while (srcLeft > 0) {
            if (::iconv(cd_, &src, &srcLeft, &dst, &dstLeft) != static_cast<std::size_t>(-1)) {
                break;
            }
            if (errno != EILSEQ && errno != EINVAL) {
                return false;  // E2BIG
            }
            if (dstLeft < replacement.size()) {
                return false;
            }
            dst = std::copy(replacement.begin(), replacement.end(), dst);
            dstLeft -= replacement.size();
            // EINVAL: an incomplete sequence at the end; nothing follows it.
            const std::size_t n = errno == EINVAL ? srcLeft : std::min(skip, srcLeft);
            src += n;
            srcLeft -= n;
        }
        produced = out.size() - dstLeft;
        return true;
    }

private:
    iconv_t cd_;
};

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
    Converter converter("UTF-16BE", "UTF-8");
    std::size_t produced = 0;
    if (!converter.Ok() ||
        !converter.Run(text, std::span(units).first(room), produced, "\xFF\xFD", 1)) {
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
    Converter converter("UTF-8", "UTF-16BE");
    std::size_t produced = 0;
    const std::string_view in(reinterpret_cast<const char*>(data.data()), length);
    if (!converter.Ok() || !converter.Run(in, local, produced, "?", 2)) {
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
    Converter converter("UTF-16BE", "UTF-8");
    std::size_t produced = 0;
    if (!converter.Ok() || !converter.Run(text, wide, produced, "\xFF\xFD", 1)) {
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
    Converter converter("UTF-8", "UTF-16BE");
    std::size_t produced = 0;
    if (!converter.Ok() || !converter.Run(wide, local, produced, "?", 2)) {
        return {};
    }
    local.resize(produced);
    return local;
}

}  // namespace GSM
