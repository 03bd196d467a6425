#include "PtyPort.h"

#include <algorithm>
#include <utility>

namespace ModemSim {

void CPtyPort::SetHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void CPtyPort::Reply(const Script& script) {
    {
        std::lock_guard lock(mutex_);
        for (const Burst& burst : script) {
            output_.push_back(Pending{burst.bytes, burst.pauseMs, 0, std::nullopt});
        }
    }
    WakeThread();
}

void CPtyPort::Interject(std::string bytes) {
    {
        std::lock_guard lock(mutex_);
        auto at = output_.begin();
        if (at != output_.end() && at->written > 0) {
            ++at;  // a burst under way goes out whole
        }
        // A burst waiting out its pause keeps its due time.
        output_.insert(at, Pending{std::move(bytes), 0, 0, std::nullopt});
    }
    WakeThread();
}

void CPtyPort::Later(std::chrono::milliseconds delay, std::function<std::string()> make) {
    {
        std::lock_guard lock(mutex_);
        later_.emplace(Clock::now() + delay, std::move(make));
    }
    WakeThread();
}

void CPtyPort::RunDueLater() {
    for (;;) {
        std::function<std::string()> make;
        {
            std::lock_guard lock(mutex_);
            if (later_.empty() || later_.begin()->first > Clock::now()) {
                return;
            }
            make = std::move(later_.begin()->second);
            later_.erase(later_.begin());
        }
        // Outside the lock: `make` may take the modem's, which holds it while replying.
        std::string bytes = make();
        if (!bytes.empty()) {
            Interject(std::move(bytes));
        }
    }
}

bool CPtyPort::WaitOutputDone(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return output_.empty(); });
}

std::string CPtyPort::Received() const {
    std::lock_guard lock(mutex_);
    std::string bytes;
    bytes.reserve(received_.size());
    for (const auto& r : received_) {
        bytes.push_back(static_cast<char>(r.value));
    }
    return bytes;
}

std::vector<ReceivedByte> CPtyPort::ReceivedLog() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void CPtyPort::ClearReceived() {
    std::lock_guard lock(mutex_);
    received_.clear();
}

bool CPtyPort::WaitForReceived(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
}

void CPtyPort::StopThread() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    WakeThread();
    if (thread_.joinable()) {
        thread_.join();
    }
}

CPtyPort::Step CPtyPort::NextStep() {
    RunDueLater();
    std::lock_guard lock(mutex_);
    Step step;
    if (stopping_) {
        step.stop = true;
        return step;
    }
    step.reading = !paused_;
    if (!output_.empty()) {
        Pending& head = output_.front();
        if (!head.due) {
            head.due = Clock::now() + std::chrono::milliseconds(head.pauseMs);
        }
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(*head.due - Clock::now());
        if (wait.count() <= 0) {
            step.writing = true;
        } else {
            step.timeoutMs = static_cast<int>(wait.count());
        }
    }
    if (!later_.empty()) {
        const auto wait =
            std::chrono::ceil<std::chrono::milliseconds>(later_.begin()->first - Clock::now());
        const int laterMs = static_cast<int>(std::max<int64_t>(wait.count(), 0));
        step.timeoutMs = step.timeoutMs < 0 ? laterMs : std::min(step.timeoutMs, laterMs);
    }
    return step;
}

void CPtyPort::Deliver(const char* bytes, std::size_t count) {
    const auto now = Clock::now();
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < count; ++i) {
            received_.push_back({now, static_cast<unsigned char>(bytes[i])});
        }
        handler = handler_;
    }
    changed_.notify_all();
    if (handler) {
        handler(*this, std::string_view(bytes, count));
    }
}

void CPtyPort::WriteDueOutput() {
    std::unique_lock lock(mutex_);
    if (output_.empty()) {
        return;
    }
    Pending& head = output_.front();
    std::size_t left = head.bytes.size() - head.written;
    long n = left == 0 ? 0 : WriteSome(head.bytes.data() + head.written, left);
    if (n > 0) {
        head.written += static_cast<std::size_t>(n);
    }
    if (head.written == head.bytes.size()) {
        output_.pop_front();
        lock.unlock();
        changed_.notify_all();
    }
}

void CReplyScript::On(std::string trigger, Script script, int uses) {
    std::lock_guard lock(state_->mutex);
    state_->rules.push_back(Rule{std::move(trigger), std::move(script), uses});
}

CPtyPort::Handler CReplyScript::Handler() {
    return [state = state_](CPtyPort& port, std::string_view chunk) {
        std::lock_guard lock(state->mutex);
        state->input.append(chunk);
        for (bool matched = true; matched;) {
            matched = false;
            for (auto rule = state->rules.begin(); rule != state->rules.end(); ++rule) {
                std::size_t at = state->input.find(rule->trigger);
                if (at == std::string::npos) {
                    continue;
                }
                state->input.erase(0, at + rule->trigger.size());
                port.Reply(rule->script);
                if (rule->uses > 0 && --rule->uses == 0) {
                    state->rules.erase(rule);
                }
                matched = true;
                break;
            }
        }
    };
}

}  // namespace ModemSim
