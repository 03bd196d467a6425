#include "Tracker.h"

#include <algorithm>
#include <cstring>

namespace TarvikCli {

int32_t TagOf(int32_t sequence) {
    return static_cast<int8_t>(static_cast<uint8_t>(sequence & 0xFF));
}

void CTracker::Queued(int32_t sequence, std::string text, std::string id, bool concatenated,
                      int partsQueued) {
    TrackedMessage message;
    message.partsQueued = partsQueued;
    message.concatenated = concatenated;
    message.sequence = sequence;
    message.text = std::move(text);
    message.id = std::move(id);
    inFlight_.push_back(std::move(message));
}

PartOutcome CTracker::Report(const SendReport& report) {
    PartOutcome outcome;
    outcome.accepted = report.result == 1;
    const auto it = std::find_if(inFlight_.begin(), inFlight_.end(), [&](const auto& m) {
        return TagOf(m.sequence) == report.sequence;
    });
    if (it == inFlight_.end()) {
        outcome.known = false;
        outcome.message.sequence = report.sequence;
        return outcome;
    }
    TrackedMessage& message = *it;
    ++message.partsReported;
    message.partsAccepted += outcome.accepted ? 1 : 0;
    message.textReported += strnlen(report.text, sizeof report.text);
    outcome.part = message.partsReported;
    // Some parts of a split only, for a retry: their texts never add up to the whole.
    outcome.complete = message.partsQueued > 0 ? message.partsReported >= message.partsQueued
                                               : message.textReported >= message.text.size();
    outcome.message = message;
    if (outcome.complete) {
        inFlight_.erase(it);
    }
    return outcome;
}

}  // namespace TarvikCli
