// Confirmed writes: a part's body goes to the modem only once the caller said so. The
// worker asks on its own thread just before the body; a caller's answer, a stop or the
// time limit ends the wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

namespace GSM {

class CWriteGate {
public:
    // Told of each part that waits (its message's tag and its number); on the worker's
    // thread, so it must neither block nor call back into the service.
    using Notice = std::function<void(int32_t tag, int part)>;

    void SetNotice(Notice notice);
    // True when the caller let the body go; false when it said no, the limit passed, or
    // the gate was closed before or during the wait.
    bool Ask(int32_t tag, int part, std::chrono::milliseconds limit);
    // False when no such part waits.
    bool Answer(int32_t tag, int part, bool go);
    // A stop: the wait under way and every later one end at once, unwritten. True when a part
    // was waiting.
    bool Close();

private:
    struct Waiting {
        int32_t tag;
        int part;
    };
    std::mutex lock_;
    std::condition_variable changed_;
    Notice notice_;
    std::optional<Waiting> waiting_;
    std::optional<bool> answer_;
    bool closed_ = false;
};

}  // namespace GSM
