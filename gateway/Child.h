// One `tarvik serve` process: its pipes both ways, lines read with a time limit, and its
// end. The child is killed with the daemon (a parent-death signal), so that a daemon
// killed outright leaves no child holding the modem's port.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace Tarvikd {

class CChild {
public:
    CChild() = default;
    ~CChild();
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    // False, with the reason, when it could not be started.
    bool Start(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env, std::string& why);
    bool Running() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }

    enum class Read { Line, TimedOut, Ended };
    Read ReadLine(std::string& line, int timeoutMs);
    // False when the child no longer reads.
    bool WriteLine(const std::string& line);

    // SIGKILL, and nothing else: its output ends for a reader that waits on it.
    void Kill();
    // Kills it (when it still runs) and waits for it; the exit's description.
    std::string Finish(bool kill);

private:
    pid_t pid_ = -1;
    int in_ = -1;   // its standard input
    int out_ = -1;  // its standard output
    std::string buffer_;
};

}  // namespace Tarvikd
