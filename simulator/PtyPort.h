// The far end of a serial line: a pseudo-terminal whose device the library opens through
// the link <folder>/COM<n>. Every byte received is recorded with its time; replies are
// played as bursts with pauses between them. In a Windows build the pseudo-terminal is
// made by a relay on the host (see PtyRelayMain.cpp), which Wine sees as COM<n>.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace ModemSim {

using Clock = std::chrono::steady_clock;

// One burst of output, written after `pauseMs` of silence following the previous burst.
struct Burst {
    std::string bytes;
    int pauseMs = 0;
};
using Script = std::vector<Burst>;

struct ReceivedByte {
    Clock::time_point at;
    unsigned char value;
};

class CPtyPort {
public:
    // Runs on the port's own thread with every chunk of input as it arrives.
    using Handler = std::function<void(CPtyPort& port, std::string_view chunk)>;

    // Throws std::runtime_error when the pseudo-terminal or the link cannot be made. The
    // link is <linkDir>/<linkPrefix><port>.
    CPtyPort(std::string linkDir, int port, const std::string& linkPrefix = "COM");
    ~CPtyPort();
    CPtyPort(const CPtyPort&) = delete;
    CPtyPort& operator=(const CPtyPort&) = delete;

    const std::string& DevicePath() const { return devicePath_; }
    const std::string& LinkPath() const { return linkPath_; }
    int PortNumber() const { return port_; }

    void SetHandler(Handler handler);

    // Queues the bursts behind any output still waiting. Safe from any thread.
    void Reply(const Script& script);
    void Send(std::string bytes) { Reply({Burst{std::move(bytes), 0}}); }
    // Sends the bytes at once, between two bursts of what is queued: a line the modem sends
    // on its own while a reply is under way. Safe from any thread.
    void Interject(std::string bytes);
    // After `delay`, on the port's thread, interjects what `make` gives (nothing when empty):
    // what the network sends on its own time, while the modem goes on answering commands.
    void Later(std::chrono::milliseconds delay, std::function<std::string()> make);
    // True once every queued burst has been written.
    bool WaitOutputDone(std::chrono::milliseconds timeout) const;

    // The baud rate the far end set on the line, 0 when it is not a standard rate.
    int LineSpeed() const;

    // The device goes away as an unplugged one does: the line hangs up for its holder, the
    // link is gone, and output not yet written is lost. Replug brings a new device back
    // under the same link. Not in a Windows build.
    void Unplug();
    void Replug();

    // While paused, nothing is read, so the library's writes back up and block.
    void PauseReading(bool paused);

    std::string Received() const;
    std::vector<ReceivedByte> ReceivedLog() const;
    void ClearReceived();
    bool WaitForReceived(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    struct Pending {
        std::string bytes;
        int pauseMs;
        std::size_t written = 0;
        std::optional<Clock::time_point> due;
    };
    // What the port's thread does next.
    struct Step {
        bool stop = false;
        bool reading = false;
        bool writing = false;
        int timeoutMs = -1;  // until the next burst is due; -1 when none is
    };
    struct Line;  // the platform's end of the line

    // Shared by both platforms.
    void StopThread();
    Step NextStep();
    void Deliver(const char* bytes, std::size_t count);
    void WriteDueOutput();
    void RunDueLater();

    // Each platform's own.
    void OpenLine();
    void Run();
    void WakeThread();
    // Writes what the line takes at once: the count written, 0 or less when nothing.
    long WriteSome(const char* bytes, std::size_t count);

    int port_;
    std::string devicePath_;
    std::string linkPath_;
    std::unique_ptr<Line> line_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Handler handler_;
    std::deque<Pending> output_;
    std::multimap<Clock::time_point, std::function<std::string()>> later_;
    std::vector<ReceivedByte> received_;
    bool paused_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

// A handler that answers scripted replies to triggers: when the input gathered since the
// last match holds a trigger, the input up to its end is consumed and the script played.
// Rules are tried in the order added; a rule with a use count disappears when used up.
class CReplyScript {
public:
    void On(std::string trigger, Script script, int uses = -1);
    CPtyPort::Handler Handler();

private:
    struct Rule {
        std::string trigger;
        Script script;
        int uses;
    };
    struct State {
        std::mutex mutex;
        std::vector<Rule> rules;
        std::string input;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace ModemSim
