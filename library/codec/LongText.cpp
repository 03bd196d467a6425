#include "codec/LongText.h"

#include <algorithm>

#include "codec/Pdu.h"
#include "codec/Text.h"

namespace GSM {

namespace {

constexpr uint8_t kValidity24Hours = 0xA7;  // as every other submission of ours
constexpr uint8_t kCodingGsm = 0x00;
constexpr uint8_t kConcat8 = 0x00;

bool IsLowSurrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

bool IsHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

// The code point that begins at `at`, or the lone unit there.
char32_t CodePointAt(std::u16string_view units, std::size_t at) {
    if (IsHighSurrogate(units[at]) && at + 1 < units.size() && IsLowSurrogate(units[at + 1])) {
        return 0x10000 + ((char32_t(units[at]) - 0xD800) << 10) + (units[at + 1] - 0xDC00);
    }
    return units[at];
}

// The code point that ends just before `at`.
char32_t CodePointBefore(std::u16string_view units, std::size_t at) {
    const std::size_t start =
        at >= 2 && IsLowSurrogate(units[at - 1]) && IsHighSurrogate(units[at - 2]) ? at - 2
                                                                                   : at - 1;
    return CodePointAt(units, start);
}

bool IsRegionalIndicator(char32_t c) {
    return c >= 0x1F1E6 && c <= 0x1F1FF;
}

// Code points that belong to the character before them: combining marks, the joiner,
// variation selectors, skin tones, emoji tags.
bool Extends(char32_t c) {
    return (c >= 0x0300 && c <= 0x036F) || (c >= 0x1AB0 && c <= 0x1AFF) ||
           (c >= 0x1DC0 && c <= 0x1DFF) || (c >= 0x20D0 && c <= 0x20FF) ||
           (c >= 0xFE20 && c <= 0xFE2F) || (c >= 0xFE00 && c <= 0xFE0F) || c == 0x200D ||
           (c >= 0x1F3FB && c <= 0x1F3FF) || (c >= 0xE0020 && c <= 0xE007F) ||
           (c >= 0xE0100 && c <= 0xE01EF);
}

// Whether a part may end just before unit `at` without breaking a character a reader sees
// as one. With `clusters` false only surrogate pairs are kept whole.
bool MayCut(std::u16string_view units, std::size_t at, bool clusters) {
    if (at == 0 || at >= units.size()) {
        return true;
    }
    if (IsLowSurrogate(units[at]) && IsHighSurrogate(units[at - 1])) {
        return false;
    }
    if (!clusters) {
        return true;
    }
    const char32_t next = CodePointAt(units, at);
    const char32_t previous = CodePointBefore(units, at);
    if (Extends(next) || previous == 0x200D) {
        return false;
    }
    if (!IsRegionalIndicator(next) || !IsRegionalIndicator(previous)) {
        return true;
    }
    // Flags are pairs of indicators: a cut is fine only after an even run of them.
    std::size_t run = 0;
    for (std::size_t i = at; i >= 2 && IsRegionalIndicator(CodePointBefore(units, i)); i -= 2) {
        ++run;
    }
    return run % 2 == 0;
}

std::size_t Ucs2PartEnd(std::u16string_view units, std::size_t start) {
    const std::size_t limit = std::min(units.size(), start + kConcatUcs2Units);
    for (bool clusters : {true, false}) {
        for (std::size_t end = limit; end > start; --end) {
            if (MayCut(units, end, clusters)) {
                return end;
            }
        }
    }
    return limit;
}

std::vector<std::u16string> SplitUcs2(std::u16string_view units) {
    if (units.size() <= kSingleUcs2Units) {
        return {std::u16string(units)};
    }
    std::vector<std::u16string> parts;
    for (std::size_t start = 0; start < units.size();) {
        const std::size_t end = Ucs2PartEnd(units, start);
        parts.emplace_back(units.substr(start, end - start));
        start = end;
    }
    return parts;
}

std::vector<std::u16string> SplitGsm(std::u16string_view units) {
    std::vector<std::size_t> septets(units.size());
    std::size_t total = 0;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const auto codes = Utf16ToGsm(units.substr(i, 1));
        septets[i] = codes ? codes->size() : 1;
        total += septets[i];
    }
    if (total <= kSingleSeptets) {
        return {std::u16string(units)};
    }
    std::vector<std::u16string> parts;
    std::size_t start = 0;
    std::size_t used = 0;
    for (std::size_t i = 0; i < units.size(); ++i) {
        // An escape pair goes whole into the next part.
        if (used + septets[i] > kConcatSeptets) {
            parts.emplace_back(units.substr(start, i - start));
            start = i;
            used = 0;
        }
        used += septets[i];
    }
    parts.emplace_back(units.substr(start));
    return parts;
}

// Septets `codes` packed behind `header` octets, from the first septet boundary after them.
std::vector<uint8_t> PackBehindHeader(std::span<const uint8_t> header,
                                      std::span<const uint8_t> codes) {
    const std::size_t headerSeptets = (header.size() * 8 + 6) / 7;
    const std::size_t bits = (headerSeptets + codes.size()) * 7;
    std::vector<uint8_t> out((bits + 7) / 8, 0);
    std::copy(header.begin(), header.end(), out.begin());
    for (std::size_t k = 0; k < codes.size(); ++k) {
        const std::size_t bit = (headerSeptets + k) * 7;
        const unsigned value = codes[k] & 0x7Fu;
        out[bit / 8] |= static_cast<uint8_t>(value << (bit % 8));
        if (bit % 8 > 1) {
            out[bit / 8 + 1] |= static_cast<uint8_t>(value >> (8 - bit % 8));
        }
    }
    return out;
}

}  // namespace

std::vector<std::u16string> SplitLongText(std::u16string_view units, bool gsm) {
    return gsm ? SplitGsm(units) : SplitUcs2(units);
}

std::string BuildLongSubmitPdu(const SubmitUnit& unit) {
    std::vector<uint8_t> header;
    if (unit.concat) {
        header = {5,
                  kConcat8,
                  3,
                  static_cast<uint8_t>(unit.concat->reference),
                  unit.concat->count,
                  unit.concat->number};
    }
    std::vector<uint8_t> data;
    std::size_t length = 0;  // septets for the GSM alphabet, else octets
    if (unit.gsm) {
        const auto codes = Utf16ToGsm(unit.text);
        const std::size_t room = header.empty() ? kSingleSeptets : kConcatSeptets;
        if (!codes || codes->size() > room) {
            return {};
        }
        data = PackBehindHeader(header, *codes);
        length = (header.size() * 8 + 6) / 7 + codes->size();
    } else {
        const std::size_t room = header.empty() ? kSingleUcs2Units : kConcatUcs2Units;
        if (unit.text.size() > room) {
            return {};
        }
        data = header;
        for (const char16_t c : unit.text) {
            data.push_back(static_cast<uint8_t>(c >> 8));
            data.push_back(static_cast<uint8_t>(c & 0xFF));
        }
        length = data.size();
    }
    std::string hex = SubmitHead(unit.serviceCentre, unit.serviceCentreInternational, unit.number,
                                 !header.empty(), unit.statusReport);
    if (hex.empty()) {
        return {};
    }
    const uint8_t head[] = {unit.protocolId, unit.gsm ? kCodingGsm : kCodingUcs2, kValidity24Hours,
                            static_cast<uint8_t>(length)};
    return hex + BytesToHexString(head) + BytesToHexString(data);
}

}  // namespace GSM
