#include "ModemLink.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Log.h"

namespace Tarvikd {

CModemLink::CModemLink(std::string name, std::function<void()> onEvent)
    : name_(std::move(name)), onEvent_(std::move(onEvent)) {}

CModemLink::~CModemLink() {
    Finish(true);
}

bool CModemLink::Start(const std::string& program, const ModemConfig& modem,
                       int reassemblyTimeoutMs, const std::vector<std::string>& env,
                       std::string& why) {
    // --cancel-pending: a child that died mid-submission, in this daemon's life or before
    // it, may have left the modem waiting for a message body.
    std::vector<std::string> args =
        TarvikLink::ServeArguments({modem.port, modem.device, modem.baud});
    args.insert(args.end(), {"--ack", "--ack-reports", "--cancel-pending",
                             "--reassembly-timeout-ms", std::to_string(reassemblyTimeoutMs)});
    if (!Spawn(program, args, env, why)) {
        return false;
    }
    {
        std::lock_guard hold(lock_);
        events_.clear();
        ended_ = false;
    }
    reader_ = std::thread([this] { Read(); });
    return true;
}

bool CModemLink::Spawn(const std::string& program, const std::vector<std::string>& args,
                       const std::vector<std::string>& env, std::string& why) {
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    const auto fail = [&](const char* what) {
        why = std::string(what) + ": " + std::strerror(errno);
        for (int fd : {input[0], input[1], output[0], output[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        return false;
    };
    if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) {
        return fail("pipe");
    }
    // Everything the child needs is built before the fork: after it, only calls that are
    // safe in a copy of a threaded process.
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& entry : env) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        return fail("fork");
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);  // the daemon died before the signal was set
        }
        dup2(input[0], STDIN_FILENO);
        dup2(output[1], STDOUT_FILENO);
        signal(SIGPIPE, SIG_DFL);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(input[0]);
    close(output[1]);
    pid_ = pid;
    in_ = input[1];
    out_ = output[0];
    return true;
}

void CModemLink::Read() {
    std::string buffer;
    char chunk[65536];
    while (true) {
        const ssize_t count = read(out_, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            break;
        }
        buffer.append(chunk, static_cast<std::size_t>(count));
        for (std::size_t end = buffer.find('\n'); end != std::string::npos;
             end = buffer.find('\n')) {
            const std::string line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            std::string why;
            std::optional<TarvikLink::Event> event = TarvikLink::ParseEvent(line, why);
            if (!event) {
                Log(Level::Warning, "modem " + name_ + ": not an event (" + why + "): " + line);
                continue;
            }
            {
                std::lock_guard hold(lock_);
                events_.push_back(std::move(*event));
            }
            onEvent_();
        }
    }
    {
        std::lock_guard hold(lock_);
        ended_ = true;
    }
    changed_.notify_all();
    onEvent_();
}

CModemLink::Take CModemLink::Next(TarvikLink::Event& event) {
    std::lock_guard hold(lock_);
    if (!events_.empty()) {
        event = std::move(events_.front());
        events_.pop_front();
        return Take::Event;
    }
    return ended_ ? Take::Ended : Take::None;
}

bool CModemLink::Write(const TarvikLink::Request& request) {
    if (in_ < 0) {
        return false;
    }
    const std::string text = TarvikLink::RequestLine(request);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t count = write(in_, text.data() + done, text.size() - done);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(count);
    }
    return true;
}

bool CModemLink::Write(TarvikLink::Op op) {
    TarvikLink::Request request;
    request.op = op;
    return Write(request);
}

bool CModemLink::WaitEnd(std::chrono::steady_clock::duration limit) {
    std::unique_lock hold(lock_);
    return changed_.wait_for(hold, limit, [this] { return ended_; });
}

std::string CModemLink::Finish(bool kill) {
    if (kill && pid_ > 0) {
        ::kill(pid_, SIGKILL);
    }
    // The reader ends with the child's output: at its exit, or at the kill.
    if (reader_.joinable()) {
        reader_.join();
    }
    for (int* fd : {&in_, &out_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    if (pid_ <= 0) {
        return {};
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (WIFEXITED(status)) {
        exitCode_ = WEXITSTATUS(status);
        return "exited with " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return std::string("killed by signal ") + std::to_string(WTERMSIG(status));
    }
    return "ended";
}

}  // namespace Tarvikd
