// A far end for CSXCom that needs no device: it plays a modem's bursts in answer to what is
// written, with the pauses between them, and records every byte written. Its clock is its
// own: a wait with nothing due moves the clock on at once, so a silent modem costs no time.
// One thread uses it, except Wake, which any thread may call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "serial/ByteLine.h"

namespace TestSupport {

// One burst of modem output, `pauseMs` after what it follows.
struct LineBurst {
    std::string bytes;
    int pauseMs = 0;
};
using LineScript = std::vector<LineBurst>;

// A recorded exchange in the order it happened: the engine's writes, and the bursts that
// came back, each `pauseMs` after the event before it.
struct LineEvent {
    enum class Kind { Write, Burst };
    Kind kind = Kind::Write;
    std::string bytes;
    int pauseMs = 0;
};

class CScriptedLine final : public serial::IByteLine {
public:
    // When the bytes written since the last match hold `trigger`, they are consumed up to
    // its end and `script` is played behind any output still waiting; its first burst
    // comes `pauseMs` after the write. Rules are tried in the order added, those added
    // with `first` before all others; a rule with a use count disappears when used up.
    void On(std::string trigger, LineScript script, int uses = -1, bool first = false);
    void On(std::string trigger, std::string reply, int uses = -1) {
        On(std::move(trigger), LineScript{{std::move(reply), 0}}, uses);
    }
    void ClearRules();

    // Plays a recorded exchange: each burst is due its pause after the event before it, a
    // write counting as done when the engine has written as many bytes as were recorded
    // up to it. Rules still apply beside it.
    void Play(std::vector<LineEvent> events);

    // Output the modem sends on its own now, behind what is waiting.
    void Send(LineScript script);

    // Makes Open fail, as a device that is not there.
    void SetMissing(bool missing) { missing_ = missing; }

    std::string Written() const { return written_; }
    void ClearWritten() { written_.clear(); }
    // Milliseconds of the line's clock since it was made.
    std::int64_t ElapsedMs() const { return nowMs_; }
    // Bursts scripted but not yet read.
    bool OutputPending() const { return !pending_.empty() || !arrived_.empty(); }

    bool Open(const std::string& path) override;
    bool IsOpen() const override { return open_; }
    void Close() override { open_ = false; }
    bool Configure(int baudRate) override { return open_ && baudRate > 0; }
    bool QueryStatus(bool& lineError, std::size_t& queued) override;
    serial::WaitResult WaitReadable(int timeoutMs) override;
    serial::WaitResult WaitWritable(int timeoutMs) override;
    long ReadSome(void* buffer, std::size_t capacity) override;
    long WriteSome(const void* data, std::size_t length, int limitMs) override;
    bool Flush(bool input, bool output) override;
    bool Sleep(int timeoutMs) override;
    void Wake() override { woken_.store(true); }
    void ClearWake() override { woken_.store(false); }
    serial::LineClock::time_point Now() const override;

private:
    struct Rule {
        std::string trigger;
        LineScript script;
        int uses;
    };
    struct Pending {
        std::string bytes;
        std::int64_t dueMs;
    };

    void Queue(const LineScript& script);
    void Schedule(const std::string& bytes, std::int64_t dueMs);
    void Arrive();
    void MatchRules();
    void FollowRecording();

    std::vector<Rule> rules_;
    std::string input_;  // written since the last rule matched
    std::deque<Pending> pending_;
    std::string arrived_;  // due and not yet read
    std::string written_;
    std::int64_t nowMs_ = 0;
    std::int64_t lastDueMs_ = 0;

    std::vector<LineEvent> recording_;
    std::size_t cursor_ = 0;
    std::size_t recordedWritten_ = 0;  // bytes the recording has written up to the cursor
    std::size_t writtenTotal_ = 0;     // bytes written since Play
    std::int64_t anchorMs_ = 0;        // when the event before the cursor happened

    bool open_ = false;
    bool missing_ = false;
    std::atomic<bool> woken_{false};
};

}  // namespace TestSupport
