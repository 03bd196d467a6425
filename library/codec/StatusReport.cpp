#include "codec/StatusReport.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "codec/Text.h"

namespace GSM {

namespace {

constexpr uint8_t kTypeInternational = 0x91;
constexpr std::size_t kStampOctets = 7;

bool IsInternational(int type) {
    return (type & 0x70) == 0x10;
}

// Two digits of a semi-octet, low nibble first; false for a nibble over 9.
bool SwappedDigits(uint8_t octet, std::string& out) {
    const int low = octet & 0x0F;
    const int high = octet >> 4;
    if (low > 9 || high > 9) {
        return false;
    }
    out.push_back(static_cast<char>('0' + low));
    out.push_back(static_cast<char>('0' + high));
    return true;
}

// The zone as "+hh:mm" from its count of quarter hours.
std::string Zone(bool negative, int quarters) {
    const int minutes = quarters * 15;
    std::string zone(1, negative ? '-' : '+');
    zone += static_cast<char>('0' + minutes / 600);
    zone += static_cast<char>('0' + minutes / 60 % 10);
    zone += ':';
    zone += static_cast<char>('0' + minutes % 60 / 10);
    zone += static_cast<char>('0' + minutes % 10);
    return zone;
}

// "yyyy-mm-dd hh:mm:ss" from the twelve digits yymmddhhmmss.
std::string Stamp(std::string_view digits) {
    std::string out = "20";
    constexpr char kSeparators[] = {'-', '-', ' ', ':', ':'};
    for (std::size_t pair = 0; pair < 6; ++pair) {
        if (pair > 0) {
            out += kSeparators[pair - 1];
        }
        out.append(digits.substr(2 * pair, 2));
    }
    return out;
}

// A time stamp field (3GPP TS 23.040 9.2.3.11): six swapped digit pairs and the zone, whose
// tens digit carries the sign in its bit 3.
std::optional<std::string> ReadStamp(std::span<const uint8_t> octets) {
    std::string digits;
    for (std::size_t i = 0; i + 1 < kStampOctets; ++i) {
        if (!SwappedDigits(octets[i], digits)) {
            return std::nullopt;
        }
    }
    const uint8_t zone = octets[kStampOctets - 1];
    const int quarters = (zone & 0x07) * 10 + (zone >> 4);
    if ((zone >> 4) > 9 || quarters > 4 * 24) {
        return std::nullopt;
    }
    return Stamp(digits) + Zone((zone & 0x08) != 0, quarters);
}

// The recipient's digits from `digits` semi-octets; "*" and "#" as the dialler shows them.
std::string ReadNumber(std::span<const uint8_t> octets, std::size_t digits) {
    std::string number;
    for (std::size_t i = 0; i < digits; ++i) {
        const int nibble = i % 2 == 0 ? octets[i / 2] & 0x0F : octets[i / 2] >> 4;
        constexpr char kDigits[] = "0123456789*#abc";
        if (nibble < 15) {
            number.push_back(kDigits[nibble]);
        }
    }
    return number;
}

}  // namespace

DeliveryState DeliveryStateOf(int status) {
    if (status >= 0x00 && status <= 0x1F) {
        return DeliveryState::Delivered;
    }
    if (status >= 0x20 && status <= 0x3F) {
        return DeliveryState::Pending;
    }
    return DeliveryState::Failed;
}

std::optional<StatusReport> ParseStatusReportPdu(std::string_view pdu) {
    const auto isHex = [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
    };
    std::size_t hexEnd = 0;
    while (hexEnd < pdu.size() && isHex(pdu[hexEnd])) {
        ++hexEnd;
    }
    std::vector<uint8_t> bytes(hexEnd / 2);
    if (HexToBytes(pdu.substr(0, bytes.size() * 2), bytes) != bytes.size() || bytes.empty()) {
        return std::nullopt;
    }
    const std::span<const uint8_t> unit(bytes);
    std::size_t at = 1u + unit[0];  // past the service-centre part
    // First octet, reference, recipient length and type.
    if (at + 4 > unit.size() || (unit[at] & 0x03) != 0x02) {
        return std::nullopt;
    }
    StatusReport report;
    report.reference = unit[at + 1];
    const std::size_t digits = unit[at + 2];
    const uint8_t type = unit[at + 3];
    at += 4;
    const std::size_t numberOctets = (digits + 1) / 2;
    if (at + numberOctets + 2 * kStampOctets + 1 > unit.size()) {
        return std::nullopt;
    }
    report.recipient = ReadNumber(unit.subspan(at, numberOctets), digits);
    report.internationalRecipient = IsInternational(type);
    at += numberOctets;
    const auto centre = ReadStamp(unit.subspan(at, kStampOctets));
    const auto discharge = ReadStamp(unit.subspan(at + kStampOctets, kStampOctets));
    if (!centre || !discharge) {
        return std::nullopt;
    }
    report.serviceCentreTime = *centre;
    report.dischargeTime = *discharge;
    report.status = unit[at + 2 * kStampOctets];
    return report;
}

namespace {

// Splits on every comma, a stamp's own too, the quotes taken off.
std::vector<std::string> SplitFields(std::string_view text) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ',') {
            fields.emplace_back();
        } else if (c != '\r' && c != '\n' && (quoted || c != ' ')) {
            fields.back().push_back(c);
        }
    }
    return fields;
}

std::optional<int> Number(const std::string& field) {
    if (field.empty() || field.size() > 3) {
        return std::nullopt;
    }
    int value = 0;
    for (char c : field) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

// "yy/MM/dd,hh:mm:ss+zz" (split at its comma into two fields) as the PDU stamp reads.
std::optional<std::string> TextStamp(const std::string& date, const std::string& time) {
    if (date.size() != 8 || time.size() < 8) {
        return std::nullopt;
    }
    std::string digits;
    for (char c : date + time.substr(0, 8)) {
        if (c >= '0' && c <= '9') {
            digits.push_back(c);
        }
    }
    const std::string zone = time.substr(8);
    const std::optional<int> quarters =
        zone.size() >= 2 ? Number(zone.substr(1)) : std::optional<int>(0);
    if (digits.size() != 12 || !quarters || (!zone.empty() && zone[0] != '+' && zone[0] != '-')) {
        return std::nullopt;
    }
    return Stamp(digits) + Zone(!zone.empty() && zone[0] == '-', *quarters);
}

}  // namespace

std::optional<StatusReport> ParseStatusReportText(std::string_view fields) {
    // The stamps hold a comma each: fo, mr, ra, tora, date, time, date, time, st.
    const std::vector<std::string> f = SplitFields(fields);
    const std::optional<int> first = f.size() == 9 ? Number(f[0]) : std::nullopt;
    const std::optional<int> reference = first ? Number(f[1]) : std::nullopt;
    const std::optional<int> status = reference ? Number(f[8]) : std::nullopt;
    if (!status || (*first & 0x03) != 0x02 || *reference > 255 || *status > 255) {
        return std::nullopt;
    }
    const auto centre = TextStamp(f[4], f[5]);
    const auto discharge = TextStamp(f[6], f[7]);
    if (!centre || !discharge) {
        return std::nullopt;
    }
    StatusReport report;
    report.reference = *reference;
    std::string_view number = f[2];
    const std::optional<int> type = Number(f[3]);
    report.internationalRecipient =
        number.starts_with('+') || (type && *type == kTypeInternational);
    if (number.starts_with('+')) {
        number.remove_prefix(1);
    }
    report.recipient = std::string(number);
    report.serviceCentreTime = *centre;
    report.dischargeTime = *discharge;
    report.status = *status;
    return report;
}

std::optional<ReportLine> ReadReportLine(std::string_view line) {
    constexpr std::string_view kStored = "+CDSI:";
    constexpr std::string_view kRouted = "+CDS:";
    ReportLine read;
    if (line.starts_with(kStored)) {
        const std::vector<std::string> f = SplitFields(line.substr(kStored.size()));
        const std::optional<int> index = f.size() == 2 ? Number(f[1]) : std::nullopt;
        if (!index || f[0].empty()) {
            return std::nullopt;
        }
        read.storage = f[0];
        read.index = *index;
        return read;
    }
    if (!line.starts_with(kRouted)) {
        return std::nullopt;
    }
    const std::string_view rest = line.substr(kRouted.size());
    const std::size_t unit = rest.find("\r\n");
    read.report = unit == std::string_view::npos ? ParseStatusReportText(rest)
                                                 : ParseStatusReportPdu(rest.substr(unit + 2));
    if (!read.report) {
        return std::nullopt;
    }
    return read;
}

}  // namespace GSM
