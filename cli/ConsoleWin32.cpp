#include <windows.h>

#include <io.h>

#include <cstdio>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "Console.h"

namespace TarvikCli {

namespace {

std::atomic<int> interrupts{0};
std::function<void()>* handler = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            interrupts.fetch_add(1);
            if (handler != nullptr) {
                (*handler)();
            }
            return TRUE;
        default:
            return FALSE;
    }
}

// Standard input is read on a thread of its own, as a console or pipe read cannot be
// given a time limit; the lines wait here.
struct Lines {
    std::mutex lock;
    std::condition_variable arrived;
    std::deque<std::string> lines;
    bool ended = false;
    bool started = false;
};

Lines& InputLines() {
    static Lines* lines = new Lines;  // the reader may outlive main: never destroyed
    return *lines;
}

void ReadInput(Lines& lines) {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    std::string partial;
    char chunk[4096];
    for (;;) {
        DWORD count = 0;
        if (!ReadFile(input, chunk, sizeof chunk, &count, nullptr) || count == 0) {
            break;
        }
        partial.append(chunk, count);
        std::size_t end;
        while ((end = partial.find('\n')) != std::string::npos) {
            std::string line = partial.substr(0, end);
            partial.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            std::lock_guard hold(lines.lock);
            lines.lines.push_back(std::move(line));
            lines.arrived.notify_all();
        }
    }
    std::lock_guard hold(lines.lock);
    if (!partial.empty()) {
        lines.lines.push_back(partial);
    }
    lines.ended = true;
    lines.arrived.notify_all();
}

}  // namespace

void CatchInterrupts(std::function<void()> onInterrupt) {
    handler = new std::function<void()>(std::move(onInterrupt));
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

int Interrupts() {
    return interrupts.load();
}

void ReleaseInterrupts() {
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
}

LineResult ReadLine(std::string& line, int timeoutMs) {
    Lines& lines = InputLines();
    std::unique_lock hold(lines.lock);
    if (!lines.started) {
        lines.started = true;
        std::thread(ReadInput, std::ref(lines)).detach();
    }
    lines.arrived.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                           [&] { return !lines.lines.empty() || lines.ended; });
    if (!lines.lines.empty()) {
        line = std::move(lines.lines.front());
        lines.lines.pop_front();
        return LineResult::Line;
    }
    return lines.ended ? LineResult::Ended : LineResult::TimedOut;
}

void SetEnvironment(const char* name, const char* value) {
    // The process's own block, which the library reads, not the C runtime's copy.
    SetEnvironmentVariableA(name, value);
}

bool InputIsTerminal() {
    return _isatty(_fileno(stdin)) != 0;
}

}  // namespace TarvikCli
