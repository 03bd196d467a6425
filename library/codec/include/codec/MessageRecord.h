// The library's internal message record: one short message, or one part of a long one, in
// either direction. Plain data: the codec fills it, the engine moves it, the service keeps it
// (service/MsgRecord.h is its name there).
#pragma once

#include <cstddef>
#include <cstdint>

namespace GSM {

struct MsgRecord {
    // Outgoing: the service centre read at start. Incoming: from a PDU listing only.
    char serviceCentre[30];
    // Outgoing: prefix followed by number. Incoming: the originator.
    char number[30];
    uint8_t protocolId;
    // Outgoing: 0 plain text, 8 UCS2. Incoming: the data coding scheme (PDU listing only).
    uint8_t coding;
    // Incoming: digit pairs yy mm dd hh mm ss, then the time zone from a PDU listing.
    char timestamp[16];
    char text[512];
    // Outgoing: low byte of the sequence number. Incoming: low byte of the storage index.
    int8_t tag;
};

inline constexpr uint8_t kCodingPlain = 0;
inline constexpr uint8_t kCodingUcs2 = 8;

// A received part's concatenation element (8- or 16-bit reference), as the sender wrote
// it: a part number of 0 or over the count is for the joiner to treat as a message of its
// own.
struct ConcatHeader {
    uint16_t reference = 0;
    uint8_t count = 0;
    uint8_t number = 0;
    bool wideReference = false;  // element 8 rather than 0

    bool operator==(const ConcatHeader&) const = default;
};

// A queued outgoing part: the record, and how many leading characters of its number field
// are the caller's prefix, left out of text-mode destinations and of the report.
struct OutgoingPart {
    MsgRecord record;
    uint8_t prefixLength;
    // How the modem reported the service centre: its type in a PDU submission.
    bool serviceCentreInternational;
    // A part of a long text: in PDU mode whatever its coding (a plain one in the GSM
    // alphabet), with an 8-bit concatenation element when `concatCount` is not 0.
    bool longPart;
    uint8_t concatReference;
    uint8_t concatCount;
    // The part's number in its text, from 1 (0 for the ten functions' parts); in the
    // element when `concatCount` is not 0.
    uint8_t concatNumber;
    // The network is asked for a delivery report (only the project's own programs ask).
    bool statusReport;
    // The body waits for the caller's leave to be written (the service's write gate).
    bool confirmWrite;
};

static_assert(sizeof(MsgRecord) == 591, "MsgRecord is 591 bytes");
static_assert(offsetof(MsgRecord, serviceCentre) == 0);
static_assert(offsetof(MsgRecord, number) == 30);
static_assert(offsetof(MsgRecord, protocolId) == 60);
static_assert(offsetof(MsgRecord, coding) == 61);
static_assert(offsetof(MsgRecord, timestamp) == 62);
static_assert(offsetof(MsgRecord, text) == 78);
static_assert(offsetof(MsgRecord, tag) == 590);

}  // namespace GSM
