#include "pdu/Pdu.h"

#include <algorithm>

#include "pdu/Alphabet.h"

namespace ModemSim::Pdu {

namespace {

constexpr std::size_t kMaxUserData = 140;
constexpr uint8_t kHeaderIndicator = 0x40;
constexpr uint8_t kMoreMessagesToSend = 0x04;  // set when none follow
constexpr char kSemiOctetDigits[] = "0123456789*#abc";

// Octets of a unit in hex text, read front to back; every read is checked.
class Reader {
public:
    explicit Reader(std::vector<uint8_t> octets) : octets_(std::move(octets)) {}

    bool Take(uint8_t& value) {
        if (pos_ >= octets_.size()) {
            return false;
        }
        value = octets_[pos_++];
        return true;
    }
    bool Take(std::size_t count, std::span<const uint8_t>& out) {
        if (count > octets_.size() - pos_) {
            return false;
        }
        out = std::span(octets_).subspan(pos_, count);
        pos_ += count;
        return true;
    }
    std::size_t Position() const { return pos_; }
    bool AtEnd() const { return pos_ == octets_.size(); }

private:
    std::vector<uint8_t> octets_;
    std::size_t pos_ = 0;
};

std::optional<std::vector<uint8_t>> ParseHex(std::string_view hex) {
    const auto nibble = [](char c) -> int {
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
    };
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<uint8_t> octets;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = nibble(hex[i]);
        const int low = nibble(hex[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        octets.push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return octets;
}

void AppendHex(std::string& out, uint8_t value) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    out.push_back(kDigits[value >> 4]);
    out.push_back(kDigits[value & 0x0F]);
}

// Semi-octets, low nibble first; 0xF fills an odd count.
std::string DigitsOf(std::span<const uint8_t> octets, std::size_t count) {
    std::string digits;
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned v = (octets[i / 2] >> (i % 2 == 0 ? 0 : 4)) & 0x0F;
        digits.push_back(v < 15 ? kSemiOctetDigits[v] : '?');
    }
    return digits;
}

std::vector<uint8_t> SemiOctetsOf(std::string_view digits) {
    std::vector<uint8_t> octets((digits.size() + 1) / 2, 0xFF);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        const char* at =
            std::find(std::begin(kSemiOctetDigits), std::end(kSemiOctetDigits) - 1, digits[i]);
        const auto v = static_cast<unsigned>(at - kSemiOctetDigits) & 0x0F;
        uint8_t& octet = octets[i / 2];
        octet = static_cast<uint8_t>(i % 2 == 0 ? (octet & 0xF0) | v : (octet & 0x0F) | v << 4);
    }
    return octets;
}

bool IsAlphanumeric(uint8_t type) {
    return (type & 0x70) == 0x50;
}

// Address field as 3GPP TS 23.040 9.1.2.5 lays it out: the length counts useful semi-octets.
bool ReadAddress(Reader& reader, std::string& value, uint8_t& type) {
    uint8_t length = 0;
    std::span<const uint8_t> octets;
    if (!reader.Take(length) || !reader.Take(type) || !reader.Take((length + 1u) / 2, octets)) {
        return false;
    }
    if (IsAlphanumeric(type)) {
        std::vector<uint8_t> codes;
        UnpackSeptets(octets, 0, length * 4u / 7, codes);
        value = FromGsmCodes(codes);
    } else {
        value = DigitsOf(octets, length);
    }
    return true;
}

void WriteAddress(std::string& hex, std::string_view value, uint8_t type) {
    if (IsAlphanumeric(type)) {
        const auto codes = ToGsmCodes(DecodeUtf8(value));
        std::vector<uint8_t> packed;
        PackSeptets(codes, 0, packed);
        AppendHex(hex, static_cast<uint8_t>((codes.size() * 7 + 3) / 4));
        AppendHex(hex, type);
        for (uint8_t octet : packed) {
            AppendHex(hex, octet);
        }
        return;
    }
    AppendHex(hex, static_cast<uint8_t>(value.size()));
    AppendHex(hex, type);
    for (uint8_t octet : SemiOctetsOf(value)) {
        AppendHex(hex, octet);
    }
}

uint8_t SwappedBcd(int value) {
    const int v = std::clamp(value, 0, 99);
    return static_cast<uint8_t>((v % 10) << 4 | v / 10);
}

// Septets taken by a header of `octets` octets with its length octet, fill bits included.
std::size_t HeaderSeptets(std::size_t octets) {
    return (octets * 8 + 6) / 7;
}

bool ReadUserData(Reader& reader, Submit& submit) {
    uint8_t length = 0;
    if (!reader.Take(length)) {
        return false;
    }
    const bool sevenBit = submit.alphabet == Alphabet::Gsm7;
    std::span<const uint8_t> data;
    if (!reader.Take(sevenBit ? (length * 7u + 7) / 8 : length, data) || !reader.AtEnd()) {
        return false;
    }
    std::size_t headerOctets = 0;
    if ((submit.firstOctet & kHeaderIndicator) != 0) {
        if (data.empty() || data[0] + 1u > data.size()) {
            return false;
        }
        headerOctets = data[0] + 1u;
        submit.header.assign(data.begin() + 1, data.begin() + headerOctets);
    }
    switch (submit.alphabet) {
        case Alphabet::Gsm7: {
            const std::size_t skip = HeaderSeptets(headerOctets);
            std::vector<uint8_t> codes;
            if (skip > length || !UnpackSeptets(data, skip, length - skip, codes)) {
                return false;
            }
            submit.text = FromGsmCodes(codes);
            return true;
        }
        case Alphabet::Ucs2:
            return Utf16ToUtf8(data.subspan(headerOctets), submit.text);
        case Alphabet::Eight:
            submit.text.assign(data.begin() + static_cast<std::ptrdiff_t>(headerOctets),
                               data.end());
            return true;
    }
    return false;
}

}  // namespace

std::optional<Alphabet> AlphabetOf(uint8_t dataCoding) {
    const unsigned group = dataCoding >> 4;
    if (group <= 0x7) {
        if ((dataCoding & 0x20) != 0) {
            return std::nullopt;  // compressed
        }
        switch ((dataCoding >> 2) & 0x03) {
            case 0:
                return Alphabet::Gsm7;
            case 1:
                return Alphabet::Eight;
            case 2:
                return Alphabet::Ucs2;
            default:
                return std::nullopt;
        }
    }
    if (group == 0xC || group == 0xD) {
        return Alphabet::Gsm7;
    }
    if (group == 0xE) {
        return Alphabet::Ucs2;
    }
    if (group == 0xF) {
        return (dataCoding & 0x04) != 0 ? Alphabet::Eight : Alphabet::Gsm7;
    }
    return std::nullopt;
}

std::optional<Submit> DecodeSubmit(std::string_view hex) {
    auto octets = ParseHex(hex);
    if (!octets) {
        return std::nullopt;
    }
    Reader reader(std::move(*octets));
    Submit submit;
    uint8_t centreLength = 0;
    if (!reader.Take(centreLength)) {
        return std::nullopt;
    }
    if (centreLength > 0) {
        std::span<const uint8_t> digits;
        if (!reader.Take(submit.serviceCentreType) || !reader.Take(centreLength - 1u, digits)) {
            return std::nullopt;
        }
        submit.serviceCentre = DigitsOf(digits, 2 * digits.size());
        if (!submit.serviceCentre.empty() && submit.serviceCentre.back() == '?') {
            submit.serviceCentre.pop_back();  // the filler of an odd count
        }
    }
    const std::size_t tpduStart = reader.Position();
    if (!reader.Take(submit.firstOctet) || (submit.firstOctet & 0x03) != 0x01 ||
        !reader.Take(submit.messageReference) ||
        !ReadAddress(reader, submit.number, submit.numberType) || !reader.Take(submit.protocolId) ||
        !reader.Take(submit.dataCoding)) {
        return std::nullopt;
    }
    const auto alphabet = AlphabetOf(submit.dataCoding);
    if (!alphabet) {
        return std::nullopt;
    }
    submit.alphabet = *alphabet;
    // Validity period format, bits 4-3: none, enhanced (7), relative (1), absolute (7).
    const unsigned format = (submit.firstOctet >> 3) & 0x03;
    std::span<const uint8_t> validity;
    if (!reader.Take(format == 0 ? 0 : format == 2 ? 1 : 7, validity)) {
        return std::nullopt;
    }
    if (format == 2) {
        submit.relativeValidity = validity[0];
    }
    if (!ReadUserData(reader, submit)) {
        return std::nullopt;
    }
    submit.tpduOctets = reader.Position() - tpduStart;
    return submit;
}

std::string EncodeDeliver(const Deliver& deliver) {
    const auto alphabet = AlphabetOf(deliver.dataCoding);
    if (!alphabet || deliver.header.size() > kMaxUserData - 1) {
        return {};
    }
    std::vector<uint8_t> data;
    std::size_t headerOctets = 0;
    if (!deliver.header.empty()) {
        headerOctets = deliver.header.size() + 1;
        // Reserved first: g++ 12 at -O3 takes the growth path of the insert for an overrun.
        data.reserve(headerOctets);
        data.push_back(static_cast<uint8_t>(deliver.header.size()));
        data.insert(data.end(), deliver.header.begin(), deliver.header.end());
    }
    std::size_t length = 0;
    switch (*alphabet) {
        case Alphabet::Gsm7: {
            const auto codes = ToGsmCodes(DecodeUtf8(deliver.text));
            const std::size_t first = HeaderSeptets(headerOctets);
            PackSeptets(codes, first, data);
            length = first + codes.size();
            break;
        }
        case Alphabet::Ucs2: {
            const auto units = EncodeUtf16(DecodeUtf8(deliver.text));
            data.insert(data.end(), units.begin(), units.end());
            length = data.size();
            break;
        }
        case Alphabet::Eight:
            data.insert(data.end(), deliver.text.begin(), deliver.text.end());
            length = data.size();
            break;
    }
    if (data.size() > kMaxUserData) {
        return {};
    }

    std::string hex;
    if (deliver.serviceCentre.empty()) {
        AppendHex(hex, 0);
    } else {
        const auto digits = SemiOctetsOf(deliver.serviceCentre);
        AppendHex(hex, static_cast<uint8_t>(digits.size() + 1));
        AppendHex(hex, kInternational);
        for (uint8_t octet : digits) {
            AppendHex(hex, octet);
        }
    }
    uint8_t first = 0x00;  // SMS-DELIVER
    if (!deliver.moreMessages) {
        first |= kMoreMessagesToSend;
    }
    if (!deliver.header.empty()) {
        first |= kHeaderIndicator;
    }
    AppendHex(hex, first);
    WriteAddress(hex, deliver.sender, deliver.senderType);
    AppendHex(hex, deliver.protocolId);
    AppendHex(hex, deliver.dataCoding);
    const Timestamp& t = deliver.stamp;
    for (int v : {t.year, t.month, t.day, t.hour, t.minute, t.second}) {
        AppendHex(hex, SwappedBcd(v));
    }
    // The zone's sign is bit 3 of the octet, in its first semi-octet.
    const uint8_t zone = SwappedBcd(t.zoneQuarters < 0 ? -t.zoneQuarters : t.zoneQuarters);
    AppendHex(hex, static_cast<uint8_t>(zone | (t.zoneQuarters < 0 ? 0x08 : 0x00)));
    AppendHex(hex, static_cast<uint8_t>(length));
    for (uint8_t octet : data) {
        AppendHex(hex, octet);
    }
    return hex;
}

namespace {

void AppendStamp(std::string& hex, const Timestamp& t) {
    for (int v : {t.year, t.month, t.day, t.hour, t.minute, t.second}) {
        AppendHex(hex, SwappedBcd(v));
    }
    const uint8_t zone = SwappedBcd(t.zoneQuarters < 0 ? -t.zoneQuarters : t.zoneQuarters);
    AppendHex(hex, static_cast<uint8_t>(zone | (t.zoneQuarters < 0 ? 0x08 : 0x00)));
}

}  // namespace

std::string EncodeStatusReport(const StatusReport& report) {
    std::string hex;
    AppendHex(hex, 0);     // the modem's own service centre
    AppendHex(hex, 0x06);  // SMS-STATUS-REPORT, no more messages waiting
    AppendHex(hex, report.messageReference);
    WriteAddress(hex, report.recipient, report.recipientType);
    AppendStamp(hex, report.centreTime);
    AppendStamp(hex, report.dischargeTime);
    AppendHex(hex, report.status);
    return hex;
}

}  // namespace ModemSim::Pdu
