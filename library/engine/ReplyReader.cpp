#include "engine/ReplyReader.h"

#include <cstring>

namespace GSM {

namespace {

constexpr int kSilentReads = 5;

}  // namespace

ReplyClock::time_point ReplyDeadline(const CSXCom& port) {
    return port.Now() + std::chrono::milliseconds(kSilentReads * port.Timing().firstByteWaitMs);
}

CleanText CleanReply(std::string_view raw, ReplyTags expected, bool entryBodies) {
    CleanedReply cleaned = StripUnsolicited(raw, expected, entryBodies);
    const bool lost = cleaned.restarted || ShowsLostSetup(cleaned.text);
    return CleanText{std::move(cleaned.text), lost};
}

std::string ModemNotes::Note(CleanText cleaned) {
    if (cleaned.lostSetup) {
        lostSetup_.store(true);
    }
    return std::move(cleaned.text);
}

ReplyBurst ReadReplyBurst(CSXCom& port, ModemNotes& notes, char* buffer, int capacity,
                          ReplyClock::time_point deadline, ReplyTags expected, bool entryBodies) {
    ReplyBurst burst;
    for (;;) {
        burst.count = port.Read(buffer, capacity - 1);
        if (burst.count <= 0) {
            burst.count = 0;
            burst.text.clear();
            return burst;
        }
        burst.heard = true;
        const std::string_view raw(buffer, static_cast<std::size_t>(burst.count));
        burst.text = notes.Note(CleanReply(raw, expected, entryBodies));
        if (!burst.text.empty() || burst.text.size() == raw.size() || port.Now() >= deadline) {
            return burst;
        }
    }
}

}  // namespace GSM
