// The link to one modem's `tarvik serve`: the child process and its pipes, the typed
// requests written to it, and its events, read on a thread of their own and queued for the
// modem's thread, which is woken for each. The child is killed with the daemon (a
// parent-death signal), so that a daemon killed outright leaves no child holding the port.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Config.h"
#include "link/ServeLink.h"

namespace Tarvikd {

class CModemLink {
public:
    // `onEvent` is called from the reader thread after each event is queued and at the end.
    CModemLink(std::string name, std::function<void()> onEvent);
    ~CModemLink();

    // Starts `tarvik serve` for the modem; false, with the reason, when it did not start.
    bool Start(const std::string& program, const ModemConfig& modem, int reassemblyTimeoutMs,
               const std::vector<std::string>& env, std::string& why);

    enum class Take { Event, None, Ended };
    // The next event; Ended once the child's output has closed and every event was taken.
    Take Next(TarvikLink::Event& event);
    // False when the child no longer reads.
    bool Write(const TarvikLink::Request& request);
    bool Write(TarvikLink::Op op);

    // Waits up to `limit` for the child's output to end; true when it did.
    bool WaitEnd(std::chrono::steady_clock::duration limit);
    // Kills the child unless told it ended, waits for it; the exit's description.
    std::string Finish(bool kill);
    // The child's exit code once it has ended by itself; -1 before, or when it was killed.
    int ExitCode() const { return exitCode_; }

private:
    // Forks and runs the child; false, with the reason, when it could not.
    bool Spawn(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env, std::string& why);
    void Read();

    std::string name_;
    std::function<void()> onEvent_;
    pid_t pid_ = -1;
    int in_ = -1;   // the child's standard input
    int out_ = -1;  // its standard output, read by the reader alone while it runs
    std::thread reader_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<TarvikLink::Event> events_;
    bool ended_ = false;
    int exitCode_ = -1;
};

}  // namespace Tarvikd
