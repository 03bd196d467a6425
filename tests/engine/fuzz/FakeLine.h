// The far end of the in-memory serial device the engine fuzzers link in place of the real
// one: bursts the modem "sends", the bytes the engine wrote, and an optional responder
// that answers each write. Nothing here waits; silence is a read that finds nothing.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace EngineFuzz {

struct Burst {
    std::string bytes;       // empty: one read finds the line silent
    bool lineError = false;  // the burst arrives with a framing error reported
};

// Burst separators in a fuzz input.
inline constexpr unsigned char kEndOfBurst = 0xFE;
inline constexpr unsigned char kEndOfBurstWithError = 0xFD;

// Silent status queries after the input ran out before the device acts as if the port
// were interrupted, so that loops bounded only by the clock end at once.
inline constexpr int kDefaultSilenceLimit = 64;

class FakeLine {
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

    // For the device.
    bool Status(bool& lineError, std::size_t& queued, bool& exhausted);
    std::size_t Take(void* buffer, std::size_t capacity);
    void Accept(const void* data, std::size_t length);
    void DropArrived();
    bool HasArrived();

private:
    std::mutex lock_;
    std::deque<Burst> pending_;
    std::string arrived_;
    std::string written_;
    std::function<std::string(std::string_view)> responder_;
    int silentQueries_ = 0;
    int silenceLimit_ = kDefaultSilenceLimit;
};

FakeLine& Line();

}  // namespace EngineFuzz
