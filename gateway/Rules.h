// The daemon's rules with nothing under them: no process, socket or database. Every decision
// takes the time it is made at (milliseconds on the steady clock, or the stored clock where
// a time is kept), so that tests drive them on a clock of their own.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "Store.h"

namespace Tarvikd {

// base, 2 base, 4 base, ... for step 1, 2, 3, ..., never above `maxMs`.
int64_t Backoff(int64_t baseMs, int64_t maxMs, int step);

// What the end of one attempt at a message becomes in the store.
struct Decision {
    Outcome outcome = Outcome::Unknown;
    std::string detail;
    int64_t nextAt = 0;  // Retry: when it is due again
};

// What an attempt cut off before its outcome had written. By default the worst: a body may
// have gone.
struct Written {
    bool bodyOpen = true;     // a part's body may have gone to the modem without its outcome
    int accepted = 0;         // parts the network accepted, in this attempt or before
    bool resendable = false;  // a retry can send the missing parts alone (concatenated)
    int parts = 0;            // resendable: the message's count of parts
};

// A send cut off (its child ended, the daemon stopped): a body that may have gone makes it
// unknown, and so do parts accepted that a retry would repeat (whether the rest went is not
// known); a resendable message whose parts were all accepted is sent; else it goes back to
// the queue, its accepted parts kept, and the next attempt completes it.
Outcome AfterInterruption(const Written& written);

class CSendRules {
public:
    CSendRules(int attempts, int64_t retryBaseMs, int64_t retryMaxMs)
        : attempts_(attempts), retryBaseMs_(retryBaseMs), retryMaxMs_(retryMaxMs) {}

    // Every part reported: all accepted is sent; none accepted is tried again until the
    // attempts run out; some accepted fails for good, as a retry would repeat the parts
    // that went, unless the retry sends the missing parts alone (`resendable`). `attempt`
    // counts this one; `reason` is the last refused part's.
    Decision AfterParts(int parts, int accepted, int attempt, const std::string& reason,
                        const std::string& modem, int64_t now, bool resendable = false) const;
    // The child gave up on the message. Before the library queued it nothing went
    // (`released`: it goes back without counting); once queued it is as `written` says.
    Decision AfterError(bool queued, bool released, const std::string& error,
                        const Written& written = {}) const;

private:
    int attempts_;
    int64_t retryBaseMs_;
    int64_t retryMaxMs_;
};

// A modem's place in the rotation. Failures in a row take it out for a while; a failure to
// start ends as soon as a start succeeds, since the modem is then usable again, while a
// modem that refuses messages stays out its full time.
class CRotation {
public:
    CRotation(int failuresOut, int64_t outMs) : failuresOut_(failuresOut), outMs_(outMs) {}

    // True when this failure took the modem out.
    bool Failure(int64_t now, bool atStart);
    // A message went: the count starts again.
    void Success() { inRow_ = 0; }
    // The modem is ready again.
    void Ready();
    bool In(int64_t now) const { return now >= outUntil_; }
    int64_t Until() const { return outUntil_; }

private:
    int failuresOut_;
    int64_t outMs_;
    int inRow_ = 0;
    int64_t outUntil_ = INT64_MIN;
    bool outForStarts_ = false;
};

// Outcomes the store could not take yet. Each is offered again until it is recorded, in the
// order they happened, before the modem takes more work: what happened is never lost or
// redone.
struct Owed {
    Owed(int64_t id_, Outcome outcome_, std::string detail_, int parts_, int accepted_,
         int64_t nextAt_, int64_t at_, std::vector<PartRecord> unrecorded_ = {})
        : id(id_),
          outcome(outcome_),
          detail(std::move(detail_)),
          parts(parts_),
          accepted(accepted_),
          nextAt(nextAt_),
          at(at_),
          unrecorded(std::move(unrecorded_)) {}
    int64_t id = 0;
    Outcome outcome = Outcome::Unknown;
    std::string detail;
    int parts = 0;
    int accepted = 0;
    int64_t nextAt = 0;
    int64_t at = 0;  // stored clock
    // Part records the store refused when they came, stored before the outcome; each leaves
    // as it is stored.
    std::vector<PartRecord> unrecorded;
};

class COutcomeLedger {
public:
    using Record = std::function<void(Owed&)>;  // throws when the store refuses
    using Refused = std::function<void(const Owed&, const std::string& why)>;
    // `refused` hears of each outcome's first refusal, not of every retry.
    COutcomeLedger(int64_t retryMs, Record record, Refused refused = {})
        : retryMs_(retryMs), record_(std::move(record)), refused_(std::move(refused)) {}

    // Records `owed` at once, or keeps it behind what is kept already.
    void Owe(Owed owed, int64_t now);
    // Offers what is kept; true when nothing is owed any more.
    bool Settle(int64_t now);
    bool Empty() const { return owed_.empty(); }
    bool Due(int64_t now) const { return !owed_.empty() && now >= retryAt_; }
    int64_t DueAt() const { return retryAt_; }
    const std::deque<Owed>& Kept() const { return owed_; }

private:
    int64_t retryMs_;
    Record record_;
    Refused refused_;
    std::deque<Owed> owed_;
    int64_t retryAt_ = 0;
    bool told_ = false;  // the front's refusal was passed on already
};

// Whether a report's recipient is the number a part went to, by digits alone: equal, or one
// a suffix of the other with at least 7 digits (a network may drop or add the country code).
bool SameRecipient(const std::string& reported, const std::string& sentTo);

}  // namespace Tarvikd
