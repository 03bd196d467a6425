// tarvik send: one text, every part's report, and an exit code that says how it went.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string_view>
#include <thread>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "LocalText.h"
#include "Tracker.h"
#include "codec/StatusReport.h"

namespace TarvikCli {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kPollStep = 50ms;

std::string ReadAllInput() {
    std::string text;
    char chunk[4096];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) {
        text.append(chunk, n);
    }
    // The line end that `echo` or an editor puts behind the last line is not text.
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
    }
    return text;
}

// An accepted part and the reference the network gave it, until its delivery is known.
struct AwaitedPart {
    int part = 0;
    int reference = -1;
};

std::string_view Digits(std::string_view number) {
    return number.starts_with('+') ? number.substr(1) : number;
}

// Whether a report's recipient is the number the text went to: the network may give it
// with or without the country code the prefix added.
bool SameRecipient(std::string_view reported, std::string_view sentTo) {
    const std::string_view a = Digits(reported);
    const std::string_view b = Digits(sentTo);
    return !a.empty() && !b.empty() && (a.ends_with(b) || b.ends_with(a));
}

// Prints each part's delivery as its report comes: 0 when every part was delivered, 1
// when one failed for good, 4 when the wait ran out first.
int AwaitDelivery(CSession& session, std::vector<AwaitedPart> parts, const std::string& number,
                  int waitS) {
    const auto until = Clock::now() + std::chrono::seconds(waitS);
    int failed = 0;
    while (!parts.empty() && Clock::now() < until && Interrupts() == 0) {
        session.Fetch();
        while (const auto report = Tarvik::Session::NextStatusReport()) {
            const auto it = std::find_if(parts.begin(), parts.end(), [&](const AwaitedPart& p) {
                return p.reference == report->reference && SameRecipient(report->recipient, number);
            });
            if (it == parts.end()) {
                continue;  // another message's, or a part reported already
            }
            const GSM::DeliveryState state = GSM::DeliveryStateOf(report->status);
            if (state == GSM::DeliveryState::Pending) {
                std::printf("part %d still being tried: status 0x%02X\n", it->part, report->status);
            } else if (state == GSM::DeliveryState::Delivered) {
                std::printf("part %d delivered %s\n", it->part, report->dischargeTime.c_str());
                parts.erase(it);
            } else {
                std::printf("part %d not delivered: status 0x%02X\n", it->part, report->status);
                ++failed;
                parts.erase(it);
            }
            std::fflush(stdout);
        }
        std::this_thread::sleep_for(kPollStep);
    }
    session.Stop();
    if (!parts.empty()) {
        return Complain(kExitGaveUp, std::to_string(parts.size()) +
                                         " part(s) without a delivery report within " +
                                         std::to_string(waitS) + " s");
    }
    return failed > 0 ? kExitRefused : kExitDone;
}

}  // namespace

int RunSend(const Options& options) {
    const std::string& number = options.words.front();
    std::string text;
    if (options.words.size() > 1) {
        for (std::size_t i = 1; i < options.words.size(); ++i) {
            text += (i > 1 ? " " : "") + options.words[i];
        }
    } else {
        if (InputIsTerminal()) {
            std::fputs("tarvik: type the text, then Ctrl-D\n", stderr);
        }
        text = ReadAllInput();
    }
    if (text.empty()) {
        return Complain(kExitUsage, "the text is empty: nothing to send");
    }
    if (text.find('\0') != std::string::npos || !IsLocalText(text)) {
        return Complain(kExitUsage, "the text is not valid " + LocalCodePageName());
    }
    if (const std::string problem = NumberProblem(number, options.prefix); !problem.empty()) {
        return Complain(kExitUsage, problem);
    }

    CSession session(SideSink(options.receivedPath));
    std::string why;
    if (!StartSession(session, options, why)) {
        return Complain(kExitStartFailed, why);
    }
    Tarvik::Session::SendOptions how;
    how.concatenate = !options.separate;
    how.maxParts = static_cast<std::size_t>(options.maxParts);
    how.statusReport = options.report;
    const Tarvik::Session::SendResult sent =
        Tarvik::Session::SendText(text, number, options.prefix, how);
    if (sent.sequence < 1) {
        return Complain(kExitUsage, "not sent: " + sent.refusal);
    }
    if (options.report && !sent.statusReport) {
        std::fputs("tarvik: this modem gives no delivery reports; the text goes without\n", stderr);
    }
    if (sent.parts > 1) {
        std::printf("queued %zu parts, %s\n", sent.parts,
                    sent.concatenated ? "one concatenated message" : "independent messages");
        std::fflush(stdout);
    }
    const int32_t sequence = sent.sequence;
    CTracker tracker;
    tracker.Queued(sequence, text);

    const auto started = Clock::now();
    auto lastProgress = started;
    int refused = 0;
    std::vector<AwaitedPart> awaited;
    bool done = false;
    while (!done) {
        session.Fetch();
        Tarvik::PartOutcome report;
        while (!done && session.NextReport(report)) {
            const PartOutcome outcome = tracker.Report(report.report);
            if (!outcome.known) {
                continue;
            }
            lastProgress = Clock::now();
            if (outcome.accepted) {
                std::printf("part %d accepted\n", outcome.part);
                awaited.push_back({outcome.part, report.messageReference});
            } else {
                ++refused;
                std::printf("part %d refused: %s\n", outcome.part, OneLine(LastError()).c_str());
            }
            std::fflush(stdout);
            done = outcome.complete;
        }
        if (done) {
            break;
        }
        const auto now = Clock::now();
        std::string giveUp;
        if (Interrupts() > 0) {
            giveUp = "interrupted";
        } else if (options.timeoutS > 0 &&
                   now - started >= std::chrono::seconds(options.timeoutS)) {
            giveUp = "no report within --timeout " + std::to_string(options.timeoutS) + " s";
        } else if (options.timeoutS == 0 && now - lastProgress >= kPartLimit) {
            giveUp = "the modem reported nothing for " +
                     std::to_string(std::chrono::seconds(kPartLimit).count()) + " s";
        }
        if (!giveUp.empty()) {
            const TrackedMessage& message = tracker.InFlight().front();
            session.Stop(false);
            return Complain(kExitGaveUp, giveUp + " after " +
                                             std::to_string(message.partsReported) +
                                             " part(s); the parts not reported may not have gone");
        }
        std::this_thread::sleep_for(kPollStep);
    }
    if (!options.report || refused > 0) {
        session.Stop();
        return refused > 0 ? kExitRefused : kExitDone;
    }
    if (!sent.statusReport) {
        session.Stop();
        return Complain(kExitGaveUp, "no delivery report to wait for");
    }
    return AwaitDelivery(session, std::move(awaited), number, options.reportWaitS);
}

}  // namespace TarvikCli
