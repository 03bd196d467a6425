// PDU mode: the SMS-SUBMIT unit of an outgoing record and the reading of a received unit
// (3GPP TS 23.040), both as upper-case hex text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/MessageRecord.h"

namespace GSM {

// Writes the SMS-SUBMIT unit of a UCS2 record (coding 8) as hex text and a NUL into `out`:
// service centre (type 0x91 when `serviceCentreInternational`, else 0x81; an empty one as
// length 00, the modem's own), destination of type 0x91, validity 24 hours, the text as
// UCS2. A leading "+" of either number is dropped. Returns the hex digits written; 0 for
// another coding, a number that is not digits, "*" and "#", a text over 140 octets, or a unit
// that does not fit `out`.
// With `statusReport` the first octet asks for a delivery report (TP-SRR).
std::size_t BuildSubmitPdu(const MsgRecord& record, std::span<char> out,
                           bool serviceCentreInternational, bool statusReport = false);

// The hex text of an SMS-SUBMIT unit up to its destination: service centre (as
// BuildSubmitPdu writes it), first octet (with the user-data header bit when asked),
// message reference 0 and the destination of type 0x91. Empty when a number is not digits,
// "*" and "#".
std::string SubmitHead(std::string_view serviceCentre, bool serviceCentreInternational,
                       std::string_view number, bool userDataHeader, bool statusReport = false);

// Message type of a unit: bits 1-0 of its first octet.
enum class PduType : int8_t {
    Unreadable = -1,  // too short or not hex to carry a first octet
    Deliver = 0,
    Submit = 1,  // also SMS-SUBMIT-REPORT
    StatusReport = 2,
    Reserved = 3,  // read as SMS-DELIVER, as the standard asks of a receiver
};

struct DeliverResult {
    // The unit was read whole as SMS-DELIVER; an empty text is still a parsed message.
    bool parsed = false;
    PduType type = PduType::Unreadable;
    // Bytes of local text written to the record.
    std::size_t textLength = 0;
    // The originator's type of number is international (0x91): a phone shows it with "+".
    bool internationalSender = false;
    // The concatenation element of its user-data header, wherever it stands among others.
    std::optional<ConcatHeader> concat;
    // A UCS2 text's units as they came, before decoding: a long message joins its parts'
    // units first, so that a surrogate pair split between two parts stays one character.
    // For a 7-bit part of a long message, its septets (`septets`), so that an escape pair
    // split between two parts stays one character.
    std::u16string units;
    bool septets = false;
};

// The concatenation element among the information elements of a user-data header (without
// its length octet); none when there is none or it is malformed.
std::optional<ConcatHeader> FindConcatElement(std::span<const uint8_t> elements);

// Reads the received unit at the start of `pdu` (its hex digits, either case, end at the
// first other character) into `record`: service centre, originator, protocol identifier,
// coding, the 14-digit time stamp and the text. Clears every field but the tag first. Units
// of another type, in a compressed or reserved coding, or announcing more than they hold
// are not parsed.
DeliverResult ParseDeliverPdu(std::string_view pdu, MsgRecord& record);

// Septets `first` to `first` + `count` - 1 of the packed `octets` (those the octets hold)
// through the GSM alphabet into `out`, NUL-terminated. Returns the bytes written.
std::size_t UnpackSeptets(std::span<const uint8_t> octets, std::size_t first, std::size_t count,
                          std::span<char> out);
// The same septets' codes, undecoded.
std::vector<uint8_t> Septets(std::span<const uint8_t> octets, std::size_t first, std::size_t count);

enum class SemiOctets { Encode, Decode };

// Encode: digits to semi-octet order, pair by pair, an odd last digit completed with "F".
// Decode: the reverse, a trailing "F" dropped. Writes as many whole pairs as fit `out` with a
// NUL (decoding stops at the field's end). Returns the characters written.
std::size_t SwapSemiOctets(std::string_view in, std::span<char> out, SemiOctets direction);

}  // namespace GSM
