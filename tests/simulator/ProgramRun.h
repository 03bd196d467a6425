// Running the tarvik-modemsim program from a test: to its exit, or in the background with
// the first line it prints.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace TestSupport {

// Replaces the child with the program and `options`; never returns.
[[noreturn]] inline void ExecProgram(const std::vector<std::string>& options) {
    std::vector<const char*> argv = {"tarvik-modemsim"};
    for (const auto& option : options) {
        argv.push_back(option.c_str());
    }
    argv.push_back(nullptr);
    ::execv(TARVIK_MODEMSIM_PATH, const_cast<char* const*>(argv.data()));
    ::_exit(127);
}

// The exit status of a run with `options`, with what it wrote on its standard error in
// `complaint`; -1 when it did not exit normally.
inline int RunProgram(const std::vector<std::string>& options, std::string& complaint) {
    int err[2];
    if (::pipe(err) != 0) {
        return -1;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(err[0]);
        ::close(err[1]);
        return -1;
    }
    if (child == 0) {
        ::dup2(err[1], STDERR_FILENO);
        ::close(err[0]);
        ::close(err[1]);
        ExecProgram(options);
    }
    ::close(err[1]);
    char chunk[512];
    for (ssize_t n; (n = ::read(err[0], chunk, sizeof chunk)) > 0;) {
        complaint.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(err[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The same, its complaints discarded.
inline int RunProgram(const std::vector<std::string>& options) {
    std::string complaint;
    return RunProgram(options, complaint);
}

struct RunningProgram {
    pid_t pid = -1;
    std::string firstLine;  // what it printed first: the link it made
};

// Starts the program with `options` and waits for its first line.
inline RunningProgram LaunchProgram(const std::vector<std::string>& options) {
    RunningProgram program;
    int out[2];
    if (::pipe(out) != 0) {
        return program;
    }
    program.pid = ::fork();
    if (program.pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ExecProgram(options);
    }
    ::close(out[1]);
    char c;
    while (program.pid > 0 && ::read(out[0], &c, 1) == 1 && c != '\n') {
        program.firstLine.push_back(c);
    }
    ::close(out[0]);
    return program;
}

// Sends SIGTERM and returns the wait status; -1 when the program could not be reached.
inline int Terminate(const RunningProgram& program) {
    int status = 0;
    if (program.pid <= 0 || ::kill(program.pid, SIGTERM) != 0 ||
        ::waitpid(program.pid, &status, 0) != program.pid) {
        return -1;
    }
    return status;
}

}  // namespace TestSupport
