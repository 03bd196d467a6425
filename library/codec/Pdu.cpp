#include "codec/Pdu.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "codec/Fields.h"
#include "codec/Text.h"

namespace GSM {

namespace {

constexpr uint8_t kTypeInternational = 0x91;
constexpr uint8_t kTypeNational = 0x81;
constexpr uint8_t kFirstOctetSubmit = 0x11;  // SMS-SUBMIT, relative validity period present
constexpr uint8_t kValidity24Hours = 0xA7;   // what text-mode submissions get by default
constexpr std::size_t kMaxUserData = 140;
constexpr uint8_t kUserDataHeader = 0x40;
constexpr uint8_t kStatusReportRequest = 0x20;
constexpr std::size_t kStampDigits = 14;

bool IsHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// Reads a unit octet by octet, never past the hex digits it holds.
class HexReader {
public:
    explicit HexReader(std::string_view hex) : hex_(hex) {}

    bool Octet(uint8_t& value) {
        std::array<uint8_t, 1> one{};
        if (!Octets(one)) {
            return false;
        }
        value = one[0];
        return true;
    }
    bool Octets(std::span<uint8_t> out) {
        std::string_view digits;
        return Digits(out.size(), digits) && HexToBytes(digits, out) == out.size();
    }
    // The 2 * `octets` hex characters of the next octets, as they stand.
    bool Digits(std::size_t octets, std::string_view& digits) {
        if (octets > (hex_.size() - pos_) / 2) {
            return false;
        }
        digits = hex_.substr(pos_, 2 * octets);
        pos_ += 2 * octets;
        return true;
    }

private:
    std::string_view hex_;
    std::size_t pos_ = 0;
};

enum class Alphabet { Gsm7, Eight, Ucs2, None };

// The alphabet of a data coding scheme (3GPP TS 23.038, clause 4).
Alphabet AlphabetOf(uint8_t dcs) {
    switch (dcs >> 4) {
        case 0x0:
        case 0x1:
        case 0x2:
        case 0x3:
        case 0x4:
        case 0x5:
        case 0x6:
        case 0x7: {
            if ((dcs & 0x20) != 0) {
                return Alphabet::None;  // compressed
            }
            constexpr Alphabet kByBits[] = {Alphabet::Gsm7, Alphabet::Eight, Alphabet::Ucs2,
                                            Alphabet::None};
            return kByBits[(dcs >> 2) & 0x03];
        }
        case 0xC:  // message waiting, discard
        case 0xD:  // message waiting, store
            return Alphabet::Gsm7;
        case 0xE:  // message waiting, store, UCS2
            return Alphabet::Ucs2;
        case 0xF:
            return (dcs & 0x04) != 0 ? Alphabet::Eight : Alphabet::Gsm7;
        default:
            return Alphabet::None;  // reserved groups
    }
}

// Semi-octet digits of a number field to `field`, at most `digits` of them.
void DecodeNumber(std::string_view semiOctets, std::size_t digits, std::span<char> field) {
    std::array<char, 2 * 256 + 1> plain{};
    const std::size_t n = SwapSemiOctets(semiOctets, plain, SemiOctets::Decode);
    Fields::Copy(field, std::string_view(plain.data(), std::min(n, digits)));
}

bool ReadAddress(HexReader& reader, std::span<char> field, uint8_t& type) {
    uint8_t digits = 0;
    std::string_view semiOctets;
    if (!reader.Octet(digits) || !reader.Octet(type) ||
        !reader.Digits((digits + 1u) / 2, semiOctets)) {
        return false;
    }
    if ((type & 0x70) == 0x50) {
        // Alphanumeric: the useful semi-octets hold GSM 7-bit characters.
        std::array<uint8_t, 128> packed{};
        const std::size_t octets = HexToBytes(semiOctets, packed);
        UnpackSeptets(std::span(packed).first(octets), 0, digits * 4u / 7, field);
        return true;
    }
    DecodeNumber(semiOctets, digits, field);
    return true;
}

bool ReadUserData(HexReader& reader, uint8_t firstOctet, Alphabet alphabet, MsgRecord& record,
                  DeliverResult& result) {
    std::size_t& textLength = result.textLength;
    uint8_t length = 0;
    if (!reader.Octet(length)) {
        return false;
    }
    // For 7-bit data the length counts septets, otherwise octets.
    const std::size_t octets = alphabet == Alphabet::Gsm7 ? (7u * length + 7) / 8 : length;
    std::array<uint8_t, 255> data{};
    const auto userData = std::span(data).first(octets);
    if (!reader.Octets(userData)) {
        return false;
    }
    std::size_t header = 0;
    if ((firstOctet & kUserDataHeader) != 0) {
        // The header by its own length: its length octet and what that announces.
        if (userData.empty() || userData[0] + 1u > userData.size()) {
            return false;
        }
        header = userData[0] + 1u;
        result.concat = FindConcatElement(userData.subspan(1, header - 1));
    }
    switch (alphabet) {
        case Alphabet::Gsm7: {
            const std::size_t skip = (header * 8 + 6) / 7;  // header and fill bits, in septets
            if (skip > length) {
                return false;
            }
            const std::vector<uint8_t> septets = Septets(userData, skip, length - skip);
            textLength = GsmToLocal(septets, record.text);
            if (result.concat) {
                // Joined before decoding too: a sender may cut an escape pair.
                result.units.assign(septets.begin(), septets.end());
                result.septets = true;
            }
            return true;
        }
        case Alphabet::Ucs2: {
            const auto units = userData.subspan(header);
            for (std::size_t i = 0; i + 1 < units.size(); i += 2) {
                result.units.push_back(static_cast<char16_t>(units[i] << 8 | units[i + 1]));
            }
            textLength = Ucs2ToLocal(units, record.text);
            return true;
        }
        case Alphabet::Eight: {
            const auto raw = userData.subspan(header);
            textLength = Fields::Copy(
                record.text,
                std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()));
            return true;
        }
        case Alphabet::None:
            break;
    }
    return false;
}

// A leading "+" only says the number is international, which its type of address says too.
std::string_view WithoutPlus(std::string_view number) {
    return number.starts_with('+') ? number.substr(1) : number;
}

std::string HexOctet(uint8_t value) {
    return BytesToHexString(std::span(&value, 1));
}

// Digits, "*" and "#" in semi-octets; false for any other character.
bool AppendSemiOctets(std::string& hex, std::string_view number) {
    std::string digits(number);
    for (char& c : digits) {
        if (c == '*') {
            c = 'A';
        } else if (c == '#') {
            c = 'B';
        } else if (c < '0' || c > '9') {
            return false;
        }
    }
    std::vector<char> swapped(digits.size() + 2);
    hex.append(swapped.data(), SwapSemiOctets(digits, swapped, SemiOctets::Encode));
    return true;
}

}  // namespace

std::string SubmitHead(std::string_view serviceCentre, bool serviceCentreInternational,
                       std::string_view number, bool userDataHeader, bool statusReport) {
    const std::string_view centre = WithoutPlus(serviceCentre);
    const std::string_view destination = WithoutPlus(number);
    std::string hex;
    if (centre.empty()) {
        hex += "00";  // no address: the modem uses the service centre it has stored
    } else {
        hex += HexOctet(static_cast<uint8_t>(1 + (centre.size() + 1) / 2));
        hex += HexOctet(serviceCentreInternational ? kTypeInternational : kTypeNational);
        if (!AppendSemiOctets(hex, centre)) {
            return {};
        }
    }
    hex += HexOctet(kFirstOctetSubmit | (userDataHeader ? kUserDataHeader : 0) |
                    (statusReport ? kStatusReportRequest : 0));
    hex += HexOctet(0x00);  // message reference: the modem sets it
    hex += HexOctet(static_cast<uint8_t>(destination.size()));
    hex += HexOctet(kTypeInternational);
    if (!AppendSemiOctets(hex, destination)) {
        return {};
    }
    return hex;
}

std::size_t BuildSubmitPdu(const MsgRecord& record, std::span<char> out,
                           bool serviceCentreInternational, bool statusReport) {
    if (!out.empty()) {
        out[0] = '\0';
    }
    if (record.coding != kCodingUcs2) {
        return 0;
    }
    std::array<uint8_t, 2 * kMaxUcs2Units> text{};
    const std::string_view local = Fields::View(record.text);
    const std::size_t textOctets = LocalToUcs2(local, text);
    if ((textOctets == 0 && !local.empty()) || textOctets > kMaxUserData) {
        return 0;
    }
    std::string hex = SubmitHead(Fields::View(record.serviceCentre), serviceCentreInternational,
                                 Fields::View(record.number), false, statusReport);
    if (hex.empty()) {
        return 0;
    }
    hex += HexOctet(record.protocolId);
    hex += HexOctet(kCodingUcs2);
    hex += HexOctet(kValidity24Hours);
    hex += HexOctet(static_cast<uint8_t>(textOctets));
    hex += BytesToHexString(std::span(text).first(textOctets));
    if (hex.size() >= out.size()) {
        return 0;
    }
    std::copy(hex.begin(), hex.end(), out.begin());
    out[hex.size()] = '\0';
    return hex.size();
}

std::optional<ConcatHeader> FindConcatElement(std::span<const uint8_t> elements) {
    constexpr uint8_t kConcat8 = 0x00;
    constexpr uint8_t kConcat16 = 0x08;
    std::optional<ConcatHeader> found;
    for (std::size_t at = 0; at + 2 <= elements.size();) {
        const uint8_t id = elements[at];
        const std::size_t length = elements[at + 1];
        if (at + 2 + length > elements.size()) {
            return std::nullopt;  // an element runs past the header: none of it is trusted
        }
        const auto data = elements.subspan(at + 2, length);
        if (id == kConcat8 && length == 3) {
            found = ConcatHeader{data[0], data[1], data[2], false};
        } else if (id == kConcat16 && length == 4) {
            found =
                ConcatHeader{static_cast<uint16_t>(data[0] << 8 | data[1]), data[2], data[3], true};
        }
        at += 2 + length;
    }
    return found;
}

DeliverResult ParseDeliverPdu(std::string_view pdu, MsgRecord& record) {
    const int8_t tag = record.tag;
    std::memset(&record, 0, sizeof record);
    record.tag = tag;

    DeliverResult result;
    const std::size_t hexEnd = std::find_if_not(pdu.begin(), pdu.end(), IsHex) - pdu.begin();
    HexReader reader(pdu.substr(0, hexEnd));

    uint8_t centreLength = 0;
    if (!reader.Octet(centreLength)) {
        return result;
    }
    if (centreLength > 0) {
        uint8_t type = 0;
        std::string_view centre;
        if (!reader.Octet(type) || !reader.Digits(centreLength - 1u, centre)) {
            return result;
        }
        std::array<char, 2 * 255 + 1> digits{};
        Fields::Copy(
            record.serviceCentre,
            std::string_view(digits.data(), SwapSemiOctets(centre, digits, SemiOctets::Decode)));
    }
    uint8_t firstOctet = 0;
    if (!reader.Octet(firstOctet)) {
        return result;
    }
    result.type = static_cast<PduType>(firstOctet & 0x03);
    if (result.type != PduType::Deliver && result.type != PduType::Reserved) {
        return result;
    }
    std::string_view stamp;
    uint8_t senderType = 0;
    if (!ReadAddress(reader, record.number, senderType) || !reader.Octet(record.protocolId) ||
        !reader.Octet(record.coding) || !reader.Digits(kStampDigits / 2, stamp)) {
        return result;
    }
    SwapSemiOctets(stamp, record.timestamp, SemiOctets::Decode);
    result.internationalSender = (senderType & 0x70) == 0x10;
    const Alphabet alphabet = AlphabetOf(record.coding);
    if (alphabet == Alphabet::None) {
        return result;
    }
    result.parsed = ReadUserData(reader, firstOctet, alphabet, record, result);
    return result;
}

std::size_t UnpackSeptets(std::span<const uint8_t> octets, std::size_t first, std::size_t count,
                          std::span<char> out) {
    return GsmToLocal(Septets(octets, first, count), out);
}

std::vector<uint8_t> Septets(std::span<const uint8_t> octets, std::size_t first,
                             std::size_t count) {
    const std::size_t available = octets.size() * 8 / 7;
    const std::size_t end = first >= available ? first : std::min(available, first + count);
    std::vector<uint8_t> codes;
    codes.reserve(end - first);
    for (std::size_t k = first; k < end; ++k) {
        // Septet k starts at bit 7k, least significant bit first.
        const std::size_t bit = 7 * k;
        unsigned value = octets[bit / 8] >> (bit % 8);
        if (bit % 8 > 1 && bit / 8 + 1 < octets.size()) {
            value |= static_cast<unsigned>(octets[bit / 8 + 1]) << (8 - bit % 8);
        }
        codes.push_back(static_cast<uint8_t>(value & 0x7F));
    }
    return codes;
}

std::size_t SwapSemiOctets(std::string_view in, std::span<char> out, SemiOctets direction) {
    if (out.empty()) {
        return 0;
    }
    std::size_t written = 0;
    const std::size_t room = out.size() - 1;
    for (std::size_t i = 0; i < in.size(); i += 2) {
        const char first = in[i];
        const char second = i + 1 < in.size() ? in[i + 1] : 'F';
        if (direction == SemiOctets::Encode) {
            if (written + 2 > room) {
                break;
            }
            out[written++] = second;
            out[written++] = first;
            continue;
        }
        for (char c : {second, first}) {
            if (written < room) {
                out[written++] = c;
            }
        }
    }
    if (direction == SemiOctets::Decode && written > 0 &&
        (out[written - 1] == 'F' || out[written - 1] == 'f')) {
        --written;
    }
    out[written] = '\0';
    return written;
}

}  // namespace GSM
