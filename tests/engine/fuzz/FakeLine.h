// The in-memory line the engine fuzzers attach to their port in place of its serial device:
// bursts the modem "sends", the bytes the engine wrote, and an optional responder that
// answers each write. Nothing here waits; silence is a read that finds nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "serial/ByteLine.h"

namespace EngineFuzz {

struct Burst {
    std::string bytes;       // empty: one read finds the line silent
    bool lineError = false;  // the burst arrives with a framing error reported
};

// Burst separators in a fuzz input.
inline constexpr unsigned char kEndOfBurst = 0xFE;
inline constexpr unsigned char kEndOfBurstWithError = 0xFD;

// Silent status queries after the input ran out before the line acts as if the port were
// interrupted, so that loops bounded only by the clock end at once.
inline constexpr int kDefaultSilenceLimit = 64;

class FakeLine final : public serial::IByteLine {
public:
    // Replaces what the modem will send with the bursts of `input`.
    void Load(std::string_view input);
    void Push(Burst burst);
    void Reset();

    // Answers every write when set; its reply is queued behind what is already waiting.
    void SetResponder(std::function<std::string(std::string_view)> responder);
    // A negative limit never interrupts.
    void SetSilenceLimit(int limit);

    std::string Written();

    // Line errors come from the bursts themselves; there are no driver counters.
    bool Open(const std::string& path) override;
    bool IsOpen() const override { return open_.load(); }
    void Close() override { open_.store(false); }
    bool Configure(int baudRate) override { return IsOpen() && baudRate > 0; }
    bool QueryStatus(bool& lineError, std::size_t& queued) override;
    serial::WaitResult WaitReadable(int timeoutMs) override;
    serial::WaitResult WaitWritable(int timeoutMs) override;
    long ReadSome(void* buffer, std::size_t capacity) override;
    long WriteSome(const void* data, std::size_t length, int limitMs) override;
    bool Flush(bool input, bool output) override;
    bool Sleep(int) override { return !woken_.load(); }
    void Wake() override { woken_.store(true); }
    void ClearWake() override { woken_.store(false); }

private:
    bool HasArrived();

    std::mutex lock_;
    std::deque<Burst> pending_;
    std::string arrived_;
    std::string written_;
    std::function<std::string(std::string_view)> responder_;
    int silentQueries_ = 0;
    int silenceLimit_ = kDefaultSilenceLimit;
    std::atomic<bool> open_{false};
    std::atomic<bool> woken_{false};
};

FakeLine& Line();

}  // namespace EngineFuzz
