// The library's face for the project's own programs: the same process-wide service as the
// ten functions (one per process; either face starts, feeds and stops it), with what their
// fixed records cannot carry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "Tarvik.h"
#include "codec/MessageRecord.h"
#include "codec/StatusReport.h"
#include "engine/Health.h"

namespace Tarvik {

// One submitted part's outcome: the record SMSReport gives, and the reference the network
// gave the part ("+CMGS: <mr>", 0 to 255), -1 when it was refused or the modem gave none.
struct PartOutcome {
    SendReport report{};
    int32_t messageReference = -1;
};

using ConcatHeader = GSM::ConcatHeader;
// Registration, operator and access technology, signal, IMSI, ICCID, SIM state, storage
// used and total; each absent when the modem did not tell it.
using ModemHealth = GSM::ModemHealth;
// A delivery report: the reference and recipient of the part it reports on, its status
// (TP-ST), the centre's and the delivery's times, and where the modem had kept it.
using StatusReport = GSM::StatusReport;

// One received message, or one part of a long one: the record SMSGetNextMessage gives, and
// what the modem's PDU listing showed beyond it. A journal written before the journal kept
// that gives its messages back without it.
struct ReceivedPart {
    RecvMsg message{};
    std::optional<ConcatHeader> concat;
    bool internationalSender = false;  // the sender's type of number is international
    std::u16string units;              // a UCS2 text's units before decoding; else empty
};

// The stable key of a part, as the inbox journal names it and an acknowledgement gives it
// back: a message without a concatenation element keeps the key of its number, time and
// text; a part's element goes into its key too, for two parts of one set may carry the
// same text and time.
std::string PartKey(const ReceivedPart& part);

// The sender as a phone shows it: "+" and the digits of an international number, else the
// record's number as it stands.
std::string SenderOf(const ReceivedPart& part);

namespace Session {

// True when the service runs afterwards; LastError() says why not.
bool Start(int port, int baudRate);
// The same on a device named by its path, such as a stable link under /dev/serial/by-id:
// what a port number names can change at a replug, that link does not.
bool StartDevice(const std::string& devicePath, int baudRate);
void Stop();
bool Running();
std::string LastError();
// True once the device the service runs on went away (unplugged, reset) while it ran: the
// service is of no more use, and the device, should it come back, wants a new start.
bool DeviceGone();

// As SMSSendMessage2: the sequence number, or -1 when not started, for unusable input, or
// when the queue cannot take the whole text.
// A prefix not given is SMSSendMessage2's NULL.
int32_t Send(const std::string& text, const std::string& number,
             const std::optional<std::string>& prefix);

// A text of any length: with `concatenate` one concatenated message where the modem's
// dialect carries the header (else independent parts, as Send), refused over `maxParts`.
struct SendOptions {
    bool concatenate = true;
    std::size_t maxParts = 10;  // 0: no limit but the queue's
    // Ask the network for a delivery report of each part; honoured where the modem's row
    // knows how reports come back (SendResult::statusReport tells).
    bool statusReport = false;
};
struct SendResult {
    int32_t sequence = -1;  // -1: nothing was queued, `refusal` says why
    std::size_t parts = 0;
    bool concatenated = false;
    std::string refusal;
    bool queueFull = false;     // the queue had no room for every part: it may fit later
    bool statusReport = false;  // the parts ask for delivery reports
};
SendResult SendText(const std::string& text, const std::string& number,
                    const std::optional<std::string>& prefix, const SendOptions& options);

// The oldest waiting outcome or message; none when nothing waits or not started. Taken
// from the same stores as SMSReport and SMSGetNextMessage.
std::optional<PartOutcome> NextOutcome();
std::optional<ReceivedPart> NextMessage();
// The oldest delivery report the modem handed over; none when nothing waits or not started.
std::optional<StatusReport> NextStatusReport();

// The model code the start took the modem for (its dialect); 0 before a start.
int32_t ModelCode();

// The modem's health, asked now; none when not started.
std::optional<ModemHealth> Health();

// As SMSCommand.
int32_t Command(const char* command, char* reply, int32_t waitMs);
// A query: as SMSCommand without a wait, but with quick replies on the reply ends at its
// final result instead of the full silence, so the line is free again at once. Empty when
// not started or nothing came.
std::string Query(const std::string& command);

}  // namespace Session
}  // namespace Tarvik
