#include <cstdint>
#include <initializer_list>

#include "codec/LocalCodePage.h"

namespace GSM::CodePage {

namespace {

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

}  // namespace

// UTF-8 to UTF-16BE from `produced` on; U+FFFD for each byte that starts no character, one for
// a character cut off at the end. False when `out` is too small.
bool LocalToUtf16Be(std::string_view in, std::span<char> out, std::size_t& produced) {
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
bool Utf16BeToLocal(std::string_view in, std::span<char> out, std::size_t& produced) {
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

namespace {

bool IsContinuation(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace

// The longest prefix of `value` of at most `room` bytes that does not end inside a UTF-8
// sequence. Bytes that are not UTF-8 are taken as they stand.
std::size_t BoundaryBefore(std::string_view value, std::size_t room) {
    if (value.size() <= room) {
        return value.size();
    }
    std::size_t cut = room;
    // A sequence is at most 4 bytes: back off over at most 3 continuation bytes.
    for (int i = 0; i < 3 && cut > 0 && IsContinuation(value[cut]); ++i) {
        --cut;
    }
    return IsContinuation(value[cut]) ? room : cut;
}

// Three bytes a unit; a surrogate pair takes four for its two units.
std::size_t MaxBytesPerUnit() {
    return 3;
}

}  // namespace GSM::CodePage
