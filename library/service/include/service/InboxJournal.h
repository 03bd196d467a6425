// The opt-in inbox journal (TARVIK_INBOX_JOURNAL names its file): each received message is
// written and flushed to disk before it is deleted from the modem, and handed over again
// at the next start until a reader appends its acknowledgement. Without it a message the
// caller has not yet fetched (or fetched and not yet kept) is gone when the process dies.
//
// The file is text, one record a line, each written with a line end before it so that a
// record torn by a crash spoils only itself:
//   M <key> <number hex> <time hex> <text hex> [<part hex>]   a message, its fields' bytes
//                      in hex; <part>, when there is one: a flag octet (1 international
//                      sender, 2 concatenation element, 4 its 16-bit reference, 8 the
//                      units are septets), the reference (2 octets), count and number,
//                      then the UCS2 units (or septets, two octets each)
//   D <key> <fields hex>                           a delivery report: reference, status,
//                      international flag, recipient, centre time and discharge time,
//                      apart by 0x1F
//   A <key>                                        the reader has kept that message or report
// Records are appended; the start rewrites the file with the messages still unacknowledged.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "Tarvik.h"
#include "service/Session.h"

namespace GSM {

// The stable key of a received message (codec/MessageKey.h), so that the same message
// delivered twice has the same key.
std::string InboxKey(const RecvMsg& message);

// What a journal holds unacknowledged, in the order it came.
struct JournalContent {
    std::vector<Tarvik::ReceivedPart> parts;
    std::vector<Tarvik::StatusReport> reports;
};

class CInboxJournal {
public:
    // The journal at `path`; `replayed` gets its unacknowledged messages in the order they
    // came, `replayedReports` its reports. Nothing opened (Open() false) when the file
    // cannot be read or rewritten.
    CInboxJournal(std::string path, std::vector<Tarvik::ReceivedPart>& replayed,
                  std::vector<Tarvik::StatusReport>& replayedReports);
    ~CInboxJournal();
    CInboxJournal(const CInboxJournal&) = delete;
    CInboxJournal& operator=(const CInboxJournal&) = delete;

    bool Open() const { return file_ != nullptr; }
    // Appends the message and flushes it to the disk; false when that failed, and the
    // message must then stay on the modem.
    bool Record(const Tarvik::ReceivedPart& part);
    // The same for a delivery report, before the modem's copy goes.
    bool RecordReport(const Tarvik::StatusReport& report);

private:
    bool Append(const std::string& line);

    std::string path_;
    std::FILE* file_ = nullptr;
};

// The platform's halves: flush a stream's data to the disk, and put `from` in the place of
// `to` so that a crash leaves one or the other whole.
bool SyncStream(std::FILE* file);
bool ReplaceJournalFile(const std::string& from, const std::string& to);

}  // namespace GSM
