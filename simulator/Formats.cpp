#include "Formats.h"

#include <cstdio>
#include <tuple>

#include "pdu/Alphabet.h"

namespace ModemSim {

namespace {

constexpr std::size_t kMaxUserData = 140;

uint8_t DataCodingOf(Coding coding) {
    switch (coding) {
        case Coding::Gsm7:
            return 0x00;
        case Coding::Eight:
            return 0x04;
        case Coding::Ucs2:
            return 0x08;
    }
    return 0x00;
}

bool AllDigits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789*#") == std::string_view::npos;
}

// The address value and type of a number as the message keeps it.
std::pair<std::string, uint8_t> AddressOf(const std::string& number) {
    if (number.size() > 1 && number.front() == '+' && AllDigits(number.substr(1))) {
        return {number.substr(1), Pdu::kInternational};
    }
    if (AllDigits(number)) {
        return {number, Pdu::kUnknownType};
    }
    return {number, Pdu::kAlphanumeric};
}

std::string Utf16Octets(const std::string& text) {
    const auto units = Pdu::EncodeUtf16(Pdu::DecodeUtf8(text));
    return std::string(units.begin(), units.end());
}

std::string Format(const char* format, int a, int b, int c, int d, int e, int f) {
    char text[64];
    std::snprintf(text, sizeof text, format, a, b, c, d, e, f);
    return text;
}

void AppendOctet(std::string& hex, unsigned value) {
    hex += ToHex(std::string(1, static_cast<char>(value & 0xFF)));
}

void AppendSemiOctets(std::string& hex, std::string_view digits) {
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        hex.push_back(i + 1 < digits.size() ? digits[i + 1] : 'F');
        hex.push_back(digits[i]);
    }
}

}  // namespace

std::optional<ListedUnit> EncodeSubmitUnit(const StoredMessage& message,
                                           const std::string& serviceCentre) {
    std::string hex;
    if (serviceCentre.empty()) {
        AppendOctet(hex, 0);
    } else {
        AppendOctet(hex, static_cast<unsigned>((serviceCentre.size() + 1) / 2 + 1));
        AppendOctet(hex, Pdu::kInternational);
        AppendSemiOctets(hex, serviceCentre);
    }
    const std::size_t tpduStart = hex.size();
    AppendOctet(hex, 0x01);  // SMS-SUBMIT, no validity period
    AppendOctet(hex, 0x00);
    const auto [value, type] = AddressOf(message.number);
    if (type == Pdu::kAlphanumeric) {
        const auto codes = Pdu::ToGsmCodes(Pdu::DecodeUtf8(value));
        std::vector<uint8_t> packed;
        Pdu::PackSeptets(codes, 0, packed);
        AppendOctet(hex, static_cast<unsigned>((codes.size() * 7 + 3) / 4));
        AppendOctet(hex, type);
        hex += ToHex(std::string(packed.begin(), packed.end()));
    } else {
        AppendOctet(hex, static_cast<unsigned>(value.size()));
        AppendOctet(hex, type);
        AppendSemiOctets(hex, value);
    }
    AppendOctet(hex, 0x00);
    AppendOctet(hex, DataCodingOf(message.coding));
    std::string data;
    std::size_t length = 0;
    switch (message.coding) {
        case Coding::Gsm7: {
            const auto codes = Pdu::ToGsmCodes(Pdu::DecodeUtf8(message.text));
            std::vector<uint8_t> packed;
            Pdu::PackSeptets(codes, 0, packed);
            data.assign(packed.begin(), packed.end());
            length = codes.size();
            break;
        }
        case Coding::Ucs2:
            data = Utf16Octets(message.text);
            length = data.size();
            break;
        case Coding::Eight:
            data = message.text;
            length = data.size();
            break;
    }
    if (data.size() > kMaxUserData) {
        return std::nullopt;
    }
    AppendOctet(hex, static_cast<unsigned>(length));
    hex += ToHex(data);
    return ListedUnit{hex, static_cast<int>((hex.size() - tpduStart) / 2)};
}

std::optional<ListedUnit> UnitOf(const StoredMessage& message, const std::string& serviceCentre) {
    if (!message.reportUnit.empty()) {
        // Behind its empty service-centre part.
        return ListedUnit{message.reportUnit, static_cast<int>(message.reportUnit.size() / 2) - 1};
    }
    if (message.status == MessageStatus::StoredUnsent ||
        message.status == MessageStatus::StoredSent) {
        return EncodeSubmitUnit(message, serviceCentre);
    }
    Pdu::Deliver deliver;
    deliver.serviceCentre = serviceCentre;
    std::tie(deliver.sender, deliver.senderType) = AddressOf(message.number);
    deliver.dataCoding = DataCodingOf(message.coding);
    deliver.stamp = message.time;
    deliver.text = message.text;
    deliver.header = message.header;
    std::string hex = Pdu::EncodeDeliver(deliver);
    if (hex.empty()) {
        return std::nullopt;
    }
    const auto serviceCentreOctets = FromHex(std::string_view(hex).substr(0, 2));
    const int tpduOctets = static_cast<int>(hex.size() / 2) - 1 - serviceCentreOctets->front();
    return ListedUnit{std::move(hex), tpduOctets};
}

std::string PduEntry(const std::string& tag, int index, MessageStatus status,
                     const ListedUnit& unit, bool blankLine) {
    return tag + " " + std::to_string(index) + "," + std::to_string(static_cast<int>(status)) +
           ",," + std::to_string(unit.tpduOctets) + (blankLine ? "\r\n\r\n" : "\r\n") + unit.hex;
}

std::string TextStamp(const MessageTime& t) {
    const int zone = t.zoneQuarters < 0 ? -t.zoneQuarters : t.zoneQuarters;
    return Format("%02d/%02d/%02d,%02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second) +
           (t.zoneQuarters < 0 ? "-" : "+") + Format("%02d", zone, 0, 0, 0, 0, 0);
}

std::string TextEntry(const StoredMessage& message, int index, bool ucs2) {
    std::string header = index >= 0 ? "+CMGL: " + std::to_string(index) + "," : "+CMGR: ";
    header += std::string("\"") + StatusText(message.status) + "\",\"" +
              (ucs2 ? ToHex(Utf16Octets(message.number)) : message.number) + "\",\"" +
              TextStamp(message.time) + "\"";
    std::string body;
    if (message.coding == Coding::Eight) {
        body = ToHex(message.text);  // octets are shown in hex in text mode
    } else {
        body = ucs2 ? ToHex(Utf16Octets(message.text)) : message.text;
    }
    return header + "\r\n" + body;
}

std::string IndexDialectEntry(const StoredMessage& message, int index) {
    std::string body = message.text;
    int encoding = 2;
    if (message.coding == Coding::Ucs2) {
        body = Utf16Octets(message.text);
        encoding = 4;
    } else if (message.coding == Coding::Eight) {
        encoding = 0;
    }
    const MessageTime& t = message.time;
    std::string header = index >= 0 ? "+CMGL: " + std::to_string(index) + "," : "+CMGR: ";
    header += std::string("\"") + StatusText(message.status) + "\",\"" + message.number + "\",\"" +
              Format("%04d/%02d/%02d %02d:%02d:%02d", 2000 + t.year, t.month, t.day, t.hour,
                     t.minute, t.second) +
              "\",0," + std::to_string(encoding) + ",0," + std::to_string(body.size());
    return header + "\r\n" + body;
}

}  // namespace ModemSim
