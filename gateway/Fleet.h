// The modems: one supervised `tarvik serve` child each, restarted with backoff when it
// dies; each sends one queued message at a time and stores what its modem receives before
// acknowledging it to the child. A modem that keeps failing leaves the rotation for a while,
// or until its child is ready again.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Config.h"
#include "Store.h"
#include "link/ServeLink.h"

namespace Tarvikd {

struct ModemStatus {
    std::string name;
    int port = 0;
    std::string device;
    // starting, ready, restarting, stopped; device_gone while its device is away, sim_locked
    // when its SIM refused to start (out of rotation until the daemon starts again)
    std::string state;
    bool inRotation = true;
    std::string model;
    std::string signal;              // the modem's +CSQ answer, such as "23,99"
    TarvikLink::ModemHealth health;  // as the modem last told it
    std::string lastError;
    int restarts = 0;
    int64_t since = 0;
    int64_t sent = 0;
    int64_t failed = 0;
    int64_t received = 0;
};

// The path of the modem's device: the one configured, else the port's entry in port_dir,
// else the device the port number stands for; empty when there is none.
std::string DevicePath(const ModemConfig& modem, const Config& config);
// Home or roaming, or not told (a modem without the query is not refused).
bool Registered(const ModemStatus& status);
// The health as the API and the webhook show it: every field, null where the modem did not
// tell it.
nlohmann::json HealthJson(const TarvikLink::ModemHealth& health);
// Why the modem is out of service, empty when it serves: what a modem.down event says.
std::string DownReason(const ModemStatus& status);

// A modem going out of service or coming back.
struct ModemChange {
    bool down = false;
    std::string reason;  // the down reason; for an up, the one it had
    ModemStatus status;
    int64_t at = 0;  // milliseconds since the epoch
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
    // A modem ready and registered: one that can send.
    bool AnyReady() const;
    // Told of each change from the modems' threads; set before Start.
    void OnChange(std::function<void(const ModemChange&)> onChange) {
        onChange_ = std::move(onChange);
    }
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
    std::function<void(const ModemChange&)> onChange_;
};

}  // namespace Tarvikd
