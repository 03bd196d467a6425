#include "serial/CSXCom.h"

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "serial/PortNames.h"

namespace {

std::int64_t MsUntil(const serial::IByteLine& line, serial::LineClock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - line.Now()).count();
}

int ClampMs(std::int64_t ms) {
    return static_cast<int>(std::clamp<std::int64_t>(ms, 0, INT32_MAX));
}

}  // namespace

CSXCom::~CSXCom() {
    Close();
}

int CSXCom::Open(int port, int baudRate) {
    if (port < serial::kFirstPort || port > serial::kLastPort) {
        return 0;
    }
    return OpenDevice(serial::PortDevicePath(port), baudRate);
}

int CSXCom::OpenDevice(const std::string& path, int baudRate) {
    if (!OpenPort(path)) {
        return 0;
    }
    // Driver queue sizes and time-outs need no device call here: the kernel sizes its
    // queues and Read and Write apply the time limits themselves.
    if (Purge(PURGE_ALL) == 0) {
        return 0;
    }
    return ConfigurePort(baudRate) ? 1 : 0;
}

bool CSXCom::OpenPort(const std::string& path) {
    if (line_->IsOpen()) {
        return false;
    }
    deviceName_ = path;
    return line_->Open(deviceName_);
}

bool CSXCom::ConfigurePort(int baudRate) {
    return line_->Configure(baudRate);
}

void CSXCom::Close() {
    line_->Close();
    line_->ClearWake();
}

int CSXCom::Purge(unsigned flags) {
    if (!line_->IsOpen()) {
        return 0;
    }
    // Reads and writes are synchronous, so no request is ever pending to abort.
    bool input = (flags & PURGE_RXCLEAR) != 0;
    bool output = (flags & PURGE_TXCLEAR) != 0;
    if (input) {
        // A late answer still on its way is no longer owed once the input is dropped.
        answerOwed_.store(false, std::memory_order_release);
        answerAwaited_.store(false, std::memory_order_release);
    }
    return line_->Flush(input, output) ? 1 : 0;
}

int CSXCom::Write(const void* data, int length) {
    if (!line_->IsOpen() || length < 0 || (data == nullptr && length > 0)) {
        return 0;
    }
    bool lineError = false;
    std::size_t queued = 0;
    if (line_->QueryStatus(lineError, queued) && lineError) {
        Purge(PURGE_TXABORT | PURGE_TXCLEAR);
        return 0;
    }
    const auto deadline = line_->Now() + std::chrono::milliseconds(
                                             timing_.writeTotalConstMs +
                                             std::int64_t{timing_.writeTotalPerByteMs} * length);
    // Whatever was written, a command or a body, is answered by the modem.
    answerAwaited_.store(true, std::memory_order_release);
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::size_t written = 0;
    const auto total = static_cast<std::size_t>(length);
    while (written < total) {
        long n = line_->WriteSome(bytes + written, total - written,
                                  ClampMs(std::max<std::int64_t>(0, MsUntil(*line_, deadline))));
        if (n < 0) {
            return 0;
        }
        written += static_cast<std::size_t>(n);
        if (written == total) {
            break;
        }
        std::int64_t remaining = MsUntil(*line_, deadline);
        if (remaining <= 0 ||
            line_->WaitWritable(ClampMs(remaining)) != serial::WaitResult::Ready) {
            return 0;  // bytes already sent stay sent
        }
    }
    return 1;
}

int CSXCom::Read(void* buffer, int capacity, BurstRule rule) {
    if (!line_->IsOpen() || buffer == nullptr || capacity <= 0) {
        return 0;
    }
    const auto deadline = line_->Now() + std::chrono::milliseconds(timing_.firstByteWaitMs);
    bool lineError = false;
    std::size_t queued = 0;
    if (!line_->QueryStatus(lineError, queued)) {
        return 0;
    }
    for (;;) {
        if (lineError) {
            Purge(PURGE_RXABORT | PURGE_RXCLEAR);
            return 0;
        }
        std::int64_t remaining = MsUntil(*line_, deadline);
        if (queued > 0) {
            return ReadQueued(buffer, capacity, ClampMs(remaining), rule);
        }
        if (remaining <= 0) {
            return 0;
        }
        // Each step ends early when input arrives, so a reply is seen without delay.
        int step = ClampMs(std::min<std::int64_t>(timing_.pollStepMs, remaining));
        serial::WaitResult waited = line_->WaitReadable(step);
        if (waited == serial::WaitResult::Woken || waited == serial::WaitResult::Failed) {
            return 0;
        }
        if (!line_->QueryStatus(lineError, queued)) {
            return 0;
        }
    }
}

int CSXCom::ReadQueued(void* buffer, int capacity, int waitMs, BurstRule rule) {
    if (!line_->IsOpen() || buffer == nullptr || capacity <= 0) {
        return 0;
    }
    bool lineError = false;
    std::size_t queued = 0;
    if (!line_->QueryStatus(lineError, queued) || lineError || queued == 0) {
        return 0;
    }
    // The burst ends at the sooner of its own time-out and the caller's wait. What arrived
    // by then is returned rather than dropped, so no modem output is lost.
    const std::int64_t burstLimit =
        timing_.readTotalConstMs + std::int64_t{timing_.readTotalPerByteMs} * capacity;
    const auto deadline =
        line_->Now() + std::chrono::milliseconds(std::min<std::int64_t>(burstLimit, waitMs));
    const BurstEndTest answered =
        rule == BurstRule::Port   ? quickEnd_.load(std::memory_order_acquire)
        : rule == BurstRule::Bare ? bareEnd_.load(std::memory_order_acquire)
                                  : nullptr;
    auto* bytes = static_cast<unsigned char*>(buffer);
    const auto total = static_cast<std::size_t>(capacity);
    const auto collected = [&](std::size_t size) {
        return std::string_view(reinterpret_cast<const char*>(bytes), size);
    };
    std::size_t got = 0;
    bool complete = false;
    for (;;) {
        long n = line_->ReadSome(bytes + got, total - got);
        if (n < 0) {
            return 0;
        }
        got += static_cast<std::size_t>(n);
        std::int64_t remaining = MsUntil(*line_, deadline);
        if (got == total || remaining <= 0) {
            NoteAnswers(collected(got));
            return static_cast<int>(got);
        }
        // A burst that already ends with a complete answer waits only the settle gap; bytes
        // within it extend the burst, and the test is asked again at its new end.
        if (answered != nullptr && n > 0) {
            complete = QuickComplete(collected(got), answered);
        }
        const int quiet = complete ? timing_.settleGapMs : timing_.burstGapMs;
        int gap = ClampMs(std::min<std::int64_t>(quiet, remaining));
        switch (line_->WaitReadable(gap)) {
            case serial::WaitResult::Ready:
                break;
            case serial::WaitResult::Woken:
                return 0;
            case serial::WaitResult::TimedOut:
            case serial::WaitResult::Failed:
                NoteAnswers(collected(got));
                return static_cast<int>(got);
        }
    }
}

bool CSXCom::QuickComplete(std::string_view collected, BurstEndTest test) const {
    const AnswerEnd answerEnd = quickAnswerEnd_.load(std::memory_order_acquire);
    if (answerEnd == nullptr || !answerOwed_.load(std::memory_order_acquire)) {
        return test(collected);
    }
    // The first answer is the late one of the reply before; this burst's own comes behind.
    const std::size_t end = answerEnd(collected);
    return end != std::string_view::npos && test(collected.substr(end));
}

void CSXCom::NoteAnswers(std::string_view collected) {
    const AnswerEnd answerEnd = quickAnswerEnd_.load(std::memory_order_acquire);
    if (answerEnd == nullptr || quickEnd_.load(std::memory_order_acquire) == nullptr ||
        collected.empty()) {
        return;
    }
    if (answerEnd(collected) != std::string_view::npos) {
        answerOwed_.store(false, std::memory_order_release);
        answerAwaited_.store(false, std::memory_order_release);
    } else if (answerAwaited_.load(std::memory_order_acquire)) {
        // A reply ended by silence before its final result: that result may still come.
        answerOwed_.store(true, std::memory_order_release);
    }
}
