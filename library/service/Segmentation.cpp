#include "service/Segmentation.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "codec/Fields.h"
#include "codec/LongText.h"
#include "codec/Text.h"
#include "engine/ModelTable.h"
#include "service/Stores.h"

namespace GSM {

namespace {

constexpr std::size_t kNumberCapacity = sizeof(MsgRecord::number) - 1;
constexpr std::size_t kServiceCentreCopied = sizeof(MsgRecord::serviceCentre) - 1;

bool AllDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsHighSurrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

// The destination field and how many of its leading characters are the prefix. A "+"
// number is complete: nothing is added, nothing stripped. Without a prefix the first two
// characters stand for the country code the caller wrote into the number.
bool BuildDestination(const char* number, const char* prefix, std::string& field,
                      uint8_t& prefixLength) {
    if (number == nullptr) {
        return false;
    }
    const std::string_view digits(number);
    const bool international = !digits.empty() && digits.front() == '+';
    const std::string_view body = international ? digits.substr(1) : digits;
    if (body.empty() || !AllDigits(body)) {
        return false;
    }
    const std::string_view head = prefix != nullptr ? std::string_view(prefix) : "";
    if (!AllDigits(head)) {
        return false;
    }
    if (international) {
        field = digits;
        prefixLength = 0;
    } else {
        field = std::string(head) + std::string(digits);
        prefixLength = static_cast<uint8_t>(head.empty() ? std::min<std::size_t>(2, field.size())
                                                         : head.size());
    }
    // Never cut: a shortened number is somebody else's.
    return field.size() <= kNumberCapacity;
}

}  // namespace

bool NeedsUcs2(std::string_view text, int32_t modelCode) {
    const ModelProfile& profile = ProfileOf(modelCode);
    if (profile.alwaysUcs2) {
        return true;
    }
    const bool mapped = MapsPlainText(profile.submitMethod);
    // The GSM mapping of plain submissions turns these into ".".
    constexpr std::string_view kLostInMapping = "[\\]^`{|}~";
    return std::any_of(text.begin(), text.end(), [&](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 32 || byte >= 127 || c == '$' || c == '@' || c == '_' ||
               (mapped && kLostInMapping.find(c) != std::string_view::npos);
    });
}

std::vector<OutgoingPart> CutMessage(const char* text, const char* number, const char* prefix,
                                     int32_t modelCode, std::string_view serviceCentre,
                                     bool serviceCentreInternational) {
    std::string destination;
    uint8_t prefixLength = 0;
    if (text == nullptr || *text == '\0' ||
        !BuildDestination(number, prefix, destination, prefixLength)) {
        return {};
    }
    const std::string_view body(text);
    const PartSizes sizes = ProfileOf(modelCode).parts;

    std::vector<OutgoingPart> parts;
    const auto addPart = [&](std::string_view piece, uint8_t coding) {
        OutgoingPart& part = parts.emplace_back();
        part = OutgoingPart{};
        Fields::Copy(part.record.serviceCentre,
                     serviceCentre.substr(0, std::min(serviceCentre.size(), kServiceCentreCopied)));
        Fields::Copy(part.record.number, destination);
        part.record.coding = coding;
        Fields::Copy(part.record.text, piece);
        part.prefixLength = prefixLength;
        part.serviceCentreInternational = serviceCentreInternational;
    };

    if (!NeedsUcs2(body, modelCode)) {
        const auto size = static_cast<std::size_t>(sizes.plainBytes);
        if ((body.size() + size - 1) / size > kStoreCapacity) {
            return {};
        }
        for (std::size_t at = 0; at < body.size(); at += size) {
            addPart(body.substr(at, size), kCodingPlain);
        }
        return parts;
    }

    const std::u16string units = LocalToUtf16(body);
    const auto size = static_cast<std::size_t>(sizes.ucs2Units);
    for (std::size_t at = 0; at < units.size();) {
        std::size_t count = std::min(size, units.size() - at);
        // A pair split across two parts would arrive as two broken characters.
        if (count > 1 && at + count < units.size() && IsHighSurrogate(units[at + count - 1])) {
            --count;
        }
        if (parts.size() == kStoreCapacity) {
            return {};
        }
        addPart(Utf16ToLocal(std::u16string_view(units).substr(at, count)), kCodingUcs2);
        at += count;
    }
    return parts;
}

namespace {

std::string TooManyParts(std::size_t parts, std::size_t limit) {
    return "the text needs " + std::to_string(parts) + " parts, over the limit of " +
           std::to_string(limit) + " (max_parts)";
}

}  // namespace

LongCut CutLongMessage(const char* text, const char* number, const char* prefix, int32_t modelCode,
                       std::string_view serviceCentre, bool serviceCentreInternational,
                       const LongOptions& options) {
    LongCut cut;
    std::vector<OutgoingPart> separate =
        CutMessage(text, number, prefix, modelCode, serviceCentre, serviceCentreInternational);
    if (separate.empty()) {
        cut.refusal = "the text is empty, the number unusable or the text longer than the queue";
        cut.unusable = true;
        return cut;
    }
    const std::size_t limit = options.maxParts;
    // A text that fits one message goes as it always has.
    if (separate.size() == 1 || !options.concatenate || !CarriesHeader(modelCode)) {
        if (limit > 0 && separate.size() > limit) {
            cut.refusal = TooManyParts(separate.size(), limit);
            return cut;
        }
        cut.parts = std::move(separate);
        return cut;
    }
    const std::u16string units = LocalToUtf16(text);
    const bool gsm = !ProfileOf(modelCode).alwaysUcs2 && Utf16ToGsm(units).has_value();
    const std::vector<std::u16string> pieces = SplitLongText(units, gsm);
    const std::size_t most = limit > 0 ? std::min<std::size_t>(limit, 255) : 255;
    if (pieces.size() > most) {
        cut.refusal = TooManyParts(pieces.size(), most);
        return cut;
    }
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        OutgoingPart part = separate.front();
        Fields::Copy(part.record.text, Utf16ToLocal(pieces[i]));
        part.record.coding = gsm ? kCodingPlain : kCodingUcs2;
        part.longPart = true;
        part.concatCount = pieces.size() > 1 ? static_cast<uint8_t>(pieces.size()) : 0;
        part.concatNumber = static_cast<uint8_t>(i + 1);
        cut.parts.push_back(part);
    }
    cut.concatenated = pieces.size() > 1;
    return cut;
}

}  // namespace GSM
