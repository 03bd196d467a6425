// The serial device's member functions over FakeLine: the header is the library's, so the
// class layout is too; only the bodies differ. The descriptor field marks the device open.
#include "FakeLine.h"

#include <algorithm>
#include <cstring>

#include "serial/SerialDevice.h"

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

bool FakeLine::Status(bool& lineError, std::size_t& queued, bool& exhausted) {
    std::lock_guard hold(lock_);
    lineError = false;
    exhausted = false;
    // The next burst arrives only once the previous one was read whole.
    if (arrived_.empty() && !pending_.empty()) {
        Burst next = std::move(pending_.front());
        pending_.pop_front();
        lineError = next.lineError;
        arrived_ = std::move(next.bytes);
    }
    if (arrived_.empty() && pending_.empty() && silenceLimit_ >= 0 &&
        ++silentQueries_ > silenceLimit_) {
        exhausted = true;
    }
    queued = arrived_.size();
    return true;
}

std::size_t FakeLine::Take(void* buffer, std::size_t capacity) {
    std::lock_guard hold(lock_);
    const std::size_t n = std::min(capacity, arrived_.size());
    std::memcpy(buffer, arrived_.data(), n);
    arrived_.erase(0, n);
    return n;
}

void FakeLine::Accept(const void* data, std::size_t length) {
    std::lock_guard hold(lock_);
    const std::string_view bytes(static_cast<const char*>(data), length);
    written_.append(bytes);
    if (responder_) {
        std::string reply = responder_(bytes);
        if (!reply.empty()) {
            pending_.push_back(Burst{std::move(reply), false});
        }
    }
}

void FakeLine::DropArrived() {
    std::lock_guard hold(lock_);
    arrived_.clear();
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

namespace serial {

namespace {
constexpr int kFakeDescriptor = 1000;
}  // namespace

bool BaudToSpeed(int baudRate, speed_t& speed) {
    speed = B115200;
    return baudRate > 0;
}

CSerialDevice::CSerialDevice() = default;

CSerialDevice::~CSerialDevice() {
    Close();
}

bool CSerialDevice::EnsureWakeChannel() {
    return true;
}

bool CSerialDevice::Open(const std::string& path) {
    if (fd_ >= 0 || path.empty()) {
        return false;
    }
    fd_ = kFakeDescriptor;
    // No driver counters: line errors come from the bursts themselves.
    haveCounters_ = false;
    lastErrorCount_ = 0;
    return true;
}

void CSerialDevice::Close() {
    fd_ = -1;
}

bool CSerialDevice::Configure(int baudRate) {
    speed_t speed{};
    lineSettings_ = termios{};
    return fd_ >= 0 && BaudToSpeed(baudRate, speed);
}

bool CSerialDevice::QueryStatus(bool& lineError, std::size_t& queued) {
    lineError = false;
    queued = 0;
    if (fd_ < 0) {
        return false;
    }
    bool exhausted = false;
    EngineFuzz::Line().Status(lineError, queued, exhausted);
    if (exhausted) {
        // The input is spent: from here on the port behaves as if stopped.
        woken_.store(true, std::memory_order_release);
    }
    return true;
}

WaitResult CSerialDevice::Wait(short events, int) {
    if (fd_ < 0) {
        return WaitResult::Failed;
    }
    if (woken_.load(std::memory_order_acquire)) {
        return WaitResult::Woken;
    }
    if (events == 0 || EngineFuzz::Line().HasArrived()) {
        return WaitResult::Ready;
    }
    return WaitResult::TimedOut;
}

WaitResult CSerialDevice::WaitReadable(int timeoutMs) {
    return Wait(1, timeoutMs);
}

WaitResult CSerialDevice::WaitWritable(int timeoutMs) {
    return Wait(0, timeoutMs);
}

long CSerialDevice::ReadSome(void* buffer, std::size_t capacity) {
    if (fd_ < 0) {
        return -1;
    }
    return static_cast<long>(EngineFuzz::Line().Take(buffer, capacity));
}

long CSerialDevice::WriteSome(const void* data, std::size_t length, int /*limitMs*/) {
    if (fd_ < 0) {
        return -1;
    }
    EngineFuzz::Line().Accept(data, length);
    return static_cast<long>(length);
}

bool CSerialDevice::Flush(bool input, bool) {
    if (fd_ < 0) {
        return false;
    }
    if (input) {
        EngineFuzz::Line().DropArrived();
    }
    return true;
}

bool CSerialDevice::Sleep(int) {
    return !woken_.load(std::memory_order_acquire);
}

void CSerialDevice::Wake() {
    woken_.store(true, std::memory_order_release);
}

void CSerialDevice::ClearWake() {
    woken_.store(false, std::memory_order_release);
}

}  // namespace serial
