// What the simulated modem keeps and what it was handed: stored messages with their status
// and the submissions it accepted.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pdu/Pdu.h"

namespace ModemSim {

using Coding = Pdu::Alphabet;

// Numbered as PDU mode lists them.
enum class MessageStatus { ReceivedUnread = 0, ReceivedRead = 1, StoredUnsent = 2, StoredSent = 3 };

// "REC UNREAD", "REC READ", "STO UNSENT", "STO SENT".
const char* StatusText(MessageStatus status);

// Year in two digits, as the network stamps it.
using MessageTime = Pdu::Timestamp;

// The local time now, as a network would stamp a message.
MessageTime TimeNow();

struct StoredMessage {
    int index = -1;  // -1 when storing: the lowest free index
    MessageStatus status = MessageStatus::ReceivedUnread;
    std::string number;  // digits, "+" and digits, or an alphanumeric sender
    MessageTime time = {18, 9, 28, 9, 39, 55, 32};
    std::string text;  // UTF-8; for 8-bit data the octets as they stand
    Coding coding = Coding::Gsm7;
    // A received part's user-data header without its length octet; only a PDU listing
    // shows it.
    std::vector<uint8_t> header;
    // A delivery report kept among the messages: its unit as hex, which a PDU listing shows
    // instead of a message.
    std::string reportUnit;
};

enum class SubmitMethod { Text, Ucs2Text, Pdu, Unprompted };

struct Submission {
    SubmitMethod method = SubmitMethod::Text;
    std::string destination;  // as the modem read it; "+" in front of an international number
    std::string text;         // UTF-8; for 8-bit data the octets as they stand
    Coding coding = Coding::Gsm7;
    std::string body;  // the bytes after the command up to, not including, the terminator
    int reference = 0;
    std::vector<uint8_t> header;  // a PDU's user-data header without its length octet
    bool statusReport = false;    // a delivery report was asked for
};

// Upper-case hex of octets, and back (either case); none for anything else than hex pairs.
std::string ToHex(std::string_view octets);
std::optional<std::vector<uint8_t>> FromHex(std::string_view hex);

}  // namespace ModemSim
