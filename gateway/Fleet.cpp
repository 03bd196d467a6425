#include "Fleet.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "Log.h"
#include "ModemLink.h"
#include "ModemSender.h"
#include "Rules.h"
#include "serial/PortNames.h"

namespace Tarvikd {

namespace {

using Clock = std::chrono::steady_clock;
using LinkEvent = TarvikLink::Event;
using TarvikLink::EventKind;
using namespace std::chrono_literals;

// An idle sender looks at the queue this often even when nothing woke it: another daemon's
// retry comes due by the clock alone.
constexpr auto kIdleClaim = 500ms;
constexpr auto kStopGrace = 5s;
constexpr auto kStopWait = 3s;
// The longest the modem's thread sleeps without showing the watchdog it is alive.
constexpr auto kBeatEvery = 1s;
constexpr auto kHung = 60s;
// How often a gone device's path is looked for.
constexpr auto kDeviceLook = 500ms;
constexpr int kStorageNearlyFullPercent = 90;

std::string Folder(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::string DevicePath(const ModemConfig& modem, const Config& config) {
    if (!modem.device.empty()) {
        return modem.device;
    }
    return config.portDir.empty() ? serial::PortDevicePath(modem.port)
                                  : config.portDir + "/COM" + std::to_string(modem.port);
}

bool Registered(const ModemStatus& status) {
    const auto& registration = status.health.registration;
    return !registration || *registration == "home" || *registration == "roaming";
}

nlohmann::json HealthJson(const TarvikLink::ModemHealth& health) {
    const auto orNull = [](const auto& value) {
        return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
    };
    return {{"registration", orNull(health.registration)},
            {"operator", orNull(health.operatorName)},
            {"access", orNull(health.access)},
            {"signal_dbm", orNull(health.dbm)},
            {"signal_quality", orNull(health.quality)},
            {"imsi", orNull(health.imsi)},
            {"iccid", orNull(health.iccid)},
            {"sim", orNull(health.sim)},
            {"storage_used", orNull(health.storageUsed)},
            {"storage_total", orNull(health.storageTotal)}};
}

std::string DownReason(const ModemStatus& status) {
    const TarvikLink::ModemHealth& health = status.health;
    if (status.state == "sim_locked") {
        return "sim locked: " + status.lastError;
    }
    if (status.state == "device_gone") {
        return status.lastError;
    }
    if (!status.inRotation) {
        return "out of rotation: " + status.lastError;
    }
    if (!Registered(status)) {
        return "registration " + *health.registration;
    }
    if (health.storageUsed && health.storageTotal && *health.storageTotal > 0 &&
        *health.storageUsed * 100 >= *health.storageTotal * kStorageNearlyFullPercent) {
        return "storage nearly full: " + std::to_string(*health.storageUsed) + " of " +
               std::to_string(*health.storageTotal);
    }
    return {};
}

// One modem's supervisor: starts its child, restarts it with backoff, keeps the modem's
// rotation and status, and runs the child's life on a thread of its own, which sleeps until
// an event, new work, a stop or the next thing due by the clock.
class CModemSupervisor {
public:
    CModemSupervisor(CFleet& fleet, const ModemConfig& config)
        : fleet_(fleet),
          config_(config),
          sender_(fleet.config_, config_, fleet.store_, Host()),
          rotation_(fleet.config_.failuresOutOfRotation, fleet.config_.outOfRotationMs) {
        status_.name = config.name;
        status_.port = config.port;
        status_.device = config.device;
        status_.state = "stopped";
    }
    ~CModemSupervisor() { Stop(); }

    void Start() {
        stop_ = false;
        thread_ = std::thread([this] { Run(); });
    }
    void RequestStop() {
        stop_ = true;
        Notify();
    }
    void Stop() {
        RequestStop();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    // Something happened that the modem's thread must look at.
    void Notify() {
        {
            std::lock_guard hold(wakeLock_);
            ++wakes_;
        }
        wake_.notify_all();
    }

    ModemStatus Status() const {
        std::lock_guard hold(lock_);
        return StatusHeld();
    }
    bool Ready() const {
        std::lock_guard hold(lock_);
        return status_.state == "ready" && Registered(status_);
    }
    bool InRotation(Clock::time_point now) const {
        std::lock_guard hold(lock_);
        return InRotationHeld(now);
    }
    const std::string& Name() const { return config_.name; }
    bool Alive(Clock::time_point now) const {
        return now - Clock::time_point(Clock::duration(beat_.load())) < kHung;
    }

private:
    // How a life of the child ended.
    enum class Ended { NotReady, Ready, SimLocked, DeviceGone };

    // What one life of the child keeps.
    struct Life {
        bool ready = false;
        bool refused = false;    // it speaks a version of the link this daemon does not
        bool simLocked = false;  // its start failed at the SIM: a person must act
        bool gone = false;       // its device went away
        Clock::time_point stopAt{};
        Clock::time_point nextClaim{};
        Clock::time_point nextStatus{};
        uint64_t wakeSeen = 0;
        std::string ended;
    };

    CModemSender::Host Host() {
        CModemSender::Host host;
        host.rerouted = [this] { return fleet_.Rerouted(config_.name); };
        host.failure = [this](const std::string& why) { Failure(why, false); };
        host.finished = [this](Outcome outcome) {
            std::lock_guard hold(lock_);
            if (outcome == Outcome::Sent) {
                rotation_.Success();
            }
            status_.sent += outcome == Outcome::Sent ? 1 : 0;
            status_.failed += outcome == Outcome::Failed ? 1 : 0;
        };
        host.wake = [this] { fleet_.Wake(); };
        return host;
    }

    // Under lock_.
    bool InRotationHeld(Clock::time_point now) const {
        return rotation_.In(SteadyMs(now)) && status_.state != "device_gone" &&
               status_.state != "sim_locked";
    }
    ModemStatus StatusHeld() const {
        ModemStatus status = status_;
        status.inRotation = InRotationHeld(Clock::now());
        return status;
    }

    void Beat() {
        beat_ = Clock::now().time_since_epoch().count();
        Watch();
    }

    // Tells the fleet when the modem went out of service or came back.
    void Watch() {
        if (!fleet_.onChange_) {
            return;
        }
        ModemChange change;
        {
            std::lock_guard hold(lock_);
            change.status = StatusHeld();
            const std::string reason = DownReason(change.status);
            if (reason.empty() != down_.empty()) {
                change.down = !reason.empty();
                change.reason = change.down ? reason : down_;
                down_ = reason;
            } else {
                return;
            }
        }
        change.at = NowMs();
        Log(change.down ? Level::Warning : Level::Info,
            "modem " + config_.name + (change.down ? " down: " : " up again after: ") +
                change.reason);
        fleet_.onChange_(change);
    }

    void SetState(const std::string& state, const std::string& error = {}) {
        std::lock_guard hold(lock_);
        if (status_.state != state) {
            status_.state = state;
            status_.since = NowMs();
        }
        if (!error.empty()) {
            status_.lastError = error;
        }
    }

    // A refused message, or a start that failed (`atStart`).
    void Failure(const std::string& why, bool atStart) {
        std::lock_guard hold(lock_);
        status_.lastError = why;
        if (rotation_.Failure(SteadyMs(Clock::now()), atStart)) {
            Log(Level::Warning, "modem " + config_.name + " out of rotation for " +
                                    std::to_string(fleet_.config_.outOfRotationMs) + " ms: " + why);
        }
    }

    uint64_t Wakes() {
        std::lock_guard hold(wakeLock_);
        return wakes_;
    }

    // Sleeps until `until`, a notification after `seen`, or a stop.
    void WaitUntil(Clock::time_point until, uint64_t seen) {
        std::unique_lock hold(wakeLock_);
        wake_.wait_until(hold, std::min(until, Clock::now() + kBeatEvery),
                         [&] { return wakes_ != seen || stop_; });
    }

    // Sleeps for `length`, waking early at a stop.
    void Pause(Clock::duration length) {
        const auto until = Clock::now() + length;
        while (!stop_ && Clock::now() < until) {
            Beat();
            WaitUntil(until, Wakes());
        }
    }

    void Run() {
        const Config& config = fleet_.config_;
        int restarts = 0;  // in a row, for the backoff
        bool first = true;
        bool backOff = true;
        while (!stop_) {
            if (!first) {
                if (backOff) {
                    SetState("restarting");
                    // A child this daemon cannot speak to is tried again only slowly.
                    Pause(std::chrono::milliseconds(
                        versionRefused_
                            ? config.restartMaxMs
                            : Backoff(config.restartBaseMs, config.restartMaxMs, ++restarts)));
                }
                if (stop_) {
                    break;
                }
                std::lock_guard hold(lock_);
                ++status_.restarts;
            }
            first = false;
            while (!stop_ && !sender_.Settle()) {
                Pause(1s);
            }
            AwaitDevice();
            if (stop_) {
                break;
            }
            const Ended ended = RunChild();
            if (ended == Ended::SimLocked) {
                // Starting again would only spend the SIM's tries: it waits for a person.
                while (!stop_) {
                    Pause(kBeatEvery);
                }
                break;
            }
            restarts = ended == Ended::NotReady ? restarts : 0;
            // A device that comes back is started at once; one that cannot be watched is
            // tried with the backoff.
            backOff = ended != Ended::DeviceGone || LinePath().empty();
        }
        if (!sender_.Settle()) {
            Log(Level::Warning, "modem " + config_.name + ": message " +
                                    std::to_string(sender_.OwedId()) +
                                    " stays claimed: its lease or the next start settles it");
        }
        SetState("stopped");
    }

    std::string LinePath() const { return DevicePath(config_, fleet_.config_); }

    // Waits, out of rotation, while the modem's device is not there.
    void AwaitDevice() {
        const std::string path = LinePath();
        if (path.empty() || access(path.c_str(), F_OK) == 0) {
            return;
        }
        SetState("device_gone", "device gone: waiting for " + path + " to come back");
        Log(Level::Warning, "modem " + config_.name + ": waiting for " + path);
        while (!stop_ && access(path.c_str(), F_OK) != 0) {
            Pause(kDeviceLook);
        }
        if (!stop_) {
            Log(Level::Info, "modem " + config_.name + ": " + path + " is back");
        }
    }

    std::vector<std::string> ChildEnvironment() const {
        const Config& config = fleet_.config_;
        std::vector<std::string> env;
        // A database URL has no folder: the state directory the service unit makes.
        const std::string journalDir = !config.journalDir.empty()    ? config.journalDir
                                       : IsServerStore(config.store) ? "/var/lib/tarvik"
                                                                     : Folder(config.store);
        env.push_back("TARVIK_INBOX_JOURNAL=" + journalDir + "/" + config_.name + ".journal");
        // Texts cross the pipe in the local code page: UTF-8, whatever the service's locale,
        // so that no character outside ASCII becomes a question mark.
        env.push_back("LC_ALL=C.UTF-8");
        if (!config.portDir.empty()) {
            env.push_back("TARVIK_PORT_DIR=" + config.portDir);
        }
        // Never on the command line, where any user's ps shows it.
        if (config_.pin) {
            env.push_back("TARVIK_PIN=" + *config_.pin);
        }
        for (const char* keep :
             {"PATH", "HOME", "TMPDIR", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
            if (const char* value = std::getenv(keep)) {
                env.push_back(std::string(keep) + "=" + value);
            }
        }
        return env;
    }

    // One life of the child.
    Ended RunChild() {
        SetState("starting");
        CModemLink link(config_.name, [this] { Notify(); });
        std::string why;
        if (!link.Start(fleet_.program_, config_, fleet_.config_.reassemblyTimeoutMs,
                        ChildEnvironment(), why)) {
            Log(Level::Error, "modem " + config_.name + ": cannot start tarvik: " + why);
            Failure(why, true);
            return Ended::NotReady;
        }
        Life life;
        while (Step(link, life)) {
        }
        const std::string exit =
            link.Finish(life.stopAt == Clock::time_point{} || !link.WaitEnd(kStopWait));
        sender_.ChildEnded(exit);
        why = "tarvik serve " + exit + (life.ended.empty() ? "" : ": " + life.ended);
        versionRefused_ = life.refused;
        life.gone = life.gone || link.ExitCode() == TarvikLink::kExitDeviceGone;
        if (stop_) {
            return life.ready ? Ended::Ready : Ended::NotReady;
        }
        Log(Level::Warning, "modem " + config_.name + ": " + why);
        if (life.simLocked) {
            SetState("sim_locked", startError_);
            Log(Level::Error, "modem " + config_.name +
                                  ": out of rotation until tarvikd starts again: " + startError_);
            return Ended::SimLocked;
        }
        if (life.gone && !LinePath().empty()) {
            SetState("device_gone", "device gone: waiting for " + LinePath() + " to come back");
            return Ended::DeviceGone;
        }
        if (!life.ready) {
            Failure(startError_.empty() ? why : startError_, true);
        } else {
            SetState("restarting", why);
        }
        return life.gone ? Ended::DeviceGone : life.ready ? Ended::Ready : Ended::NotReady;
    }

    // One turn of the child's life; false when it ends.
    bool Step(CModemLink& link, Life& life) {
        const uint64_t seen = Wakes();
        const auto now = Clock::now();
        Beat();
        if (stop_ && life.stopAt == Clock::time_point{}) {
            life.stopAt = now;
        }
        // At a stop the message under way is given a moment to finish.
        if (life.stopAt != Clock::time_point{} &&
            (!sender_.Busy() || now - life.stopAt > kStopGrace)) {
            link.Write(TarvikLink::Op::Stop);
            return false;
        }
        sender_.SettleIfDue(now);
        if (CanClaim(life, now) && !life.gone &&
            (fleet_.WakeCount() != life.wakeSeen || now >= life.nextClaim ||
             sender_.RetryDue(now))) {
            life.wakeSeen = fleet_.WakeCount();
            life.nextClaim = now + kIdleClaim;
            if (!sender_.SendNext(link)) {
                life.ended = "it stopped reading";
                return false;
            }
        }
        if (life.ready && now >= life.nextStatus) {
            life.nextStatus = now + std::chrono::milliseconds(fleet_.config_.statusEveryMs);
            link.Write(TarvikLink::Op::Status);
        }
        if (sender_.Silent(now)) {
            life.ended =
                "it said nothing for " + std::to_string(CModemSender::kSilentLimit.count()) + " s";
            return false;
        }
        if (!TakeEvents(link, life)) {
            return false;
        }
        WaitUntil(NextDue(life, now), seen);
        return true;
    }

    bool CanClaim(const Life& life, Clock::time_point now) const {
        return life.ready && life.stopAt == Clock::time_point{} && !sender_.Busy() &&
               !sender_.Owes() && InRotation(now);
    }

    Clock::time_point NextDue(const Life& life, Clock::time_point now) const {
        auto due = now + kBeatEvery;
        if (life.ready) {
            due = std::min(due, life.nextStatus);
        }
        if (CanClaim(life, now)) {
            due = std::min(due, life.nextClaim);
        } else if (life.ready && !InRotation(now)) {
            std::lock_guard hold(lock_);
            due = std::min(due, Clock::time_point(std::chrono::milliseconds(rotation_.Until())));
        }
        if (life.stopAt != Clock::time_point{}) {
            due = std::min(due, life.stopAt + kStopGrace);
        }
        const auto sender = sender_.Due();
        return sender && *sender < due ? *sender : due;
    }

    // False when the child must go.
    bool TakeEvents(CModemLink& link, Life& life) {
        LinkEvent event;
        CModemLink::Take take;
        while ((take = link.Next(event)) == CModemLink::Take::Event) {
            const bool wasBusy = sender_.Busy();
            if (sender_.OnEvent(event, link)) {
                if (wasBusy && !sender_.Busy()) {
                    life.nextClaim = Clock::now();  // the next message at once
                }
            } else if (!Handle(link, event, life)) {
                return false;
            }
        }
        return take == CModemLink::Take::None;
    }

    // An event not about the message in flight; false when the child must go.
    bool Handle(CModemLink& link, const LinkEvent& event, Life& life) {
        switch (event.kind) {
            case EventKind::Ready:
                if (!TarvikLink::Speaks(event.version)) {
                    startError_ = "tarvik serve speaks version " + std::to_string(event.version) +
                                  " of the link and this tarvikd " +
                                  std::to_string(TarvikLink::kOldestVersion) + " to " +
                                  std::to_string(TarvikLink::kVersion) +
                                  ": install the tarvik of this tarvikd's release";
                    Log(Level::Error, "modem " + config_.name + ": " + startError_);
                    SetState("starting", startError_);
                    life.refused = true;
                    return false;
                }
                life.ready = true;
                life.nextStatus =
                    Clock::now() + std::chrono::milliseconds(fleet_.config_.statusEveryMs);
                startError_.clear();
                {
                    std::lock_guard hold(lock_);
                    rotation_.Ready();
                }
                SetState("ready");
                return true;
            case EventKind::Modem: {
                std::lock_guard hold(lock_);
                status_.model = event.modem.model;
                status_.signal = event.modem.signal;
                status_.health = event.health;
                return true;
            }
            case EventKind::Message:
                return Received(link, event);
            case EventKind::StatusReport:
                return Reported(link, event);
            case EventKind::Error:
                life.simLocked = life.simLocked || event.code == TarvikLink::Code::SimLocked;
                life.gone = life.gone || event.code == TarvikLink::Code::DeviceGone;
                if (!life.ready) {
                    startError_ = event.error;
                    SetState("starting", startError_);
                }
                return true;
            default:
                return true;
        }
    }

    // Stored first; only then may the child let it go (the modem keeps it no longer). False
    // when the child no longer reads.
    bool Reported(CModemLink& link, const LinkEvent& event) {
        if (!event.reference || !event.status) {
            return Acknowledged(link, event.key);
        }
        if (sender_.Owes()) {
            // Its part's reference may wait there: the child gives the report again.
            Log(Level::Info, "modem " + config_.name + ": a delivery report for reference " +
                                 std::to_string(*event.reference) +
                                 " waits for the outcomes the store has yet to take");
            return true;
        }
        ReportResult result = ReportResult::Unmatched;
        try {
            result = fleet_.store_.RecordReport({config_.name, *event.reference, event.number,
                                                 *event.status, event.scTime, event.dischargeTime},
                                                NowMs());
        } catch (const std::exception& e) {
            // Unacknowledged, the child gives it again.
            Log(Level::Error, "modem " + config_.name + ": store: " + e.what() +
                                  "; a delivery report for reference " +
                                  std::to_string(*event.reference) + " waits for it");
            return true;
        }
        if (result == ReportResult::Unmatched) {
            Log(Level::Info, "modem " + config_.name + ": a delivery report for reference " +
                                 std::to_string(*event.reference) + " matched no message");
        } else if (result == ReportResult::Final) {
            fleet_.Wake();
        }
        return Acknowledged(link, event.key);
    }

    // A report of a child that holds none has no key.
    static bool Acknowledged(CModemLink& link, const std::string& key) {
        if (key.empty()) {
            return true;
        }
        TarvikLink::Request ack;
        ack.op = TarvikLink::Op::Ack;
        ack.key = key;
        return link.Write(ack);
    }

    bool Received(CModemLink& link, const LinkEvent& event) {
        ReceiveResult result = ReceiveResult::Seen;
        try {
            Incoming message{config_.name, event.key, event.number, event.time,
                             event.text,   1,         true,         {}};
            if (event.parts > 1) {
                message.parts = event.parts;
                message.complete = event.complete.value_or(event.missing.empty());
                message.missing = event.missing;
            }
            result = fleet_.store_.Receive(message, fleet_.config_.webhook.has_value(), NowMs());
        } catch (const std::exception& e) {
            // Unacknowledged, the child gives it again.
            Log(Level::Error, "modem " + config_.name + ": store: " + e.what());
            return true;
        }
        if (result == ReceiveResult::New) {
            std::lock_guard hold(lock_);
            ++status_.received;
        }
        if (!Acknowledged(link, event.key)) {
            return false;
        }
        if (result != ReceiveResult::Seen) {
            fleet_.Wake();
        }
        return true;
    }

    CFleet& fleet_;
    ModemConfig config_;
    CModemSender sender_;
    std::thread thread_;
    std::atomic<bool> stop_ = false;
    mutable std::mutex lock_;  // the status and the rotation: other threads ask about them
    CRotation rotation_;
    // Steady-clock ticks: the thread's last turn.
    std::atomic<Clock::rep> beat_ = Clock::now().time_since_epoch().count();
    std::string startError_;
    bool versionRefused_ = false;
    std::string down_;  // why the modem was last told down; empty while it serves
    std::mutex wakeLock_;
    std::condition_variable wake_;
    uint64_t wakes_ = 0;
    ModemStatus status_;
};

CFleet::CFleet(const Config& config, IStore& store, std::string program)
    : config_(config), store_(store), program_(std::move(program)) {
    for (const ModemConfig& modem : config.modems) {
        modems_.push_back(std::make_unique<CModemSupervisor>(*this, modem));
    }
    // Work another daemon queued on a shared store.
    store_.SetWake([this] { Wake(); });
}

CFleet::~CFleet() {
    store_.SetWake({});
    Stop();
}

void CFleet::Start() {
    std::vector<std::string> names;
    for (const ModemConfig& modem : config_.modems) {
        names.push_back(modem.name);
    }
    try {
        store_.HoldModems(names);
    } catch (const std::exception& e) {
        // Its own API still knows them; the others learn at its next start.
        Log(Level::Warning, std::string("store: the modems held are not recorded: ") + e.what());
    }
    for (auto& modem : modems_) {
        modem->Start();
    }
}

void CFleet::Stop() {
    for (auto& modem : modems_) {
        modem->RequestStop();
    }
    for (auto& modem : modems_) {
        modem->Stop();
    }
}

void CFleet::Wake() {
    ++wakeCount_;
    for (auto& modem : modems_) {
        modem->Notify();
    }
}

std::vector<ModemStatus> CFleet::Status() const {
    std::vector<ModemStatus> all;
    for (const auto& modem : modems_) {
        all.push_back(modem->Status());
    }
    return all;
}

bool CFleet::AnyReady() const {
    return std::any_of(modems_.begin(), modems_.end(), [](const auto& m) { return m->Ready(); });
}

bool CFleet::Knows(const std::string& name) const {
    return std::any_of(modems_.begin(), modems_.end(),
                       [&](const auto& m) { return m->Name() == name; }) ||
           store_.HeldElsewhere(name);
}

std::vector<std::string> CFleet::Rerouted(const std::string& except) const {
    std::vector<std::string> names;
    if (!config_.reroute) {
        return names;
    }
    const auto now = Clock::now();
    for (const auto& modem : modems_) {
        if (modem->Name() != except && !modem->InRotation(now)) {
            names.push_back(modem->Name());
        }
    }
    return names;
}

bool CFleet::Alive() const {
    const auto now = Clock::now();
    return std::all_of(modems_.begin(), modems_.end(),
                       [&](const auto& m) { return m->Alive(now); });
}

}  // namespace Tarvikd
