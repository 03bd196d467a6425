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

// The text the words after NUMBER give, joined by spaces, or standard input when there are
// none.
std::string TextToSend(const Options& options) {
    if (options.words.size() > 1) {
        std::string text;
        for (std::size_t i = 1; i < options.words.size(); ++i) {
            text += (i > 1 ? " " : "") + options.words[i];
        }
        return text;
    }
    if (InputIsTerminal()) {
        std::fputs("tarvik: type the text, then Ctrl-D\n", stderr);
    }
    return ReadAllInput();
}

// Why the text or the number cannot go, or nothing.
std::string InputProblem(const std::string& text, const std::string& number,
                         const Options& options) {
    if (text.empty()) {
        return "the text is empty: nothing to send";
    }
    if (text.find('\0') != std::string::npos || !IsLocalText(text)) {
        return "the text is not valid " + LocalCodePageName();
    }
    return NumberProblem(number, options.prefix);
}

// Queues the text; once it is queued, says what the modem will not do and how it goes.
Tarvik::Session::SendResult QueueText(const std::string& text, const std::string& number,
                                      const Options& options) {
    Tarvik::Session::SendOptions how;
    how.concatenate = !options.separate;
    how.maxParts = static_cast<std::size_t>(options.maxParts);
    how.statusReport = options.report;
    const Tarvik::Session::SendResult sent =
        Tarvik::Session::SendText(text, number, options.prefix, how);
    if (sent.sequence < 1) {
        return sent;
    }
    if (options.report && !sent.statusReport) {
        std::fputs("tarvik: this modem gives no delivery reports; the text goes without\n", stderr);
    }
    if (sent.parts > 1) {
        std::printf("queued %zu parts, %s\n", sent.parts,
                    sent.concatenated ? "one concatenated message" : "independent messages");
        std::fflush(stdout);
    }
    return sent;
}

// What the parts' reports told so far.
struct PartTally {
    CTracker tracker;
    Clock::time_point lastProgress = Clock::now();
    int refused = 0;
    std::vector<AwaitedPart> accepted;  // with their references, for the delivery reports
};

// Prints the reports that came; true once every part of the text is reported.
bool TakeReports(CSession& session, PartTally& tally) {
    Tarvik::PartOutcome report;
    while (session.NextReport(report)) {
        const PartOutcome outcome = tally.tracker.Report(report.report);
        if (!outcome.known) {
            continue;
        }
        tally.lastProgress = Clock::now();
        if (outcome.accepted) {
            std::printf("part %d accepted\n", outcome.part);
            tally.accepted.push_back({outcome.part, report.messageReference});
        } else {
            ++tally.refused;
            std::printf("part %d refused: %s\n", outcome.part, OneLine(LastError()).c_str());
        }
        std::fflush(stdout);
        if (outcome.complete) {
            return true;
        }
    }
    return false;
}

// Why the wait for the parts' reports ends before they all came, or nothing.
std::string GiveUpReason(const Options& options, Clock::time_point started,
                         const PartTally& tally) {
    const auto now = Clock::now();
    if (Interrupts() > 0) {
        return "interrupted";
    }
    if (options.timeoutS > 0 && now - started >= std::chrono::seconds(options.timeoutS)) {
        return "no report within --timeout " + std::to_string(options.timeoutS) + " s";
    }
    if (options.timeoutS == 0 && now - tally.lastProgress >= kPartLimit) {
        return "the modem reported nothing for " +
               std::to_string(std::chrono::seconds(kPartLimit).count()) + " s";
    }
    return {};
}

// Waits for every part's report: kExitDone when all came, kExitGaveUp, with the session
// stopped, when the wait ended first.
int AwaitReports(CSession& session, const Options& options, PartTally& tally) {
    const auto started = Clock::now();
    while (true) {
        session.Fetch();
        if (TakeReports(session, tally)) {
            return kExitDone;
        }
        if (const std::string giveUp = GiveUpReason(options, started, tally); !giveUp.empty()) {
            const TrackedMessage& message = tally.tracker.InFlight().front();
            session.Stop(false);
            return Complain(kExitGaveUp, giveUp + " after " +
                                             std::to_string(message.partsReported) +
                                             " part(s); the parts not reported may not have gone");
        }
        std::this_thread::sleep_for(kPollStep);
    }
}

}  // namespace

int RunSend(const Options& options) {
    const std::string& number = options.words.front();
    const std::string text = TextToSend(options);
    if (const std::string problem = InputProblem(text, number, options); !problem.empty()) {
        return Complain(kExitUsage, problem);
    }

    CSession session(SideSink(options.receivedPath));
    std::string why;
    if (!StartSession(session, options, why)) {
        return Complain(kExitStartFailed, why);
    }
    const Tarvik::Session::SendResult sent = QueueText(text, number, options);
    if (sent.sequence < 1) {
        return Complain(kExitUsage, "not sent: " + sent.refusal);
    }
    PartTally tally;
    tally.tracker.Queued(sent.sequence, text);
    if (const int code = AwaitReports(session, options, tally); code != kExitDone) {
        return code;
    }
    if (!options.report || tally.refused > 0) {
        session.Stop();
        return tally.refused > 0 ? kExitRefused : kExitDone;
    }
    if (!sent.statusReport) {
        session.Stop();
        return Complain(kExitGaveUp, "no delivery report to wait for");
    }
    return AwaitDelivery(session, std::move(tally.accepted), number, options.reportWaitS);
}

}  // namespace TarvikCli
