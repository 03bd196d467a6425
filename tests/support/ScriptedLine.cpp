#include "support/ScriptedLine.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace TestSupport {

using serial::WaitResult;

void CScriptedLine::On(std::string trigger, LineScript script, int uses, bool first) {
    Rule rule{std::move(trigger), std::move(script), uses};
    if (first) {
        rules_.insert(rules_.begin(), std::move(rule));
    } else {
        rules_.push_back(std::move(rule));
    }
}

void CScriptedLine::ClearRules() {
    rules_.clear();
    input_.clear();
}

void CScriptedLine::Play(std::vector<LineEvent> events) {
    recording_ = std::move(events);
    cursor_ = 0;
    recordedWritten_ = 0;
    writtenTotal_ = 0;
    anchorMs_ = nowMs_;
    FollowRecording();
}

void CScriptedLine::Send(LineScript script) {
    Queue(script);
}

void CScriptedLine::Queue(const LineScript& script) {
    // Like a modem, the script waits for the output in front of it.
    std::int64_t at = std::max(nowMs_, lastDueMs_);
    for (const LineBurst& burst : script) {
        at += std::max(0, burst.pauseMs);
        if (!burst.bytes.empty()) {
            Schedule(burst.bytes, at);
        }
    }
    lastDueMs_ = at;
}

void CScriptedLine::Schedule(const std::string& bytes, std::int64_t dueMs) {
    // In order of time, a recording's bursts and the rules' mixed; the same time keeps
    // the order scheduled.
    const auto later = std::upper_bound(
        pending_.begin(), pending_.end(), dueMs,
        [](std::int64_t due, const Pending& pending) { return due < pending.dueMs; });
    pending_.insert(later, {bytes, dueMs});
}

void CScriptedLine::Arrive() {
    while (!pending_.empty() && pending_.front().dueMs <= nowMs_) {
        arrived_ += pending_.front().bytes;
        pending_.pop_front();
    }
}

void CScriptedLine::MatchRules() {
    for (bool matched = true; matched;) {
        matched = false;
        for (auto rule = rules_.begin(); rule != rules_.end(); ++rule) {
            const std::size_t at = input_.find(rule->trigger);
            if (at == std::string::npos) {
                continue;
            }
            input_.erase(0, at + rule->trigger.size());
            Queue(rule->script);
            if (rule->uses > 0 && --rule->uses == 0) {
                rules_.erase(rule);
            }
            matched = true;
            break;
        }
    }
}

void CScriptedLine::FollowRecording() {
    while (cursor_ < recording_.size()) {
        const LineEvent& event = recording_[cursor_];
        if (event.kind == LineEvent::Kind::Write) {
            if (writtenTotal_ < recordedWritten_ + event.bytes.size()) {
                return;  // the engine has not got that far
            }
            recordedWritten_ += event.bytes.size();
            anchorMs_ = nowMs_;
        } else {
            anchorMs_ += std::max(0, event.pauseMs);
            Schedule(event.bytes, anchorMs_);
            lastDueMs_ = std::max(lastDueMs_, anchorMs_);
        }
        ++cursor_;
    }
}

bool CScriptedLine::Open(const std::string& path) {
    if (open_ || missing_ || path.empty()) {
        return false;
    }
    open_ = true;
    return true;
}

bool CScriptedLine::QueryStatus(bool& lineError, std::size_t& queued) {
    lineError = false;
    queued = 0;
    if (!open_) {
        return false;
    }
    Arrive();
    queued = arrived_.size();
    return true;
}

WaitResult CScriptedLine::WaitReadable(int timeoutMs) {
    if (!open_) {
        return WaitResult::Failed;
    }
    if (woken_.load()) {
        return WaitResult::Woken;
    }
    Arrive();
    if (!arrived_.empty()) {
        return WaitResult::Ready;
    }
    const std::int64_t until = nowMs_ + std::max(0, timeoutMs);
    if (!pending_.empty() && pending_.front().dueMs <= until) {
        nowMs_ = std::max(nowMs_, pending_.front().dueMs);
        Arrive();
        return WaitResult::Ready;
    }
    nowMs_ = until;
    return WaitResult::TimedOut;
}

WaitResult CScriptedLine::WaitWritable(int) {
    if (!open_) {
        return WaitResult::Failed;
    }
    return woken_.load() ? WaitResult::Woken : WaitResult::Ready;
}

long CScriptedLine::ReadSome(void* buffer, std::size_t capacity) {
    if (!open_) {
        return -1;
    }
    Arrive();
    const std::size_t n = std::min(capacity, arrived_.size());
    std::memcpy(buffer, arrived_.data(), n);
    arrived_.erase(0, n);
    return static_cast<long>(n);
}

long CScriptedLine::WriteSome(const void* data, std::size_t length, int) {
    if (!open_) {
        return -1;
    }
    const std::string_view bytes(static_cast<const char*>(data), length);
    written_.append(bytes);
    input_.append(bytes);
    writtenTotal_ += length;
    MatchRules();
    FollowRecording();
    return static_cast<long>(length);
}

bool CScriptedLine::Flush(bool input, bool) {
    if (!open_) {
        return false;
    }
    if (input) {
        Arrive();
        arrived_.clear();
    }
    return true;
}

bool CScriptedLine::Sleep(int timeoutMs) {
    if (woken_.load()) {
        return false;
    }
    nowMs_ += std::max(0, timeoutMs);
    return true;
}

serial::LineClock::time_point CScriptedLine::Now() const {
    // Whole seconds from a round start, so that what counts whole seconds counts the same
    // in every run.
    return serial::LineClock::time_point{} + std::chrono::hours(1) +
           std::chrono::milliseconds(nowMs_);
}

}  // namespace TestSupport
