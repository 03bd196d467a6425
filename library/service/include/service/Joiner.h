// Joins the parts of long messages into one message each: grouped by modem, sender (its
// international, "00" and national forms are one), reference kind, reference and part
// count; never by service centre or time stamp, which differ between the parts of one
// message. No I/O: the caller gives it each part as it comes and asks, now and then, for
// sets that waited too long.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "service/Session.h"

namespace Tarvik {

// One message as a reader sees it: a message of its own, a whole long one, or what arrived
// of a long one whose other parts did not come in time.
struct JoinedMessage {
    // Stable: a set delivered without a part and then completed keeps its key.
    std::string key;
    RecvMsg first{};     // the record of its first part present: number and time
    std::string sender;  // as a phone shows it (SenderOf its first part present)
    std::string text;
    int parts = 1;                      // the count its parts announce
    std::vector<int> missing;           // part numbers that did not come, in order
    std::vector<std::string> partKeys;  // the keys of the parts it holds, in part order

    bool Complete() const { return missing.empty(); }
};

// Whether two senders, as a phone shows them, are one: "+447700900123", "00447700900123"
// and "07700900123" are.
bool SameSender(const std::string& one, const std::string& other);

class CJoiner {
public:
    using Clock = std::chrono::steady_clock;

    // A set missing a part `timeout` after its first part came is delivered as it stands.
    explicit CJoiner(std::chrono::milliseconds timeout) : timeout_(timeout) {}

    // What the part makes ready: itself when it stands alone, its whole set when it was the
    // last part missing, or nothing.
    std::vector<JoinedMessage> Add(const ReceivedPart& part, Clock::time_point now,
                                   const std::string& modem = {});
    // Sets that waited past the time-out, each delivered once as it stands; a part that
    // comes later (within the time-out or a day, whichever is longer) delivers the set
    // again under the same key.
    std::vector<JoinedMessage> Expire(Clock::time_point now);
    // Every set still waiting, as it stands (for a reader that keeps no parts over a stop).
    std::vector<JoinedMessage> Flush();
    // Sets waiting for a part.
    std::size_t Waiting() const;
    // The keys of copies of parts already given out, taken once: a reader that keeps
    // parts until they are acknowledged lets these go too.
    std::vector<std::string> TakeSpent() { return std::exchange(spent_, {}); }
    // The keys of messages given out without a part and given up on since (no late part
    // came within another time-out), taken once.
    std::vector<std::string> TakeForgotten() { return std::exchange(forgotten_, {}); }

private:
    struct Set {
        std::string modem;
        std::string sender;  // as its first part showed it
        ConcatHeader concat;
        std::string key;
        std::vector<ReceivedPart> parts;  // by part number - 1; empty where none came yet
        std::vector<std::string> keys;    // every part key it took, copies included
        Clock::time_point since;          // of its first part, then of its last delivery
        enum class State { Waiting, Delivered, Finished } state = State::Waiting;
    };
    Set* Find(const ReceivedPart& part, const std::string& sender, const std::string& modem);
    Set& Open(const ReceivedPart& part, const std::string& sender, const std::string& modem,
              Clock::time_point now);
    static JoinedMessage Joined(const Set& set);
    static bool Whole(const Set& set);

    std::chrono::milliseconds timeout_;
    std::vector<Set> sets_;
    std::vector<std::string> spent_;
    std::vector<std::string> forgotten_;
};

}  // namespace Tarvik
