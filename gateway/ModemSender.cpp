#include "ModemSender.h"

#include <algorithm>

#include "Log.h"

namespace Tarvikd {

namespace {

// How often an outcome the store refused is offered again.
constexpr auto kOwedRetry = std::chrono::seconds(1);

}  // namespace

CModemSender::CModemSender(const Config& config, const ModemConfig& modem, IStore& store, Host host)
    : config_(config), modem_(modem), store_(store), host_(std::move(host)) {}

bool CModemSender::SendNext(CModemLink& link) {
    const int64_t now = NowMs();
    retryAt_.reset();
    std::optional<Claimed> claimed;
    try {
        claimed = store_.Claim(modem_.name, host_.rerouted(), now);
    } catch (const std::exception& e) {
        Log(Level::Error, std::string("store: ") + e.what());
        return true;
    }
    if (!claimed) {
        return true;
    }
    try {
        store_.MarkSubmitted(claimed->id, now);
    } catch (const std::exception& e) {
        // Not handed over unrecorded: it goes back, once the store takes that.
        Log(Level::Error, std::string("store: ") + e.what());
        Owe({claimed->id, Outcome::Released, "the store was away at the hand-over", 0, 0, 0,
             NowMs()});
        return true;
    }
    return HandOver(link, *claimed);
}

bool CModemSender::HandOver(CModemLink& link, const Claimed& claimed) {
    inFlight_ = Flight{claimed.id, claimed.attempts, false, 0, 0, {}, Clock::now()};
    TarvikLink::Request request;
    request.op = TarvikLink::Op::Send;
    request.id = "m" + std::to_string(claimed.id);
    request.number = claimed.number;
    request.text = claimed.text;
    if (modem_.prefix) {
        request.prefixGiven = true;
        request.prefix = *modem_.prefix;
    }
    if (!link.Write(request)) {
        // Never read: it goes back to the queue as it was.
        Owe({claimed.id, Outcome::Released, "the modem's child had gone", 0, 0, 0, NowMs()});
        inFlight_ = Flight{};
        return false;
    }
    return true;
}

bool CModemSender::OnEvent(const TarvikLink::Event& event) {
    if (inFlight_.id == 0 || !event.id.is_string() ||
        event.id.get<std::string>() != "m" + std::to_string(inFlight_.id)) {
        return false;
    }
    inFlight_.lastEvent = Clock::now();
    try {
        switch (event.kind) {
            case TarvikLink::EventKind::Queued:
                inFlight_.queued = true;
                break;
            case TarvikLink::EventKind::Report:
                Report(event);
                break;
            case TarvikLink::EventKind::Sent:
                Sent(event);
                break;
            case TarvikLink::EventKind::Error:
                Error(event);
                break;
            default:
                break;
        }
    } catch (const std::exception& e) {
        // The store refused a part's record: the outcome still settles the attempt.
        Log(Level::Error, "modem " + modem_.name + ": store: " + e.what());
    }
    return true;
}

void CModemSender::Report(const TarvikLink::Event& event) {
    inFlight_.parts = std::max(inFlight_.parts, event.part);
    inFlight_.accepted += event.accepted ? 1 : 0;
    if (!event.accepted) {
        inFlight_.refusal = event.error.empty() ? "no reason given" : event.error;
    }
    store_.RecordPart(inFlight_.id, event.part, event.accepted, event.error, NowMs());
}

void CModemSender::Sent(const TarvikLink::Event& event) {
    inFlight_.parts = event.parts;
    inFlight_.accepted = event.acceptedParts;
    const std::string refusal = inFlight_.refusal.empty() ? "no reason given" : inFlight_.refusal;
    if (inFlight_.accepted == inFlight_.parts) {
        host_.success();
        Finished(Outcome::Sent,
                 std::to_string(inFlight_.parts) + " part(s) on modem " + modem_.name);
    } else if (inFlight_.accepted == 0) {
        host_.failure("refused a message");
        Finished(Outcome::Retry, "the modem refused it: " + refusal);
    } else {
        // Sending it again would repeat the parts that went.
        host_.failure("refused part of a message");
        Finished(Outcome::Failed, std::to_string(inFlight_.parts - inFlight_.accepted) + " of " +
                                      std::to_string(inFlight_.parts) +
                                      " parts refused: " + refusal);
    }
}

void CModemSender::Error(const TarvikLink::Event& event) {
    // Decided on the code alone: once queued, the library's worker may have sent it.
    if (inFlight_.queued) {
        Finished(Outcome::Unknown, event.error);
    } else if (event.code == TarvikLink::Code::NotQueued) {
        Finished(Outcome::Released, event.error);
    } else {
        Finished(Outcome::Failed, event.error);
    }
}

void CModemSender::Finished(Outcome outcome, const std::string& detail) {
    const int64_t now = NowMs();
    int64_t nextAt = 0;
    if (outcome == Outcome::Retry) {
        if (inFlight_.attempts >= config_.sendAttempts) {
            outcome = Outcome::Failed;
        } else {
            int64_t delay = config_.retryBaseMs;
            for (int i = 1; i < inFlight_.attempts && delay < config_.retryMaxMs; ++i) {
                delay *= 2;
            }
            delay = std::min<int64_t>(delay, config_.retryMaxMs);
            nextAt = now + delay;
            retryAt_ = Clock::now() + std::chrono::milliseconds(delay);
        }
    }
    Owe({inFlight_.id, outcome, detail, inFlight_.parts, inFlight_.accepted, nextAt, now});
    host_.finished(outcome);
    inFlight_ = Flight{};
}

void CModemSender::ChildEnded(const std::string& exit) {
    if (inFlight_.id == 0) {
        return;
    }
    // Once the child may have read the request, it may have gone out: even before its
    // "queued" the library's worker may have taken it. Never sent again by itself.
    Owe({inFlight_.id, Outcome::Unknown,
         "the modem's child ended (" + exit + ") while it had the message", inFlight_.parts,
         inFlight_.accepted, 0, NowMs()});
    inFlight_ = Flight{};
    host_.wake();
}

void CModemSender::Owe(Owed owed) {
    owed_ = std::move(owed);
    owedLogged_ = false;
    Settle();
}

bool CModemSender::Settle() {
    if (!owed_) {
        return true;
    }
    try {
        store_.Finish(owed_->id, owed_->outcome, owed_->detail, owed_->parts, owed_->accepted,
                      owed_->nextAt, owed_->at);
        owed_.reset();
        return true;
    } catch (const std::exception& e) {
        if (!owedLogged_) {
            owedLogged_ = true;
            Log(Level::Error, "modem " + modem_.name + ": store: " + e.what() + "; message " +
                                  std::to_string(owed_->id) + "'s outcome kept until it is back");
        }
        owedRetryAt_ = Clock::now() + kOwedRetry;
        return false;
    }
}

void CModemSender::SettleIfDue(Clock::time_point now) {
    if (owed_ && now >= owedRetryAt_) {
        Settle();
    }
}

std::optional<CModemSender::Clock::time_point> CModemSender::Due() const {
    if (owed_) {
        return owedRetryAt_;
    }
    if (inFlight_.id != 0) {
        return inFlight_.lastEvent + kSilentLimit;
    }
    return retryAt_;
}

bool CModemSender::Silent(Clock::time_point now) const {
    return inFlight_.id != 0 && now - inFlight_.lastEvent > kSilentLimit;
}

}  // namespace Tarvikd
