// A thread wrapper whose body the derived class supplies. Stopping is cooperative: a stop
// request wakes SleepFor at once, and the body checks StopRequested between its steps, so a
// stopped thread never leaves a lock held.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/ThreadPriority.h"

namespace NorvaneBase32 {

template <typename T>
class CThread {
public:
    CThread() = default;
    virtual ~CThread() { Stop(); }
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    // The thread's body; its result is the thread's exit code.
    virtual int32_t Run(int32_t argument) = 0;

    // True when a new thread runs the body. False, with errno EBUSY, while one still runs,
    // and with the system's error when no thread could be created.
    bool Start() {
        if (Running()) {
            errno = EBUSY;
            return false;
        }
        Join();
        runArgument = 0;
        priority = 0;
        stopRequested_.store(false);
        running_.store(true);
        try {
            threadHandle.emplace(&CThread::ThreadProc, static_cast<T*>(this));
        } catch (const std::system_error& error) {
            running_.store(false);
            errno = error.code().value();
            return false;
        }
        return true;
    }

    static int32_t ThreadProc(T* self) {
        if (self->priority != 0) {
            SetCurrentThreadPriority(self->priority);
        }
        int32_t exitCode = -1;
        try {
            exitCode = self->Run(self->runArgument);
        } catch (...) {
            // Nothing may escape a thread; the body ends as if stopped.
        }
        self->running_.store(false);
        return exitCode;
    }

    bool Running() const { return running_.load(); }

    // Asks the body to end and wakes it from SleepFor. Any thread may call it.
    void RequestStop() {
        {
            std::lock_guard lock(sleepMutex_);
            stopRequested_.store(true);
        }
        sleepWake_.notify_all();
    }
    bool StopRequested() const { return stopRequested_.load(); }

    // Ends a SleepUntilWoken under way, or the next one if none is. Any thread may call it.
    void Wake() {
        {
            std::lock_guard lock(sleepMutex_);
            wakeRequested_ = true;
        }
        sleepWake_.notify_all();
    }

    // Waits for the thread to end; the caller has made sure it will.
    void Join() {
        if (threadHandle && threadHandle->joinable() &&
            threadHandle->get_id() != std::this_thread::get_id()) {
            threadHandle->join();
        }
        threadHandle.reset();
    }

    // Requests the stop and waits for the body to end.
    void Stop() {
        RequestStop();
        Join();
    }

protected:
    // Sleeps up to `ms`; false when a stop was requested before or during the sleep.
    bool SleepFor(int ms) {
        std::unique_lock lock(sleepMutex_);
        return !sleepWake_.wait_for(lock, std::chrono::milliseconds(ms),
                                    [this] { return stopRequested_.load(); });
    }

    // As SleepFor, and a Wake ends it early too; the wake is spent by it.
    bool SleepUntilWoken(int ms) {
        std::unique_lock lock(sleepMutex_);
        const bool stopped = sleepWake_.wait_for(lock, std::chrono::milliseconds(ms), [this] {
            return stopRequested_.load() || wakeRequested_;
        }) && stopRequested_.load();
        wakeRequested_ = false;
        return !stopped;
    }

    std::optional<std::thread> threadHandle;
    int32_t runArgument = 0;
    int32_t priority = 0;

private:
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> running_{false};
    std::mutex sleepMutex_;
    bool wakeRequested_ = false;  // under sleepMutex_
    std::condition_variable sleepWake_;
};

}  // namespace NorvaneBase32
