#include "pdu/Alphabet.h"

#include <array>
#include <utility>

namespace ModemSim::Pdu {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr uint8_t kEscape = 0x1B;
constexpr uint8_t kQuestionMark = 0x3F;

// 3GPP TS 23.038 6.2.1, by code; the escape's slot holds 0 (it has no character).
constexpr std::array<char32_t, 128> kDefault = {
    0x0040, 0x00A3, 0x0024, 0x00A5, 0x00E8, 0x00E9, 0x00F9, 0x00EC,  // @ £ $ ¥ è é ù ì
    0x00F2, 0x00C7, 0x000A, 0x00D8, 0x00F8, 0x000D, 0x00C5, 0x00E5,  // ò Ç LF Ø ø CR Å å
    0x0394, 0x005F, 0x03A6, 0x0393, 0x039B, 0x03A9, 0x03A0, 0x03A8,  // Δ _ Φ Γ Λ Ω Π Ψ
    0x03A3, 0x0398, 0x039E, 0x0000, 0x00C6, 0x00E6, 0x00DF, 0x00C9,  // Σ Θ Ξ ESC Æ æ ß É
    0x0020, 0x0021, 0x0022, 0x0023, 0x00A4, 0x0025, 0x0026, 0x0027,  // space ! " # ¤ % & '
    0x0028, 0x0029, 0x002A, 0x002B, 0x002C, 0x002D, 0x002E, 0x002F,  // ( ) * + , - . /
    0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037,  // 0-7
    0x0038, 0x0039, 0x003A, 0x003B, 0x003C, 0x003D, 0x003E, 0x003F,  // 8 9 : ; < = > ?
    0x00A1, 0x0041, 0x0042, 0x0043, 0x0044, 0x0045, 0x0046, 0x0047,  // ¡ A-G
    0x0048, 0x0049, 0x004A, 0x004B, 0x004C, 0x004D, 0x004E, 0x004F,  // H-O
    0x0050, 0x0051, 0x0052, 0x0053, 0x0054, 0x0055, 0x0056, 0x0057,  // P-W
    0x0058, 0x0059, 0x005A, 0x00C4, 0x00D6, 0x00D1, 0x00DC, 0x00A7,  // X Y Z Ä Ö Ñ Ü §
    0x00BF, 0x0061, 0x0062, 0x0063, 0x0064, 0x0065, 0x0066, 0x0067,  // ¿ a-g
    0x0068, 0x0069, 0x006A, 0x006B, 0x006C, 0x006D, 0x006E, 0x006F,  // h-o
    0x0070, 0x0071, 0x0072, 0x0073, 0x0074, 0x0075, 0x0076, 0x0077,  // p-w
    0x0078, 0x0079, 0x007A, 0x00E4, 0x00F6, 0x00F1, 0x00FC, 0x00E0,  // x y z ä ö ñ ü à
};

// 3GPP TS 23.038 6.2.1.1: the codes that follow an escape.
constexpr std::array<std::pair<uint8_t, char32_t>, 10> kExtension = {{
    {0x0A, 0x000C},
    {0x14, 0x005E},
    {0x28, 0x007B},
    {0x29, 0x007D},
    {0x2F, 0x005C},
    {0x3C, 0x005B},
    {0x3D, 0x007E},
    {0x3E, 0x005D},
    {0x40, 0x007C},
    {0x65, 0x20AC},
}};

bool IsContinuation(uint8_t b) {
    return (b & 0xC0) == 0x80;
}

}  // namespace

std::u32string DecodeUtf8(std::string_view text) {
    std::u32string out;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<uint8_t>(text[i]);
        std::size_t extra = 0;
        char32_t cp = 0;
        char32_t least = 0;
        if (lead < 0x80) {
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1, cp = lead & 0x1Fu, least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, cp = lead & 0x0Fu, least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, cp = lead & 0x07u, least = 0x10000;
        } else {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        bool ok = i + extra < text.size() || extra == 0;
        for (std::size_t k = 1; ok && k <= extra; ++k) {
            const auto b = static_cast<uint8_t>(text[i + k]);
            ok = IsContinuation(b);
            cp = (cp << 6) | (b & 0x3Fu);
        }
        if (!ok || cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(kReplacement);
            ++i;
            continue;
        }
        out.push_back(cp);
        i += extra + 1;
    }
    return out;
}

void AppendUtf8(std::string& out, char32_t cp) {
    const auto put = [&out](char32_t bits) { out.push_back(static_cast<char>(bits)); };
    if (cp < 0x80) {
        put(cp);
    } else if (cp < 0x800) {
        put(0xC0 | (cp >> 6));
        put(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        put(0xE0 | (cp >> 12));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    } else {
        put(0xF0 | (cp >> 18));
        put(0x80 | ((cp >> 12) & 0x3F));
        put(0x80 | ((cp >> 6) & 0x3F));
        put(0x80 | (cp & 0x3F));
    }
}

std::vector<uint8_t> EncodeUtf16(std::u32string_view text) {
    std::vector<uint8_t> out;
    const auto unit = [&out](char32_t u) {
        out.push_back(static_cast<uint8_t>(u >> 8));
        out.push_back(static_cast<uint8_t>(u & 0xFF));
    };
    for (char32_t cp : text) {
        if (cp >= 0x10000) {
            const char32_t v = cp - 0x10000;
            unit(0xD800 + (v >> 10));
            unit(0xDC00 + (v & 0x3FF));
        } else {
            unit(cp);
        }
    }
    return out;
}

bool Utf16ToUtf8(std::span<const uint8_t> octets, std::string& out) {
    if (octets.size() % 2 != 0) {
        return false;
    }
    const auto unitAt = [&octets](std::size_t i) {
        return static_cast<char32_t>(octets[i] << 8 | octets[i + 1]);
    };
    for (std::size_t i = 0; i < octets.size(); i += 2) {
        const char32_t u = unitAt(i);
        if (u >= 0xD800 && u <= 0xDBFF && i + 2 < octets.size()) {
            const char32_t low = unitAt(i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        AppendUtf8(out, (u >= 0xD800 && u <= 0xDFFF) ? kReplacement : u);
    }
    return true;
}

std::vector<uint8_t> ToGsmCodes(std::u32string_view text) {
    std::vector<uint8_t> codes;
    for (char32_t cp : text) {
        bool found = false;
        for (std::size_t code = 0; code < kDefault.size() && !found; ++code) {
            if (code != kEscape && kDefault[code] == cp) {
                codes.push_back(static_cast<uint8_t>(code));
                found = true;
            }
        }
        for (const auto& [code, ext] : kExtension) {
            if (!found && ext == cp) {
                codes.push_back(kEscape);
                codes.push_back(code);
                found = true;
            }
        }
        if (!found) {
            codes.push_back(kQuestionMark);
        }
    }
    return codes;
}

std::string FromGsmCodes(std::span<const uint8_t> codes) {
    std::string out;
    for (std::size_t i = 0; i < codes.size(); ++i) {
        const uint8_t code = codes[i] & 0x7F;
        if (code != kEscape) {
            AppendUtf8(out, kDefault[code]);
            continue;
        }
        if (i + 1 == codes.size()) {
            out.push_back(' ');  // a lone escape at the end shows as a space
            continue;
        }
        const uint8_t next = codes[++i] & 0x7F;
        char32_t cp = next == kEscape ? U' ' : kDefault[next];
        for (const auto& [ext, value] : kExtension) {
            if (ext == next) {
                cp = value;
            }
        }
        AppendUtf8(out, cp);
    }
    return out;
}

void PackSeptets(std::span<const uint8_t> codes, std::size_t first, std::vector<uint8_t>& octets) {
    const std::size_t totalBits = 7 * (first + codes.size());
    octets.resize(std::max(octets.size(), (totalBits + 7) / 8), 0);
    for (std::size_t k = 0; k < codes.size(); ++k) {
        const std::size_t bit = 7 * (first + k);
        const unsigned value = codes[k] & 0x7Fu;
        octets[bit / 8] = static_cast<uint8_t>(octets[bit / 8] | (value << (bit % 8)));
        if (bit % 8 > 1) {
            octets[bit / 8 + 1] =
                static_cast<uint8_t>(octets[bit / 8 + 1] | (value >> (8 - bit % 8)));
        }
    }
}

bool UnpackSeptets(std::span<const uint8_t> octets, std::size_t first, std::size_t count,
                   std::vector<uint8_t>& codes) {
    if (7 * (first + count) > 8 * octets.size()) {
        return false;
    }
    for (std::size_t k = first; k < first + count; ++k) {
        const std::size_t bit = 7 * k;
        unsigned value = octets[bit / 8] >> (bit % 8);
        if (bit % 8 > 1) {
            value |= static_cast<unsigned>(octets[bit / 8 + 1]) << (8 - bit % 8);
        }
        codes.push_back(static_cast<uint8_t>(value & 0x7F));
    }
    return true;
}

}  // namespace ModemSim::Pdu
