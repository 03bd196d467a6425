// Which queued message a submission report belongs to, and when a message is done.
//
// A report names its message only by the low 8 bits of the sequence number, and nothing
// tells how many parts a text was cut into. Parts are submitted and reported in the order
// they were queued, so the messages in flight always have consecutive sequence numbers;
// with fewer than 256 in flight no two share a tag. A part's report carries the part's
// text, and the parts of a text are the text itself in order, so a message is done when
// its reports' texts add up to the whole text.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "Tarvik.h"

namespace TarvikCli {

inline constexpr std::size_t kMostInFlight = 255;
// The longest one part may take to be reported: the network's 120 s to confirm, the
// prompt, and a listing of a full, slow SIM that the worker may have under way before it.
inline constexpr std::chrono::seconds kPartLimit{300};

struct TrackedMessage {
    int32_t sequence = 0;
    std::string text;
    std::string id;  // the caller's id of the request, as JSON; empty when none
    int partsReported = 0;
    int partsAccepted = 0;
    std::size_t textReported = 0;
    bool concatenated = false;  // its parts carry one concatenation reference
    int partsQueued = 0;        // when known, done after this many reports; else by text
};

struct PartOutcome {
    TrackedMessage message;  // as it stands after this part
    int part = 0;            // 1 for the first part
    bool accepted = false;
    bool complete = false;  // this was the message's last part
    bool known = true;      // false: no message in flight has the report's tag
};

class CTracker {
public:
    bool Full() const { return inFlight_.size() >= kMostInFlight; }
    bool Empty() const { return inFlight_.empty(); }
    std::size_t Count() const { return inFlight_.size(); }

    void Queued(int32_t sequence, std::string text, std::string id = {}, bool concatenated = false,
                int partsQueued = 0);
    PartOutcome Report(const SendReport& report);

    // The messages not yet done, oldest first.
    const std::deque<TrackedMessage>& InFlight() const { return inFlight_; }

private:
    std::deque<TrackedMessage> inFlight_;
};

// The tag a report carries for `sequence`.
int32_t TagOf(int32_t sequence);

}  // namespace TarvikCli
