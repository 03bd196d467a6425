#include "Rules.h"

#include <algorithm>
#include <climits>
#include <exception>
#include <iterator>

namespace Tarvikd {

int64_t Backoff(int64_t baseMs, int64_t maxMs, int step) {
    int64_t delay = baseMs;
    for (int i = 1; i < step && delay < maxMs; ++i) {
        delay *= 2;
    }
    return std::min(delay, maxMs);
}

Outcome AfterInterruption(const Written& written) {
    if (written.bodyOpen || (written.accepted > 0 && !written.resendable)) {
        return Outcome::Unknown;
    }
    return written.resendable && written.parts > 0 && written.accepted >= written.parts
               ? Outcome::Sent
               : Outcome::Released;
}

Decision CSendRules::AfterParts(int parts, int accepted, int attempt, const std::string& reason,
                                const std::string& modem, int64_t now, bool resendable) const {
    if (accepted >= parts) {
        return {Outcome::Sent, std::to_string(parts) + " part(s) on modem " + modem, 0};
    }
    const std::string why = reason.empty() ? "no reason given" : reason;
    const std::string refused = accepted == 0
                                    ? "the modem refused it: " + why
                                    : std::to_string(parts - accepted) + " of " +
                                          std::to_string(parts) + " parts refused: " + why;
    // None went, or the retry sends only what is missing: due again later, or failed when
    // the attempts are spent.
    if (accepted == 0 || resendable) {
        return {attempt >= attempts_ ? Outcome::Failed : Outcome::Retry, refused,
                attempt >= attempts_ ? 0 : now + Backoff(retryBaseMs_, retryMaxMs_, attempt)};
    }
    return {Outcome::Failed, refused, 0};
}

Decision CSendRules::AfterError(bool queued, bool released, const std::string& error,
                                const Written& written) const {
    if (!queued) {
        return {released ? Outcome::Released : Outcome::Failed, error, 0};
    }
    return {AfterInterruption(written), error, 0};
}

bool CRotation::Failure(int64_t now, bool atStart) {
    if (++inRow_ < failuresOut_) {
        return false;
    }
    inRow_ = 0;
    outUntil_ = now + outMs_;
    outForStarts_ = atStart;
    return true;
}

void CRotation::Ready() {
    inRow_ = 0;
    if (outForStarts_) {
        outUntil_ = INT64_MIN;
        outForStarts_ = false;
    }
}

void COutcomeLedger::Owe(Owed owed, int64_t now) {
    owed_.push_back(std::move(owed));
    Settle(now);
}

bool COutcomeLedger::Settle(int64_t now) {
    while (!owed_.empty()) {
        try {
            record_(owed_.front());
        } catch (const std::exception& e) {
            if (!told_ && refused_) {
                refused_(owed_.front(), e.what());
            }
            told_ = true;
            retryAt_ = now + retryMs_;
            return false;
        }
        owed_.pop_front();
        told_ = false;
    }
    return true;
}

bool SameRecipient(const std::string& reported, const std::string& sentTo) {
    const auto digits = [](const std::string& number) {
        std::string only;
        std::copy_if(number.begin(), number.end(), std::back_inserter(only),
                     [](char c) { return c >= '0' && c <= '9'; });
        return only;
    };
    const std::string a = digits(reported);
    const std::string b = digits(sentTo);
    if (a.empty() || b.empty()) {
        return false;
    }
    const std::string& shorter = a.size() <= b.size() ? a : b;
    const std::string& longer = a.size() <= b.size() ? b : a;
    if (shorter.size() == longer.size()) {
        return shorter == longer;
    }
    return shorter.size() >= 7 && longer.ends_with(shorter);
}

}  // namespace Tarvikd
