#include "FakeLine.h"

#include <algorithm>
#include <cstring>

namespace EngineFuzz {

void FakeLine::Load(std::string_view input) {
    std::lock_guard hold(lock_);
    pending_.clear();
    arrived_.clear();
    written_.clear();
    silentQueries_ = 0;
    Burst burst;
    bool errorNext = false;
    for (char c : input) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == kEndOfBurst || byte == kEndOfBurstWithError) {
            burst.lineError = errorNext;
            pending_.push_back(std::move(burst));
            burst = Burst{};
            errorNext = byte == kEndOfBurstWithError;
        } else {
            burst.bytes.push_back(c);
        }
    }
    if (!burst.bytes.empty() || errorNext) {
        burst.lineError = errorNext;
        pending_.push_back(std::move(burst));
    }
}

void FakeLine::Push(Burst burst) {
    std::lock_guard hold(lock_);
    pending_.push_back(std::move(burst));
}

void FakeLine::Reset() {
    std::lock_guard hold(lock_);
    pending_.clear();
    arrived_.clear();
    written_.clear();
    silentQueries_ = 0;
}

void FakeLine::SetResponder(std::function<std::string(std::string_view)> responder) {
    std::lock_guard hold(lock_);
    responder_ = std::move(responder);
}

void FakeLine::SetSilenceLimit(int limit) {
    std::lock_guard hold(lock_);
    silenceLimit_ = limit;
}

std::string FakeLine::Written() {
    std::lock_guard hold(lock_);
    return written_;
}

bool FakeLine::Open(const std::string& path) {
    if (open_.load() || path.empty()) {
        return false;
    }
    open_.store(true);
    return true;
}

bool FakeLine::QueryStatus(bool& lineError, std::size_t& queued) {
    lineError = false;
    queued = 0;
    if (!open_.load()) {
        return false;
    }
    std::lock_guard hold(lock_);
    // The next burst arrives only once the previous one was read whole.
    if (arrived_.empty() && !pending_.empty()) {
        Burst next = std::move(pending_.front());
        pending_.pop_front();
        lineError = next.lineError;
        arrived_ = std::move(next.bytes);
    }
    if (arrived_.empty() && pending_.empty() && silenceLimit_ >= 0 &&
        ++silentQueries_ > silenceLimit_) {
        // The input is spent: from here on the port behaves as if stopped.
        woken_.store(true);
    }
    queued = arrived_.size();
    return true;
}

serial::WaitResult FakeLine::WaitReadable(int) {
    if (!open_.load()) {
        return serial::WaitResult::Failed;
    }
    if (woken_.load()) {
        return serial::WaitResult::Woken;
    }
    return HasArrived() ? serial::WaitResult::Ready : serial::WaitResult::TimedOut;
}

serial::WaitResult FakeLine::WaitWritable(int) {
    if (!open_.load()) {
        return serial::WaitResult::Failed;
    }
    return woken_.load() ? serial::WaitResult::Woken : serial::WaitResult::Ready;
}

long FakeLine::ReadSome(void* buffer, std::size_t capacity) {
    if (!open_.load()) {
        return -1;
    }
    std::lock_guard hold(lock_);
    const std::size_t n = std::min(capacity, arrived_.size());
    std::memcpy(buffer, arrived_.data(), n);
    arrived_.erase(0, n);
    return static_cast<long>(n);
}

long FakeLine::WriteSome(const void* data, std::size_t length, int) {
    if (!open_.load()) {
        return -1;
    }
    std::lock_guard hold(lock_);
    const std::string_view bytes(static_cast<const char*>(data), length);
    written_.append(bytes);
    if (responder_) {
        std::string reply = responder_(bytes);
        if (!reply.empty()) {
            pending_.push_back(Burst{std::move(reply), false});
        }
    }
    return static_cast<long>(length);
}

bool FakeLine::Flush(bool input, bool) {
    if (!open_.load()) {
        return false;
    }
    if (input) {
        std::lock_guard hold(lock_);
        arrived_.clear();
    }
    return true;
}

bool FakeLine::HasArrived() {
    std::lock_guard hold(lock_);
    return !arrived_.empty();
}

FakeLine& Line() {
    static FakeLine line;
    return line;
}

}  // namespace EngineFuzz
