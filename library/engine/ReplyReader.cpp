#include "engine/ReplyReader.h"

#include <cstring>
#include <optional>
#include <utility>

#include "codec/Reply.h"
#include "codec/Unsolicited.h"

namespace GSM {

namespace {

constexpr int kSilentReads = 5;
constexpr std::string_view kPromptText = "\r\n> ";

// The last line of `collected` when its line end has arrived, without it.
std::optional<std::string_view> LastWholeLine(std::string_view collected) {
    if (!collected.ends_with("\r\n")) {
        return std::nullopt;
    }
    const std::string_view body = collected.substr(0, collected.size() - 2);
    const std::size_t start = body.find_last_of("\r\n");
    return start == std::string_view::npos ? body : body.substr(start + 1);
}

bool AnswerAtEnd(std::string_view collected) {
    // The prompt is the burst's last four bytes, behind an echo or alone.
    constexpr std::size_t kPromptSize = 4;
    if (collected.size() >= kPromptSize &&
        ClassifyReply(collected.substr(collected.size() - kPromptSize)) == ReplyKind::Prompt) {
        return true;
    }
    // A final result is a whole line: its line end has arrived.
    const std::optional<std::string_view> line = LastWholeLine(collected);
    return line && IsFinalResultLine(*line);
}

}  // namespace

bool EndsWithAnswer(std::string_view collected) {
    if (AnswerAtEnd(collected)) {
        return true;
    }
    // Whole lines the modem sent on its own right behind its answer (a delivery report, a
    // signal change) leave the answer complete: waiting the full silence for them would
    // hold up every command behind a routed report. An indication whose unit is still to
    // come is not whole.
    const std::optional<std::string_view> line = LastWholeLine(collected);
    if (!line || AnnouncesUnit(*line)) {
        return false;
    }
    const CleanedReply cleaned = StripUnsolicited(collected, {});
    return cleaned.removed && AnswerAtEnd(cleaned.text);
}

std::size_t FirstAnswerEnd(std::string_view collected) {
    std::size_t end = collected.find(kPromptText);
    end = end == std::string_view::npos ? end : end + kPromptText.size();
    for (std::size_t start = 0; start < collected.size();) {
        const std::size_t lineEnd = collected.find("\r\n", start);
        if (lineEnd == std::string_view::npos || lineEnd >= end) {
            break;
        }
        if (IsFinalResultLine(collected.substr(start, lineEnd - start))) {
            return lineEnd + 2;
        }
        start = lineEnd + 2;
    }
    return end;
}

bool IsBareResult(std::string_view collected) {
    const std::size_t start = collected.find_first_not_of("\r\n");
    if (start == std::string_view::npos || !collected.ends_with("\r\n")) {
        return false;
    }
    const std::string_view line = collected.substr(start, collected.size() - start - 2);
    return line.find_first_of("\r\n") == std::string_view::npos && IsFinalResultLine(line);
}

void SetQuickReplies(CSXCom& port, bool quick) {
    if (quick) {
        port.SetQuickEnd(&EndsWithAnswer, &FirstAnswerEnd, &IsBareResult);
    } else {
        port.SetQuickEnd(nullptr);
    }
}

ReplyClock::time_point ReplyDeadline(const CSXCom& port) {
    return port.Now() + std::chrono::milliseconds(kSilentReads * port.Timing().firstByteWaitMs);
}

CleanText CleanReply(std::string_view raw, ReplyTags expected, bool entryBodies) {
    CleanedReply cleaned = StripUnsolicited(raw, expected, entryBodies);
    const bool lost = cleaned.restarted || ShowsLostSetup(cleaned.text);
    return CleanText{std::move(cleaned.text), lost, std::move(cleaned.reports)};
}

std::string ModemNotes::Note(CleanText cleaned) {
    if (cleaned.lostSetup) {
        lostSetup_.store(true);
    }
    if (!cleaned.reports.empty()) {
        // Bounded: nobody may be taking them (a report the caller never asked for).
        constexpr std::size_t kMaxKept = 256;
        std::lock_guard hold(reportsLock_);
        for (std::string& line : cleaned.reports) {
            if (reports_.size() < kMaxKept) {
                reports_.push_back(std::move(line));
            }
        }
    }
    return std::move(cleaned.text);
}

std::vector<std::string> ModemNotes::TakeReports() {
    std::lock_guard hold(reportsLock_);
    return std::exchange(reports_, {});
}

ReplyBurst ReadReplyBurst(CSXCom& port, ModemNotes& notes, char* buffer, int capacity,
                          ReplyClock::time_point deadline, ReplyTags expected, bool entryBodies,
                          BurstRule bodiesRule) {
    ReplyBurst burst;
    for (;;) {
        burst.count = port.Read(buffer, capacity - 1, entryBodies ? bodiesRule : BurstRule::Port);
        if (burst.count <= 0) {
            burst.count = 0;
            burst.text.clear();
            return burst;
        }
        burst.heard = true;
        const std::string_view raw(buffer, static_cast<std::size_t>(burst.count));
        burst.text = notes.Note(CleanReply(raw, expected, entryBodies));
        if (!burst.text.empty() || burst.text.size() == raw.size() || port.Now() >= deadline) {
            return burst;
        }
    }
}

}  // namespace GSM
