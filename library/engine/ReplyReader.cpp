#include "engine/ReplyReader.h"

#include <cstring>

#include "engine/ProcessState.h"

namespace GSM {

namespace {

constexpr int kSilentReads = 5;

}  // namespace

ReplyClock::time_point ReplyDeadline(const CSXCom& port) {
    return port.Now() + std::chrono::milliseconds(kSilentReads * port.Timing().firstByteWaitMs);
}

std::string CleanReply(std::string_view raw, ReplyTags expected, bool entryBodies) {
    CleanedReply cleaned = StripUnsolicited(raw, expected, entryBodies);
    if (cleaned.restarted || ShowsLostSetup(cleaned.text)) {
        setupLost.store(true);
    }
    return std::move(cleaned.text);
}

ReplyBurst ReadReplyBurst(CSXCom& port, char* buffer, int capacity, ReplyClock::time_point deadline,
                          ReplyTags expected, bool entryBodies) {
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
        burst.text = CleanReply(raw, expected, entryBodies);
        if (!burst.text.empty() || burst.text.size() == raw.size() || port.Now() >= deadline) {
            return burst;
        }
    }
}

}  // namespace GSM
