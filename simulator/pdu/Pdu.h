// Transfer units as a modem stores and takes them in PDU mode (3GPP TS 23.040), as hex text:
// the SMS-SUBMIT units a terminal hands in, and the SMS-DELIVER units the simulated modem
// stores for listing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ModemSim::Pdu {

enum class Alphabet { Gsm7, Eight, Ucs2 };

// The alphabet a data coding scheme names (3GPP TS 23.038 clause 4); none for compressed
// and reserved codings.
std::optional<Alphabet> AlphabetOf(uint8_t dataCoding);

inline constexpr uint8_t kInternational = 0x91;
inline constexpr uint8_t kUnknownType = 0x81;
inline constexpr uint8_t kAlphanumeric = 0xD0;

struct Submit {
    std::string serviceCentre;  // digits; empty when the unit starts with 00
    uint8_t serviceCentreType = 0;
    uint8_t firstOctet = 0;
    uint8_t messageReference = 0;
    std::string number;  // digits, "*" and "#"; the text for an alphanumeric address
    uint8_t numberType = 0;
    uint8_t protocolId = 0;
    uint8_t dataCoding = 0;
    Alphabet alphabet = Alphabet::Gsm7;
    std::optional<uint8_t> relativeValidity;  // when the first octet announces that format
    std::vector<uint8_t> header;              // user-data header without its length octet
    std::string text;                         // UTF-8; for 8-bit data the octets as they stand
    std::size_t tpduOctets = 0;  // octets after the service-centre part, what AT+CMGS announces
};

// The SMS-SUBMIT unit in `hex` (either case, nothing else). None when it is not hex, not a
// submit unit, in a coding without an alphabet, or holds more or less than it announces.
std::optional<Submit> DecodeSubmit(std::string_view hex);

struct Timestamp {
    int year = 0;  // two digits
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int zoneQuarters = 0;  // quarter hours from UTC, may be negative
};

struct Deliver {
    std::string serviceCentre;  // digits; empty gives the length 00
    std::string sender;         // digits, or the text of an alphanumeric sender
    uint8_t senderType = kInternational;
    uint8_t protocolId = 0;
    uint8_t dataCoding = 0;  // the alphabet is taken from it
    bool moreMessages = false;
    Timestamp stamp;
    std::vector<uint8_t> header;  // user-data header without its length octet; empty for none
    std::string text;             // UTF-8; for 8-bit data the octets as they stand
};

// Upper-case hex of the SMS-DELIVER unit with its service-centre part; empty when the user
// data would exceed 140 octets or the coding has no alphabet. Characters the GSM alphabet
// lacks become "?".
std::string EncodeDeliver(const Deliver& deliver);

// What the network tells of a submitted unit.
struct StatusReport {
    uint8_t messageReference = 0;
    std::string recipient;  // digits, "*" and "#"
    uint8_t recipientType = kInternational;
    Timestamp centreTime;     // when the centre took the unit
    Timestamp dischargeTime;  // when it was delivered, or the last try failed
    uint8_t status = 0;
};

// Upper-case hex of the SMS-STATUS-REPORT unit behind an empty service-centre part ("00").
std::string EncodeStatusReport(const StatusReport& report);

}  // namespace ModemSim::Pdu
