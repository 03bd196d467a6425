// The modems: one supervised `tarvik serve` child each, restarted with backoff when it
// dies; each sends one queued message at a time and stores what its modem receives before
// acknowledging it to the child. A modem that keeps failing leaves the rotation for a while,
// or until its child is ready again.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Config.h"
#include "Store.h"

namespace Tarvikd {

struct ModemStatus {
    std::string name;
    int port = 0;
    std::string state;  // starting, ready, restarting, stopped
    bool inRotation = true;
    std::string model;
    std::string signal;  // the modem's +CSQ answer, such as "23,99"
    std::string lastError;
    int restarts = 0;
    int64_t since = 0;
    int64_t sent = 0;
    int64_t failed = 0;
    int64_t received = 0;
};

class CModemSupervisor;

class CFleet {
public:
    CFleet(const Config& config, IStore& store, std::string program);
    ~CFleet();

    void Start();
    void Stop();
    // New work for the senders: each is woken and looks at the queue at once.
    void Wake();
    uint64_t WakeCount() const { return wakeCount_.load(); }
    std::vector<ModemStatus> Status() const;
    bool AnyReady() const;
    bool Knows(const std::string& modem) const;
    // The modems out of rotation whose messages another modem may take.
    std::vector<std::string> Rerouted(const std::string& except) const;
    // True while every modem's thread makes progress (for the watchdog).
    bool Alive() const;

private:
    friend class CModemSupervisor;
    const Config& config_;
    IStore& store_;
    std::string program_;
    std::vector<std::unique_ptr<CModemSupervisor>> modems_;
    std::atomic<uint64_t> wakeCount_ = 0;
};

}  // namespace Tarvikd
