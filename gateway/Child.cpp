#include "Child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Tarvikd {

CChild::~CChild() {
    Finish(true);
}

bool CChild::Start(const std::string& program, const std::vector<std::string>& args,
                   const std::vector<std::string>& env, std::string& why) {
    int input[2];
    int output[2];
    if (pipe2(input, O_CLOEXEC) != 0) {
        why = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    if (pipe2(output, O_CLOEXEC) != 0) {
        why = std::string("pipe: ") + std::strerror(errno);
        close(input[0]);
        close(input[1]);
        return false;
    }
    // Everything the child needs is built before the fork: after it, only calls that are
    // safe in a copy of a threaded process.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
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
        why = std::string("fork: ") + std::strerror(errno);
        for (int fd : {input[0], input[1], output[0], output[1]}) {
            close(fd);
        }
        return false;
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
    buffer_.clear();
    return true;
}

CChild::Read CChild::ReadLine(std::string& line, int timeoutMs) {
    while (true) {
        if (const std::size_t end = buffer_.find('\n'); end != std::string::npos) {
            line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return Read::Line;
        }
        if (out_ < 0) {
            return Read::Ended;
        }
        pollfd wait{out_, POLLIN, 0};
        const int ready = poll(&wait, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            return Read::TimedOut;
        }
        char chunk[65536];
        const ssize_t count = read(out_, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            close(out_);
            out_ = -1;
            return Read::Ended;
        }
        buffer_.append(chunk, static_cast<std::size_t>(count));
        timeoutMs = 0;
    }
}

bool CChild::WriteLine(const std::string& line) {
    if (in_ < 0) {
        return false;
    }
    const std::string text = line + "\n";
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

void CChild::Kill() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
    }
}

std::string CChild::Finish(bool kill) {
    if (in_ >= 0) {
        close(in_);
        in_ = -1;
    }
    if (out_ >= 0) {
        close(out_);
        out_ = -1;
    }
    if (pid_ <= 0) {
        return {};
    }
    if (kill) {
        ::kill(pid_, SIGKILL);
    }
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (WIFEXITED(status)) {
        return "exited with " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return std::string("killed by signal ") + std::to_string(WTERMSIG(status));
    }
    return "ended";
}

}  // namespace Tarvikd
