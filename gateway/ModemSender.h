// The sending half of one modem: claims the next message, hands it to the modem's child,
// records its parts, and settles each attempt's outcome with the store before the next
// claim, keeping an outcome the store refused until it takes it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "Config.h"
#include "ModemLink.h"
#include "Rules.h"
#include "Store.h"

namespace Tarvikd {

// Milliseconds on the steady clock, the rules' time.
inline int64_t SteadyMs(std::chrono::steady_clock::time_point at) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
}

class CModemSender {
public:
    using Clock = std::chrono::steady_clock;
    // What the sender tells the modem's supervisor.
    struct Host {
        std::function<std::vector<std::string>()> rerouted;  // modems whose work it may take
        std::function<void(const std::string&)> failure;     // counts toward the rotation
        std::function<void(Outcome)> finished;               // for the counts and the rotation
        std::function<void()> wake;                          // a message went back to the queue
    };

    CModemSender(const Config& config, const ModemConfig& modem, IStore& store, Host host);

    bool Busy() const { return inFlight_.id != 0; }
    bool Owes() const { return !ledger_.Empty(); }

    // Claims the next message and hands it to the child; false when the child no longer
    // takes requests.
    bool SendNext(CModemLink& link);
    // An event about the message in flight, answered on `link` where it asks; false when it
    // is about something else.
    bool OnEvent(const TarvikLink::Event& event, CModemLink& link);
    // The child ended while it had the message: a body it was let write may have gone out.
    void ChildEnded(const std::string& exit);

    // True when nothing is owed any more; IfDue: only when its retry has come.
    bool Settle() { return ledger_.Settle(SteadyMs(Clock::now())); }
    void SettleIfDue(Clock::time_point now);
    // The earliest time the sender has something to do by the clock alone.
    std::optional<Clock::time_point> Due() const;
    // A message of this modem's comes due for another attempt.
    bool RetryDue(Clock::time_point now) const { return retryAt_ && now >= *retryAt_; }
    // A child that has the message and says nothing for this long is taken for hung.
    bool Silent(Clock::time_point now) const {
        return inFlight_.id != 0 && now - inFlight_.lastEvent > kSilentLimit;
    }
    static constexpr std::chrono::seconds kSilentLimit{600};

    int64_t OwedId() const { return ledger_.Empty() ? 0 : ledger_.Kept().front().id; }

private:
    struct Flight {
        int64_t id = 0;
        int attempts = 0;
        bool queued = false;
        int parts = 0;
        int accepted = 0;     // with the parts an earlier attempt got accepted
        std::string refusal;  // the last refused part's reason
        Clock::time_point lastEvent;
        // A concatenated message: its retry sends the missing parts alone.
        std::optional<int> concatReference;
        // Parts whose body was let go and whose report has not come: they may have gone.
        std::vector<int> open;
        // Parts left unwritten because their record could not be stored: never the modem's
        // doing.
        int withheld = 0;
        std::vector<PartRecord> unrecorded;  // reports the store refused, kept for the outcome
    };

    void OnQueued(const TarvikLink::Event& event, int64_t now);
    void Finished(const Decision& decision, int64_t now);
    bool Withheld() const;
    // The request for a claimed message: every body confirmed, and for a concatenated
    // message an earlier attempt began, only the parts not yet accepted.
    TarvikLink::Request RequestFor(const Claimed& claimed) const;
    void OnReport(const TarvikLink::Event& event, int64_t now);
    // Records that the part's body is about to go, then lets it; false when the store did
    // not take the record (the body then never goes).
    bool LetWrite(const TarvikLink::Event& event, CModemLink& link, int64_t now);
    Written WrittenSoFar() const {
        return {!inFlight_.open.empty(), inFlight_.accepted, inFlight_.concatReference.has_value(),
                inFlight_.parts};
    }
    void Owe(Owed owed) { ledger_.Owe(std::move(owed), SteadyMs(Clock::now())); }

    const ModemConfig& modem_;
    IStore& store_;
    Host host_;
    CSendRules rules_;
    Flight inFlight_;
    COutcomeLedger ledger_;
    std::optional<Clock::time_point> retryAt_;
};

}  // namespace Tarvikd
