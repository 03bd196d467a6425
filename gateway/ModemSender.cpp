#include "ModemSender.h"

#include <algorithm>

#include "Log.h"

namespace Tarvikd {

namespace {

// How often an outcome the store refused is offered again.
constexpr int64_t kOwedRetryMs = 1000;

}  // namespace

CModemSender::CModemSender(const Config& config, const ModemConfig& modem, IStore& store, Host host)
    : modem_(modem),
      store_(store),
      host_(std::move(host)),
      rules_(config.sendAttempts, config.retryBaseMs, config.retryMaxMs),
      ledger_(
          kOwedRetryMs,
          [this](Owed& owed) {
              while (!owed.unrecorded.empty()) {
                  store_.RecordPart(owed.id, owed.unrecorded.front(), owed.at);
                  owed.unrecorded.erase(owed.unrecorded.begin());
              }
              store_.Finish(owed.id, owed.outcome, owed.detail, owed.parts, owed.accepted,
                            owed.nextAt, owed.at);
          },
          [this](const Owed& owed, const std::string& why) {
              Log(Level::Error, "modem " + modem_.name + ": store: " + why + "; message " +
                                    std::to_string(owed.id) + "'s outcome kept until it is back");
          }) {}

bool CModemSender::SendNext(CModemLink& link) {
    const int64_t now = NowMs();
    retryAt_.reset();
    std::optional<Claimed> claimed;
    if (!StoreCall([&] { claimed = store_.Claim(modem_.name, host_.rerouted(), now); }) ||
        !claimed) {
        return true;
    }
    if (!StoreCall([&] { store_.MarkSubmitted(claimed->id, now); })) {
        // Not handed over unrecorded: it goes back, once the store takes that.
        Owe({claimed->id, Outcome::Released, "the store was away at the hand-over", 0, 0, 0,
             NowMs()});
        return true;
    }
    inFlight_ = Flight{};
    inFlight_.id = claimed->id;
    inFlight_.attempts = claimed->attempts;
    inFlight_.lastEvent = Clock::now();
    inFlight_.concatReference = claimed->concatReference;
    inFlight_.parts = claimed->parts;
    inFlight_.accepted = static_cast<int>(claimed->acceptedParts.size());
    if (!link.Write(RequestFor(*claimed))) {
        // Never read: it goes back to the queue as it was.
        Owe({claimed->id, Outcome::Released, "the modem's child had gone", 0, 0, 0, NowMs()});
        inFlight_ = Flight{};
        return false;
    }
    return true;
}

TarvikLink::Request CModemSender::RequestFor(const Claimed& claimed) const {
    TarvikLink::Request request;
    request.op = TarvikLink::Op::Send;
    request.id = "m" + std::to_string(claimed.id);
    request.number = claimed.number;
    request.text = claimed.text;
    request.prefixGiven = modem_.prefix.has_value();
    request.prefix = modem_.prefix;
    request.confirmWrites = true;
    request.statusReport = claimed.statusReport;
    if (claimed.concatReference && !claimed.acceptedParts.empty()) {
        request.reference = claimed.concatReference;
        for (int part = 1; part <= claimed.parts; ++part) {
            if (std::find(claimed.acceptedParts.begin(), claimed.acceptedParts.end(), part) ==
                claimed.acceptedParts.end()) {
                request.onlyParts.push_back(part);
            }
        }
    }
    return request;
}

bool CModemSender::LetWrite(const TarvikLink::Event& event, CModemLink& link, int64_t now) {
    if (!StoreCall([&] {
            store_.RecordPart(inFlight_.id, {event.part, PartState::Writing, -1, {}}, now);
        })) {
        // Unrecorded, the body never goes: serve ends the part unwritten when it stops.
        return false;
    }
    inFlight_.open.push_back(event.part);
    TarvikLink::Request write;
    write.op = TarvikLink::Op::Write;
    write.id = event.id;
    write.part = event.part;
    return link.Write(write);
}

bool CModemSender::Withheld() const {
    // Only what the daemon itself held back is missing, and a new attempt repeats no part
    // the network took: the message goes back to the queue, the attempt not counted.
    return inFlight_.withheld > 0 && inFlight_.accepted + inFlight_.withheld >= inFlight_.parts &&
           (inFlight_.accepted == 0 || inFlight_.concatReference.has_value());
}

void CModemSender::OnReport(const TarvikLink::Event& event, int64_t now) {
    std::erase(inFlight_.open, event.part);
    inFlight_.accepted += event.accepted ? 1 : 0;
    if (!event.accepted && event.code == TarvikLink::Code::NotWritten) {
        ++inFlight_.withheld;
    } else if (!event.accepted) {
        inFlight_.refusal = event.error.empty() ? "no reason given" : event.error;
    }
    PartRecord record;
    record.part = event.part;
    record.state = event.accepted ? PartState::Accepted : PartState::Refused;
    record.reference = event.reference.value_or(-1);
    record.error = event.error;
    try {
        store_.RecordPart(inFlight_.id, record, now);
    } catch (const std::exception& e) {
        // Kept for the outcome: a part's reference lost would leave its delivery report
        // unmatched.
        Log(Level::Error, "modem " + modem_.name + ": store: " + e.what());
        inFlight_.unrecorded.push_back(record);
    }
}

void CModemSender::OnQueued(const TarvikLink::Event& event, int64_t now) {
    inFlight_.queued = true;
    // The first attempt: what the message looks like, and a concatenated one's reference,
    // kept for a retry of its missing parts.
    if (!inFlight_.concatReference) {
        StoreCall([&] {
            store_.RecordQueued(inFlight_.id, event.parts, event.concatenated, event.statusReport,
                                now);
        });
    }
    if (event.concatReference && !inFlight_.concatReference) {
        inFlight_.concatReference = event.concatReference;
        inFlight_.parts = event.parts;
        StoreCall(
            [&] { store_.RecordConcat(inFlight_.id, *event.concatReference, event.parts, now); });
    }
}

bool CModemSender::OnEvent(const TarvikLink::Event& event, CModemLink& link) {
    if (inFlight_.id == 0 || !event.id.is_string() ||
        event.id.get<std::string>() != "m" + std::to_string(inFlight_.id)) {
        return false;
    }
    inFlight_.lastEvent = Clock::now();
    const int64_t now = NowMs();
    switch (event.kind) {
        case TarvikLink::EventKind::Queued:
            OnQueued(event, now);
            break;
        case TarvikLink::EventKind::Writing:
            LetWrite(event, link, now);
            break;
        case TarvikLink::EventKind::Report:
            inFlight_.parts = std::max(inFlight_.parts, event.part);
            OnReport(event, now);
            break;
        case TarvikLink::EventKind::Sent: {
            // A retry's counts are of the parts it sent; the message's are of all of them.
            inFlight_.parts = std::max(inFlight_.parts, event.parts);
            if (Withheld()) {
                Finished({Outcome::Released,
                          "not written: the store could not record its parts' writes", 0},
                         now);
                break;
            }
            const Decision decision = rules_.AfterParts(
                inFlight_.parts, inFlight_.accepted, inFlight_.attempts, inFlight_.refusal,
                modem_.name, now, inFlight_.concatReference.has_value());
            if (decision.outcome != Outcome::Sent) {
                host_.failure(inFlight_.accepted == 0 ? "refused a message"
                                                      : "refused part of a message");
            }
            Finished(decision, now);
            break;
        }
        case TarvikLink::EventKind::Error:
            // Decided on the code and on what was let go: once queued, only a body let go
            // without its report may have gone.
            Finished(rules_.AfterError(inFlight_.queued, event.code == TarvikLink::Code::NotQueued,
                                       event.error, WrittenSoFar()),
                     now);
            break;
        default:
            break;
    }
    return true;
}

void CModemSender::Finished(const Decision& decision, int64_t now) {
    if (decision.outcome == Outcome::Retry) {
        retryAt_ = Clock::now() + std::chrono::milliseconds(decision.nextAt - now);
    }
    Owe({inFlight_.id, decision.outcome, decision.detail, inFlight_.parts, inFlight_.accepted,
         decision.nextAt, now, std::move(inFlight_.unrecorded)});
    host_.finished(decision.outcome);
    inFlight_ = Flight{};
}

void CModemSender::ChildEnded(const std::string& exit) {
    if (inFlight_.id == 0) {
        return;
    }
    // Every body waits for its `write`: only a part let go without its report may have gone
    // out, and a message none of whose parts is such goes back to the queue.
    Owe({inFlight_.id, AfterInterruption(WrittenSoFar()),
         "the modem's child ended (" + exit + ") while it had the message", inFlight_.parts,
         inFlight_.accepted, 0, NowMs(), std::move(inFlight_.unrecorded)});
    inFlight_ = Flight{};
    host_.wake();
}

void CModemSender::SettleIfDue(Clock::time_point now) {
    if (ledger_.Due(SteadyMs(now))) {
        ledger_.Settle(SteadyMs(now));
    }
}

std::optional<CModemSender::Clock::time_point> CModemSender::Due() const {
    if (!ledger_.Empty()) {
        return Clock::time_point(std::chrono::milliseconds(ledger_.DueAt()));
    }
    if (inFlight_.id != 0) {
        return inFlight_.lastEvent + kSilentLimit;
    }
    return retryAt_;
}

}  // namespace Tarvikd
