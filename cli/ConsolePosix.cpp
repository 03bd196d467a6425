#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <thread>

#include "Console.h"

namespace TarvikCli {

namespace {

std::atomic<int> interrupts{0};
std::atomic<bool> releasing{false};
std::thread watcher;

sigset_t StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void CatchInterrupts(std::function<void()> onInterrupt) {
    // Blocked in this thread and in every thread started after it (the library's worker
    // among them), so that only the watcher takes them.
    const sigset_t set = StopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    watcher = std::thread([set, onInterrupt = std::move(onInterrupt)] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) {
                continue;
            }
            if (releasing.load()) {
                return;
            }
            interrupts.fetch_add(1);
            onInterrupt();
        }
    });
}

int Interrupts() {
    return interrupts.load();
}

void ReleaseInterrupts() {
    if (!watcher.joinable()) {
        return;
    }
    releasing.store(true);
    pthread_kill(watcher.native_handle(), SIGTERM);
    watcher.join();
}

LineResult ReadLine(std::string& line, int timeoutMs) {
    static std::string buffered;
    static bool ended = false;
    for (;;) {
        const std::size_t end = buffered.find('\n');
        if (end != std::string::npos) {
            line = buffered.substr(0, end);
            buffered.erase(0, end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return LineResult::Line;
        }
        if (ended) {
            if (buffered.empty()) {
                return LineResult::Ended;
            }
            line.swap(buffered);
            buffered.clear();
            return LineResult::Line;
        }
        pollfd input = {STDIN_FILENO, POLLIN, 0};
        const int ready = ::poll(&input, 1, timeoutMs);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            return LineResult::TimedOut;
        }
        char chunk[4096];
        const ssize_t n = ready < 0 ? -1 : ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            ended = true;
            continue;
        }
        buffered.append(chunk, static_cast<std::size_t>(n));
    }
}

void SetEnvironment(const char* name, const char* value) {
    ::setenv(name, value, 1);
}

bool InputIsTerminal() {
    return ::isatty(STDIN_FILENO) == 1;
}

}  // namespace TarvikCli
