// Reading replies past the lines a modem sends on its own: they neither count as a reply
// nor use up an attempt, and they cannot push back the end of a wait.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "codec/Unsolicited.h"
#include "serial/CSXCom.h"

namespace GSM {

// Deadlines are measured by the port's clock (CSXCom::Now).
using ReplyClock = serial::LineClock;

// How long a reply is awaited while only the modem's own lines arrive: as long as five
// silent reads take, the longest a quiet modem makes any command wait.
ReplyClock::time_point ReplyDeadline(const CSXCom& port);

// Quick replies: whether the bytes of a burst so far end with a complete final result line
// or with the prompt for a message body. Status lines are never a final result.
bool EndsWithAnswer(std::string_view collected);

// Where the first complete answer (a final result line or the prompt) in the bytes ends, or
// npos when they hold none yet.
std::size_t FirstAnswerEnd(std::string_view collected);

// Quick replies: whether a burst so far is one final result line and nothing else, as an
// empty listing is. Any other line, even a status line, leaves the burst to the silence.
bool IsBareResult(std::string_view collected);

// Sets the port's burst rule for the service: quick replies or the full silence.
void SetQuickReplies(CSXCom& port, bool quick);

struct CleanText {
    std::string text;        // the reply without unsolicited lines
    bool lostSetup = false;  // a restart among them, or a refusal that means the set-up is gone
    std::vector<std::string> reports;  // delivery-report lines among them
};

// The reply without unsolicited lines, and what they and the reply showed of the modem.
CleanText CleanReply(std::string_view raw, ReplyTags expected, bool entryBodies = false);

// What the modem showed of itself beside its replies during the engine's operations. The
// engine only notes it; the worker reads it after an operation and decides whether to set
// the modem up again.
class ModemNotes {
public:
    // Notes what a cleaned reply showed, and gives back its text.
    std::string Note(CleanText cleaned);
    // Whether the modem lost its set-up since the last call.
    bool TakeLostSetup() { return lostSetup_.exchange(false); }
    // The delivery-report lines seen since the last call, oldest first.
    std::vector<std::string> TakeReports();

private:
    std::atomic<bool> lostSetup_{false};
    std::mutex reportsLock_;
    std::vector<std::string> reports_;
};

struct ReplyBurst {
    int count = 0;       // bytes the last read placed in the buffer; 0 for silence
    std::string text;    // that burst without unsolicited lines
    bool heard = false;  // some read brought bytes, if only status lines
};

// Reads one burst into `buffer` from its start (capacity - 1 bytes, so a NUL stays behind
// it), reading again while a burst holds nothing but unsolicited lines, until `deadline`.
// A reply that carries message bodies ends by silence alone, quick or not: a body line may
// read "OK". Only a reader that has seen no entry yet may pass BurstRule::Bare.
ReplyBurst ReadReplyBurst(CSXCom& port, ModemNotes& notes, char* buffer, int capacity,
                          ReplyClock::time_point deadline, ReplyTags expected,
                          bool entryBodies = false, BurstRule bodiesRule = BurstRule::Quiet);

}  // namespace GSM
