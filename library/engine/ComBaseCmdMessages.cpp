// Submission of one part, and the listing, reading and deletion of received messages.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <string_view>

#include "codec/Fields.h"
#include "codec/Listing.h"
#include "codec/LongText.h"
#include "codec/Pdu.h"
#include "codec/Reply.h"
#include "codec/StatusReport.h"
#include "codec/Text.h"
#include "engine/ComBaseCmd.h"
#include "engine/CommandText.h"
#include "engine/ModelTable.h"
#include "engine/ProcessState.h"
#include "engine/ReplyReader.h"

namespace GSM {

namespace {

constexpr int kAttempts = 5;
constexpr int kResultCapacity = 512;
constexpr int kBodyCapacity = 1024;
constexpr int kListingCapacity = 10240;
constexpr int kReadReplyCapacity = 1024;
constexpr int kDeleteReplyCapacity = 256;
constexpr std::string_view kSubmitTag = "+CMGS:";
constexpr std::string_view kReportTag = "+CDS:";
constexpr std::string_view kListTag = "+CMGL:";
constexpr std::string_view kReadTag = "+CMGR:";
constexpr char kCtrlZ = 0x1A;
constexpr char kEscape = 0x1B;

constexpr int kUcs2LeadMs = 1000;   // before a text-mode UCS2 submission
constexpr int kUcs2BodyMs = 200;    // between its body and the first result read
constexpr int kUcs2ReadMs = 20;     // before each of its result reads
constexpr int kListingStepMs = 30;  // before each read of a listing
constexpr int kListingWindowS = 2;  // whole seconds a listing is collected
constexpr int kReadMessagePauseMs = 500;
constexpr int kEscapeSettleMs = 200;  // after an ESC that ends a body never written

bool Holds(std::string_view text, std::string_view word) {
    return text.find(word) != std::string_view::npos;
}

int WriteBytes(CSXCom& port, std::string_view bytes) {
    return port.Write(bytes.data(), static_cast<int>(bytes.size()));
}

Outcome Fail(const char* text) {
    SetLastError(text);
    return Outcome::Failed;
}

// The number as text-mode and unprompted submissions address it: without the caller's
// prefix.
std::string_view Destination(const OutgoingPart& part) {
    const std::string_view number = Fields::View(part.record.number);
    return number.substr(std::min<std::size_t>(part.prefixLength, number.size()));
}

// Leaves the modem's text entry, so that what comes next is read as a command again.
void CancelTextEntry(CSXCom& port) {
    WriteBytes(port, std::string_view(&kEscape, 1));
}

// Writes the command and waits for the prompt, accepting an echo of the command in front
// of it.
Outcome PromptExchange(CSXCom& port, ModemNotes& notes, std::string_view command) {
    if (WriteBytes(port, command) == 0) {
        return Outcome::Failed;
    }
    char reply[kResultCapacity] = {};
    // A status line in the prompt's burst, or in a burst before it, is no answer.
    const ReplyBurst burst =
        ReadReplyBurst(port, notes, reply, kResultCapacity, ReplyDeadline(port), {kSubmitTag});
    return ShowsPrompt(burst.text, command) ? Outcome::Done : Outcome::Failed;
}

// The message reference of an accepted submission, from "+CMGS: <mr>" (0 to 255); -1 when
// the reply holds none.
int SubmitReference(std::string_view reply) {
    const std::size_t at = reply.find(kSubmitTag);
    if (at == std::string_view::npos) {
        return -1;
    }
    std::size_t i = reply.find_first_not_of(' ', at + kSubmitTag.size());
    int value = -1;
    for (; i < reply.size() && reply[i] >= '0' && reply[i] <= '9' && value < 256; ++i) {
        value = (value < 0 ? 0 : value * 10) + (reply[i] - '0');
    }
    return value <= 255 ? value : -1;
}

// Collects the result of a submission over up to five reads: Done when `success` appears,
// Failed when "ERROR" appears first (the reply becomes the last-error text) or never. Reads
// that bring nothing but the modem's own lines use up no read; however many arrive, the
// wait ends when the network's time to confirm is over.
Outcome CollectResult(CSXCom& port, ModemNotes& notes, int& reference, std::string_view success,
                      int pauseBeforeReadMs = 0) {
    reference = -1;
    const ReplyTags expected = {kSubmitTag, success == kReportTag ? kReportTag : kSubmitTag};
    const auto limit = port.Now() + std::chrono::milliseconds(port.Timing().submitResultLimitMs);
    std::string reply;
    char chunk[kResultCapacity];
    for (int attempt = 0; attempt < kAttempts && port.Now() < limit;) {
        if (pauseBeforeReadMs > 0 && port.Pause(pauseBeforeReadMs) == 0) {
            break;
        }
        const int room = kResultCapacity - 1 - static_cast<int>(reply.size());
        const int n = room > 0 ? port.Read(chunk, room) : 0;
        if (n <= 0) {
            ++attempt;
            continue;
        }
        const std::size_t before = reply.size();
        reply = notes.Note(
            CleanReply(reply + std::string(chunk, static_cast<std::size_t>(n)), expected));
        if (Holds(reply, success)) {
            reference = SubmitReference(reply);
            return Outcome::Done;
        }
        // The success mark was not there: any "ERROR" fails, even beside an "OK" that is
        // not the mark.
        if (ClassifyReply(reply, Precedence::ErrorFirst) == ReplyKind::Error) {
            SetLastError(reply.data(), reply.size());
            return Outcome::Failed;
        }
        if (reply.size() > before) {
            ++attempt;
        }
    }
    return Fail(kTextCmgsFailed);
}

// The text of the part through the send mapping of the GSM alphabet, and Ctrl-Z.
std::string MappedBody(const MsgRecord& record) {
    std::string body;
    for (char c : Fields::View(record.text)) {
        body.push_back(static_cast<char>(ToGsmChar(c)));
    }
    body.push_back(kCtrlZ);
    return body;
}

// A prompted submission: command, prompt, body, result. The modem is never left waiting
// for a body that will not come.
Outcome PromptedSubmission(CSXCom& port, ModemNotes& notes, const std::function<bool()>& gate,
                           int& reference, std::string_view command, std::string_view body,
                           int pauseAfterBodyMs = 0, int pauseBeforeReadMs = 0) {
    if (PromptExchange(port, notes, command) != Outcome::Done) {
        CancelTextEntry(port);
        return Fail(kTextCmgsFailed);
    }
    if (gate && !gate()) {
        CancelTextEntry(port);
        // A stop closes the port next, dropping what it has not sent: the ESC gets its time.
        port.Pause(kEscapeSettleMs);
        return Fail(kTextNotWritten);
    }
    if (WriteBytes(port, body) == 0) {
        CancelTextEntry(port);
        return Fail(kTextCmgsFailed);
    }
    if (pauseAfterBodyMs > 0 && port.Pause(pauseAfterBodyMs) == 0) {
        return Fail(kTextCmgsFailed);
    }
    return CollectResult(port, notes, reference, "OK", pauseBeforeReadMs);
}

std::string Ucs2Hex(std::string_view text) {
    uint8_t units[2 * kMaxUcs2Units] = {};
    const std::size_t n = LocalToUcs2(text, units);
    return BytesToHexString(std::span<const uint8_t>(units, n));
}

// The seconds of the port's clock, so that a listing window is counted in whole seconds.
long WholeSeconds(const CSXCom& port) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::seconds>(port.Now().time_since_epoch()).count());
}

// Reads and drops what is left of an answer that did not fit, so that it does not land in
// the next command's reply.
void DrainAnswer(CSXCom& port, ModemNotes& notes) {
    char scrap[kListingCapacity];
    const auto deadline = ReplyDeadline(port);
    for (int i = 0; i < 64 && port.Now() < deadline; ++i) {
        const int n = port.Read(scrap, sizeof scrap - 1);
        if (n <= 0) {
            return;
        }
        // Its own rule: the drain ends at an "OK" that ends its line; an "ERROR" does not end
        // it, silence or the deadline does.
        const std::string_view burst(scrap, static_cast<std::size_t>(n));
        if (Holds(notes.Note(CleanReply(burst, {})), "OK\r\n")) {
            return;
        }
    }
}

// Writes a listing command and collects its answer: until its final result, a full
// buffer, or, once the window is over, a read that brings no more of the answer. Status
// lines neither end the collection inside the window nor prolong it; entries that keep
// coming (a SIM that lists slowly) do. Empty when the last read was silent or the modem
// answered "ERROR".
std::string CollectListing(CSXCom& port, ModemNotes& notes, const char* command,
                           std::string_view tag) {
    if (!port.IsOpen() || WriteBytes(port, command) == 0) {
        return {};
    }
    const long start = WholeSeconds(port);
    std::string listing;
    char chunk[kListingCapacity];
    int last = 0;
    bool full = false;
    for (bool first = true;; first = false) {
        if (const ReplyKind kind = ClassifyReply(listing);
            !first && (kind == ReplyKind::Ok || kind == ReplyKind::Error)) {
            break;
        }
        const int room = kListingCapacity - 1 - static_cast<int>(listing.size());
        if (room <= 0) {
            full = true;
            break;
        }
        if (port.Pause(kListingStepMs) == 0) {
            return {};
        }
        last = port.Read(chunk, room);
        const std::size_t before = listing.size();
        if (last > 0) {
            listing = notes.Note(
                CleanReply(listing + std::string(chunk, static_cast<std::size_t>(last)), {tag}));
        }
        if (listing.size() <= before && WholeSeconds(port) >= start + kListingWindowS) {
            break;
        }
    }
    if (full) {
        DrainAnswer(port, notes);
    }
    // A listing with "ERROR" anywhere is not trusted, even beside an "OK".
    if (last <= 0 || ClassifyReply(listing, Precedence::ErrorFirst) == ReplyKind::Error) {
        return {};
    }
    return listing;
}

}  // namespace

std::string IComBaseCmd::ListAll(CSXCom& port) {
    return CollectListing(port, notes, "AT+CMGL=4\r\n", "+CMGL:");
}

int IComBaseCmd::SendMessage(CSXCom& port, const OutgoingPart& part) {
    lastReference = -1;
    if (part.longPart) {
        return ToFlag(SendLongPart(port, part));
    }
    switch (ProfileOf(modelCode.load()).submitMethod) {
        case SubmitMethod::Prompted:
            return ToFlag(SendMessagePrompted(port, part));
        case SubmitMethod::Ucs2Text:
            return SendMessageUcs2(port, part);
        case SubmitMethod::Unprompted:
            return SendMessageUnprompted(port, part);
    }
    return ToFlag(Fail(kTextCmgsFailed));
}

Outcome IComBaseCmd::SendMessagePrompted(CSXCom& port, const OutgoingPart& part) {
    const MsgRecord& record = part.record;
    if (record.coding == kCodingPlain) {
        char command[kBodyCapacity];
        const std::string destination(Destination(part));
        if (!FormatCommand(command, sizeof command, "AT+CMGS=\"%s\"\r", destination.c_str())) {
            return Fail(kTextCmgsFailed);
        }
        // Text mode asks for the report by the submit parameters (49: SRR set, relative
        // validity); a part that asks none goes with the modem's default ones (17, 24 hours).
        if (part.statusReport != reportParametersSet) {
            const char* parameters =
                part.statusReport ? "AT+CSMP=49,167,0,0\r\n" : "AT+CSMP=17,167,0,0\r\n";
            if (SendSimpleCommand(port, parameters) == Outcome::Done) {
                reportParametersSet = part.statusReport;
            } else if (part.statusReport) {
                return Fail(kTextCmgsFailed);
            }
        }
        return PromptedSubmission(port, notes, bodyGate, lastReference, command,
                                  MappedBody(record));
    }
    if (record.coding != kCodingUcs2) {
        return Fail(kTextCmgsFailed);
    }
    char pdu[kBodyCapacity] = {};
    const std::size_t h = BuildSubmitPdu(record, std::span<char>(pdu, kBodyCapacity - 1),
                                         part.serviceCentreInternational, part.statusReport);
    return SubmitPdu(port, pdu, h);
}

Outcome IComBaseCmd::SendLongPart(CSXCom& port, const OutgoingPart& part) {
    const MsgRecord& record = part.record;
    const std::u16string text = LocalToUtf16(Fields::View(record.text));
    SubmitUnit unit;
    unit.serviceCentre = Fields::View(record.serviceCentre);
    unit.serviceCentreInternational = part.serviceCentreInternational;
    unit.number = Fields::View(record.number);
    unit.protocolId = record.protocolId;
    unit.text = text;
    unit.gsm = record.coding == kCodingPlain;
    unit.statusReport = part.statusReport;
    if (part.concatCount > 0) {
        unit.concat =
            ConcatHeader{part.concatReference, part.concatCount, part.concatNumber, false};
    }
    const std::string hex = BuildLongSubmitPdu(unit);
    char pdu[kBodyCapacity] = {};
    if (hex.empty() || hex.size() >= kBodyCapacity - 1) {
        return Fail(kTextCmgsFailed);
    }
    std::copy(hex.begin(), hex.end(), pdu);
    return SubmitPdu(port, pdu, hex.size());
}

Outcome IComBaseCmd::SubmitPdu(CSXCom& port, char* pdu, std::size_t h) {
    uint8_t centreLength = 0;
    if (h < 2 || HexToBytes(std::string_view(pdu, 2), std::span<uint8_t>(&centreLength, 1)) != 1) {
        return Fail(kTextCmgsFailed);
    }
    // The length announced counts the octets behind the service-centre part.
    const long announced = static_cast<long>(h / 2) - ((centreLength + 1) % 256);
    char command[32];
    FormatCommand(command, sizeof command, "AT+CMGS=%ld\r", announced);
    pdu[h] = kCtrlZ;
    return PromptedSubmission(port, notes, bodyGate, lastReference, command,
                              std::string_view(pdu, h + 1));
}

int IComBaseCmd::SendMessageUnprompted(CSXCom& port, const OutgoingPart& part) {
    const MsgRecord& record = part.record;
    std::string body;
    if (record.coding == kCodingPlain) {
        body = Fields::View(record.text);
    } else if (record.coding == kCodingUcs2) {
        uint8_t units[2 * kMaxUcs2Units] = {};
        const std::size_t n = LocalToUcs2(Fields::View(record.text), units);
        for (std::size_t i = 0; i + 1 < n; i += 2) {
            // The raw body ends at the first Ctrl-Z and an escape cancels it: such a text
            // cannot go this way.
            if (units[i] == 0 && (units[i + 1] == 0x1A || units[i + 1] == 0x1B)) {
                return ToFlag(Fail(kTextCmgsFailed));
            }
        }
        body.assign(reinterpret_cast<const char*>(units), n);
        body.push_back('\0');
    } else {
        return ToFlag(Fail(kTextCmgsFailed));
    }
    body.push_back(kCtrlZ);
    char command[kBodyCapacity];
    const std::string destination(Destination(part));
    if (!FormatCommand(command, sizeof command, "AT+CMGS=\"%s\"\r", destination.c_str())) {
        return ToFlag(Fail(kTextCmgsFailed));
    }
    if (bodyGate && !bodyGate()) {
        return ToFlag(Fail(kTextNotWritten));
    }
    if (WriteBytes(port, std::string(command) + body) == 0) {
        CancelTextEntry(port);
        return ToFlag(Fail(kTextCmgsFailed));
    }
    return ToFlag(CollectResult(port, notes, lastReference, "+CDS:"));
}

int IComBaseCmd::SendMessageUcs2(CSXCom& port, const OutgoingPart& part) {
    const MsgRecord& record = part.record;
    if (record.coding != kCodingPlain && record.coding != kCodingUcs2) {
        return ToFlag(Fail(kTextCmgsFailed));
    }
    if (port.Pause(kUcs2LeadMs) == 0) {
        return ToFlag(Fail(kTextCmgsFailed));
    }
    const bool plain = record.coding == kCodingPlain;
    const std::string destination =
        plain ? std::string(Destination(part)) : Ucs2Hex(Destination(part));
    char command[kBodyCapacity];
    if (!FormatCommand(command, sizeof command, "AT+CMGS=\"%s\"\r\n", destination.c_str())) {
        return ToFlag(Fail(kTextCmgsFailed));
    }
    std::string body;
    if (plain) {
        body = MappedBody(record);
    } else {
        body = Ucs2Hex(Fields::View(record.text));
        body.push_back('\0');
        body.push_back(kCtrlZ);
    }
    return ToFlag(PromptedSubmission(port, notes, bodyGate, lastReference, command, body,
                                     kUcs2BodyMs, kUcs2ReadMs));
}

int IComBaseCmd::ReadMessages(CSXCom& port, MsgRecord* records, int* indexes) {
    listedParts.fill(ListedPart{});
    listedReports.clear();
    const ReceiveProfile& receive = ProfileOf(modelCode.load()).receive;
    switch (receive.method) {
        case ReceiveMethod::PduListing:
            return ReadPduListing(port, records, indexes, receive);
        case ReceiveMethod::Ucs2Text:
            return ReadAllMessagesUcs2(port, records, indexes);
        case ReceiveMethod::ByIndex:
            return ReadMessagesByIndex(port, records, indexes);
    }
    return 0;
}

int IComBaseCmd::ReadPduListing(CSXCom& port, MsgRecord* records, int* indexes,
                                const ReceiveProfile& receive) {
    const std::string_view tag = receive.listingTag;
    const std::string listing = CollectListing(port, notes, "AT+CMGL=4\r\n", tag);
    const std::string_view text(listing);
    const std::string_view headerEnd = receive.blankLineAfterHeader ? "\r\n\r\n" : "\r\n";
    int count = 0;
    for (std::size_t cursor = text.find(tag);
         cursor != std::string_view::npos && count < kMaxListed; cursor = text.find(tag, cursor)) {
        const std::optional<ListedEntry> entry = FrameEntry(text, cursor, tag.size(), headerEnd);
        if (!entry) {
            break;  // cut off by the window: the entry stays for a later pass
        }
        const std::string_view header = entry->header;
        const std::string_view unit = entry->body;
        if (!IsHexText(unit)) {
            cursor = entry->end;
            continue;  // not a unit at all: the entry is read again on a later pass
        }
        if (!HoldsAnnouncedOctets(header, unit)) {
            break;  // the rest of this answer is not to be trusted: a later pass reads it
        }
        cursor = entry->end;
        const int index = Fields::ReadIndex(header.substr(tag.size()));
        if (index < 0 || !IsReceivedStatus(StatusField(header))) {
            continue;
        }
        MsgRecord& record = records[count];
        std::memset(&record, 0, sizeof record);
        const DeliverResult result = ParseDeliverPdu(unit, record);
        if (result.type == PduType::StatusReport) {
            std::memset(&record, 0, sizeof record);
            if (std::optional<StatusReport> report = ParseStatusReportPdu(unit)) {
                report->storageIndex = index;
                listedReports.push_back(std::move(*report));
            }
            DeleteMessage(port, index);
            continue;
        }
        if (result.type != PduType::Deliver && result.type != PduType::Unreadable) {
            std::memset(&record, 0, sizeof record);
            continue;  // a report or a submission: not a received message
        }
        if (!result.parsed) {
            std::memset(&record, 0, sizeof record);
            DeleteMessage(port, index);
            continue;
        }
        record.tag = static_cast<int8_t>(static_cast<uint8_t>(index & 0xFF));
        indexes[count] = index;
        listedParts[static_cast<std::size_t>(count)] = {result.concat, result.internationalSender,
                                                        result.units, result.septets};
        ++count;
    }
    return count;
}

int IComBaseCmd::ReadAllMessagesUcs2(CSXCom& port, MsgRecord* records, int* indexes) {
    if (FromStatus(SetCharacterSet(port, "UCS2")) != Outcome::Done) {
        return 0;  // the entries would be read in the wrong character set
    }
    const std::string listing = CollectListing(port, notes, "AT+CMGL=\"ALL\"\r\n", kListTag);
    const std::string_view text(listing);
    constexpr std::string_view kTag = "+CMGL:";
    int count = 0;
    for (std::size_t at = text.find(kTag); at != std::string_view::npos && count < kMaxListed;) {
        const std::optional<ListedEntry> framed = FrameEntry(text, at, kTag.size());
        if (!framed) {
            break;
        }
        const std::string_view header = framed->header;
        const std::string_view entry = text.substr(at, framed->end - at);
        at = text.find(kTag, framed->end);
        const int index = Fields::ReadIndex(header.substr(kTag.size()));
        if (index < 0 || !IsReceivedStatus(StatusField(header))) {
            continue;
        }
        MsgRecord& record = records[count];
        std::memset(&record, 0, sizeof record);
        if (ParseUcs2ListEntry(entry, record)) {
            indexes[count] = index;
            ++count;
        } else {
            std::memset(&record, 0, sizeof record);
        }
    }
    return count;
}

int IComBaseCmd::ReadMessagesByIndex(CSXCom& port, MsgRecord* records, int* indexes) {
    int listed[kMaxListed] = {};
    int n = ListMessageIndexes(port, listed, "UREAD");
    if (n == 0) {
        n = ListMessageIndexes(port, listed, "READ");
    }
    int count = 0;
    for (int i = 0; i < n; ++i) {
        MsgRecord& record = records[count];
        if (FromFlag(ReadMessage(port, listed[i], record)) == Outcome::Done) {
            record.tag = static_cast<int8_t>(static_cast<uint8_t>(listed[i] & 0xFF));
            indexes[count] = listed[i];
            ++count;
        }
    }
    return count;
}

int IComBaseCmd::ListMessageIndexes(CSXCom& port, int* indexes, const char* status) {
    if (!port.IsOpen()) {
        return 0;
    }
    char command[64];
    if (!FormatCommand(command, sizeof command, "AT+CMGL=\"%s\"\r\n", status ? status : "")) {
        return 0;
    }
    WriteBytes(port, command);
    int stored = 0;
    bool entrySeen = false;
    // Entries push the end back; status lines, however many, do not.
    auto deadline = ReplyDeadline(port);
    for (;;) {
        if (port.Pause(kListingStepMs) == 0) {
            return stored;
        }
        char reply[kReadReplyCapacity] = {};
        // Before the first entry no body can come: a bare result is an empty listing.
        const ReplyBurst read =
            ReadReplyBurst(port, notes, reply, kReadReplyCapacity, deadline, {kListTag}, true,
                           entrySeen ? BurstRule::Quiet : BurstRule::Bare);
        const std::string_view burst = read.text;
        std::size_t tag = burst.find(kListTag);
        if (tag != std::string_view::npos) {
            entrySeen = true;
            // A burst may hold several entries (a module sends a short listing at once);
            // each counts. A garbled index is left out: the message waits for a cleaner
            // listing.
            for (std::size_t at = tag; at != std::string_view::npos && stored < kMaxListed;
                 at = burst.find(kListTag, at + kListTag.size())) {
                const int index = Fields::ReadIndex(burst.substr(at + kListTag.size()));
                if (index >= 0) {
                    indexes[stored++] = index;
                }
                tag = at;
            }
            if (stored == kMaxListed || FinalAfterEntry(burst, tag)) {
                return stored;
            }
            deadline = ReplyDeadline(port);
        } else if (read.count <= 0 || burst.empty()) {
            return stored;
        } else if (const ReplyKind kind = ClassifyReply(burst, Precedence::ErrorFirst);
                   kind == ReplyKind::Error) {
            // Any "ERROR" is the listing's failure, even beside an "OK".
            SetLastError(kTextCmglError);
            return stored;
        } else if (kind == ReplyKind::Ok) {
            return stored;
        } else if (port.Now() >= deadline) {
            return stored;
        }
    }
}

int IComBaseCmd::ReadMessage(CSXCom& port, int index, MsgRecord& record) {
    if (!port.IsOpen()) {
        return ToFlag(Outcome::PortClosed);
    }
    char command[64];
    FormatCommand(command, sizeof command, "AT+CMGR=%d\r\n", index);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        WriteBytes(port, command);
        if (port.Pause(kReadMessagePauseMs) == 0) {
            break;
        }
        char reply[kReadReplyCapacity] = {};
        const ReplyBurst read = ReadReplyBurst(port, notes, reply, kReadReplyCapacity,
                                               ReplyDeadline(port), {kReadTag}, true);
        const std::string_view burst = read.text;
        const std::size_t tag = burst.find(kReadTag);
        if (tag != std::string_view::npos) {
            if (ParseReadReply(burst.substr(tag + kReadTag.size()), record)) {
                return ToFlag(Outcome::Done);
            }
        } else if (read.count > 0 &&
                   ClassifyReply(burst, Precedence::ErrorFirst) == ReplyKind::Error) {
            break;  // no "+CMGR:" and an "ERROR": the message cannot be read
        }
    }
    return ToFlag(Fail(kTextCmgrFailed));
}

int IComBaseCmd::DeleteMessage(CSXCom& port, int index) {
    char command[32];
    FormatCommand(command, sizeof command, "AT+CMGD=%d\r", index);
    // Once anything came back, the modem has the command: its result is waited for, never
    // asked for again, since a second deletion would hit a message that has taken the freed
    // index meanwhile. Only a command met by silence is sent again.
    bool heard = false;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        char reply[kDeleteReplyCapacity] = {};
        if (!heard) {
            WriteBytes(port, command);
        }
        // Even a status line means the line works and the command arrived; its answer
        // is read past the status lines.
        const ReplyBurst read =
            ReadReplyBurst(port, notes, reply, kDeleteReplyCapacity, ReplyDeadline(port), {});
        const std::string& burst = read.text;
        heard = heard || read.heard;
        const ReplyKind kind = ClassifyReply(burst);
        if (kind == ReplyKind::Ok) {
            return ToFlag(Outcome::Done);
        }
        if (kind == ReplyKind::Error) {
            break;
        }
    }
    return ToFlag(Outcome::Failed);
}

}  // namespace GSM
