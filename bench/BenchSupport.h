// What every benchmark program needs: a private port folder, clocks, statistics, the
// process's CPU time and resident memory, and the simulator's received bytes as timed
// command lines.
#pragma once

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "PtyPort.h"

namespace Bench {

using Clock = std::chrono::steady_clock;

inline double MsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// A folder for COM<n> links, named in TARVIK_PORT_DIR while it exists.
class PortDir {
public:
    PortDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tarvik-bench-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp");
        }
        path_ = pattern;
        ::setenv("TARVIK_PORT_DIR", path_.c_str(), 1);
    }
    ~PortDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    PortDir(const PortDir&) = delete;
    PortDir& operator=(const PortDir&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

// Sorted copy; p in [0, 1], nearest rank.
inline double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(rank, values.size() - 1)];
}

inline double Median(const std::vector<double>& values) {
    return Percentile(values, 0.5);
}

// User plus system time of the whole process, in milliseconds.
inline double CpuMs() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_usec) / 1000.0;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// VmRSS from /proc/self/status, in kB; 0 when it cannot be read.
inline long ResidentKb() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kb = 0;
            status >> kb;
            return kb;
        }
        status.ignore(4096, '\n');
    }
    return 0;
}

// One line the simulator received: a command up to its CR, or a submission body up to its
// Ctrl-Z (kind Body), with the time its last byte arrived.
struct Event {
    enum class Kind { Command, Body };
    Kind kind = Kind::Command;
    std::string text;
    Clock::time_point at;
};

// Splits the received bytes the way the simulator reads them: a command ends at CR; after a
// command that opens text entry ("AT+CMGS=") the bytes up to Ctrl-Z are its body.
inline std::vector<Event> Events(const std::vector<ModemSim::ReceivedByte>& log) {
    std::vector<Event> events;
    std::string current;
    bool inBody = false;
    for (const auto& byte : log) {
        const char c = static_cast<char>(byte.value);
        if (inBody) {
            if (c == '\x1A' || c == '\x1B') {
                events.push_back({Event::Kind::Body, current, byte.at});
                current.clear();
                inBody = false;
            } else if (!(current.empty() && c == '\n')) {
                current.push_back(c);
            }
            continue;
        }
        if (c == '\r') {
            if (!current.empty()) {
                events.push_back({Event::Kind::Command, current, byte.at});
                inBody = current.rfind("AT+CMGS=", 0) == 0;
            }
            current.clear();
        } else if (c != '\n') {
            current.push_back(c);
        }
    }
    return events;
}

inline bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Waits until `ready` holds, checking every 200 us; false after `limit`.
template <typename Ready>
bool WaitFor(Ready&& ready, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!ready()) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

// tarvik-modemsim in a child process answering as MU609 on <dir>/COM<port>, with `extra`
// options; its link is ready once it printed it.
class SimProcess {
public:
    SimProcess(const std::string& program, const std::string& dir, int port,
               const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"tarvik-modemsim",    "--dir",   dir,    "--port",
                                         std::to_string(port), "--model", "MU609"};
        args.insert(args.end(), extra.begin(), extra.end());
        int out[2];
        if (::pipe(out) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::close(out[0]);
            ::close(out[1]);
            std::vector<char*> argv;
            for (auto& arg : args) {
                argv.push_back(arg.data());
            }
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        char c;
        while (::read(out[0], &c, 1) == 1 && c != '\n') {
        }
        ::close(out[0]);
    }
    ~SimProcess() { End(); }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    // The modem vanishes: its end of the line closes.
    void End() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

private:
    pid_t pid_ = -1;
};

}  // namespace Bench
