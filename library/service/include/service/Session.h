// The library's face for the project's own programs: the same process-wide service as the
// ten functions (one per process; either face starts, feeds and stops it), with what their
// fixed records cannot carry.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

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
    // The part's number in its text's split, from 1; 0 for a part of the ten functions.
    int32_t partNumber = 0;
    // With confirmed writes: the body never went to the modem, so sending it again is safe.
    bool notWritten = false;
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
    bool septets = false;              // units are a 7-bit part's septets instead
};

// The stable key of a part, as the inbox journal names it and an acknowledgement gives it
// back: a message without a concatenation element keeps the key of its number, time and
// text; a part's element goes into its key too, for two parts of one set may carry the
// same text and time.
std::string PartKey(const ReceivedPart& part);

// The stable key of a delivery report, as the inbox journal names it and an
// acknowledgement gives it back: the same report read twice has the same key.
std::string ReportKey(const StatusReport& report);

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
    // A retry of a concatenated message: its reference again (0 to 255), and the numbers of
    // the parts of the same split still to send (each 1 to its count; empty: every part),
    // so that the phone completes the message it holds.
    std::optional<int> reference;
    std::vector<int> onlyParts;
    // Each part's body waits for AnswerWrite (see SetWriteNotice) before it is written.
    bool confirmWrites = false;
};
struct SendResult {
    int32_t sequence = -1;  // -1: nothing was queued, `refusal` says why
    std::size_t parts = 0;  // the parts queued
    bool concatenated = false;
    std::optional<int> reference;  // a concatenated message's reference
    std::size_t splitParts = 0;    // the parts of the whole text's split
    std::string refusal;
    bool queueFull = false;     // the queue had no room for every part: it may fit later
    bool statusReport = false;  // the parts ask for delivery reports
};
SendResult SendText(const std::string& text, const std::string& number,
                    const std::optional<std::string>& prefix, const SendOptions& options);

// Confirmed writes: `notice` hears, on the library's worker thread, of each part whose body
// waits for AnswerWrite (its message's tag, as its report carries it, and its number). It
// must neither block nor call into the service. A part not answered within
// kWriteWaitLimit, or when the service stops, is ended unwritten.
using WriteNotice = std::function<void(int32_t tag, int part)>;
inline constexpr std::chrono::seconds kWriteWaitLimit{30};
void SetWriteNotice(WriteNotice notice);
// Lets the waiting part's body go, or (`go` false) ends it unwritten and reported refused.
// False when no such part waits.
bool AnswerWrite(int32_t tag, int part, bool go);

// The oldest waiting outcome or message; none when nothing waits or not started. Taken
// from the same stores as SMSReport and SMSGetNextMessage.
std::optional<PartOutcome> NextOutcome();
std::optional<ReceivedPart> NextMessage();
// The oldest delivery report the modem handed over; none when nothing waits or not started.
std::optional<StatusReport> NextStatusReport();
// Routes delivery reports from now on, as the first part that asks for one does, so that
// the reports of parts an earlier start sent come to this one too; nothing when not
// started. With the inbox journal, the caller acknowledges reports there as it does
// messages (under ReportKey): each report is written to it before the modem's copy goes,
// and those not yet acknowledged come again.
void AskReports();

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
