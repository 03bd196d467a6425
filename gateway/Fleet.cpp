#include "Fleet.h"

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "Child.h"
#include "Log.h"

namespace Tarvikd {

namespace {

using Json = nlohmann::json;

constexpr int kPollMs = 50;
// An idle sender looks at the queue this often even when nothing woke it: a retry comes
// due by the clock alone.
constexpr int64_t kIdleClaimMs = 500;
// A child that has a message and says nothing for this long is taken for hung.
constexpr int64_t kSilentChildMs = 600000;
constexpr int64_t kStopGraceMs = 5000;
// How often an outcome the store refused is offered again.
constexpr int64_t kOwedRetryMs = 1000;

std::string Dump(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string Folder(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// The first line of a modem's reply that is its answer: neither the echo, a result, nor
// a status line of the modem's own.
std::string AnswerLine(const std::string& reply, const std::string& tag) {
    std::size_t at = 0;
    while (at < reply.size()) {
        std::size_t end = reply.find_first_of("\r\n", at);
        if (end == std::string::npos) {
            end = reply.size();
        }
        std::string line = reply.substr(at, end - at);
        at = end + 1;
        if (line.empty()) {
            continue;
        }
        if (!tag.empty()) {
            if (line.rfind(tag, 0) == 0) {
                return line.substr(tag.size());
            }
            continue;
        }
        if (line.rfind("AT", 0) == 0 || line == "OK" || line.find("ERROR") != std::string::npos ||
            line[0] == '+' || line[0] == '^') {
            continue;
        }
        return line;
    }
    return {};
}

}  // namespace

class CModem {
public:
    CModem(CFleet& fleet, const ModemConfig& config) : fleet_(fleet), config_(config) {
        status_.name = config.name;
        status_.port = config.port;
        status_.state = "stopped";
    }
    ~CModem() { Stop(); }
    CModem(const CModem&) = delete;
    CModem& operator=(const CModem&) = delete;

    void Start() {
        stop_ = false;
        thread_ = std::thread([this] { Run(); });
    }
    void RequestStop() { stop_ = true; }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    ModemStatus Status() const {
        std::lock_guard hold(statusLock_);
        ModemStatus status = status_;
        status.inRotation = InRotation(NowMs());
        return status;
    }
    bool Ready() const {
        std::lock_guard hold(statusLock_);
        return status_.state == "ready";
    }
    bool InRotation(int64_t now) const { return now >= outUntil_.load(); }
    const std::string& Name() const { return config_.name; }
    int64_t LastBeat() const { return beat_.load(); }

private:
    void SetState(const std::string& state, const std::string& error = {}) {
        std::lock_guard hold(statusLock_);
        if (status_.state != state) {
            status_.state = state;
            status_.since = NowMs();
        }
        if (!error.empty()) {
            status_.lastError = error;
        }
    }

    void Failure(const std::string& why) {
        const Config& config = fleet_.config_;
        {
            std::lock_guard hold(statusLock_);
            status_.lastError = why;
        }
        if (++failuresInRow_ >= config.failuresOutOfRotation) {
            outUntil_ = NowMs() + config.outOfRotationMs;
            failuresInRow_ = 0;
            Log(Level::Warning, "modem " + config_.name + " out of rotation for " +
                                    std::to_string(config.outOfRotationMs) + " ms: " + why);
        }
    }

    // Sleeps up to `ms`, waking early at a stop.
    void Pause(int64_t ms) {
        const int64_t until = NowMs() + ms;
        while (!stop_ && NowMs() < until) {
            beat_ = NowMs();
            std::this_thread::sleep_for(
                std::chrono::milliseconds(std::min<int64_t>(50, until - NowMs() + 1)));
        }
    }

    void Run() {
        const Config& config = fleet_.config_;
        int delayMs = config.restartBaseMs;
        bool first = true;
        while (!stop_) {
            if (!first) {
                SetState("restarting");
                Pause(delayMs);
                delayMs = std::min(delayMs * 2, config.restartMaxMs);
                if (stop_) {
                    break;
                }
                std::lock_guard hold(statusLock_);
                ++status_.restarts;
            }
            first = false;
            while (!stop_ && !Settle()) {
                Pause(kOwedRetryMs);
            }
            if (RunChild()) {
                delayMs = config.restartBaseMs;
            }
        }
        if (!Settle()) {
            Log(Level::Warning, "modem " + config_.name + ": message " + std::to_string(owed_->id) +
                                    " stays claimed: its lease or the next start settles it");
        }
        SetState("stopped");
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
        for (const char* keep :
             {"PATH", "HOME", "TMPDIR", "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
            if (const char* value = std::getenv(keep)) {
                env.push_back(std::string(keep) + "=" + value);
            }
        }
        return env;
    }

    // One life of the child; true when it got its modem ready.
    bool RunChild() {
        SetState("starting");
        // A child that died mid-submission, in this daemon's life or before it, may have
        // left the modem waiting for a message body.
        CancelPendingEntry(PortDevice(fleet_.config_.portDir, config_.port), config_.baud);
        // The modem's answer to ESC, if any, comes before the child opens the port.
        Pause(100);
        CChild child;
        std::string why;
        if (!child.Start(fleet_.program_,
                         {"serve", "--port", std::to_string(config_.port), "--baud",
                          std::to_string(config_.baud), "--ack"},
                         ChildEnvironment(), why)) {
            Log(Level::Error, "modem " + config_.name + ": cannot start tarvik: " + why);
            Failure(why);
            return false;
        }
        {
            std::lock_guard hold(statusLock_);
            status_.pid = child.Pid();
        }
        bool ready = false;
        inFlight_ = Flight{};
        int64_t lastClaim = 0;
        uint64_t wakeSeen = 0;
        int64_t nextStatus = 0;
        int64_t stopAt = 0;
        std::string ended;
        while (true) {
            const int64_t now = NowMs();
            beat_ = now;
            if (stop_ && stopAt == 0) {
                stopAt = now;
            }
            // At a stop the message under way is given a moment to finish.
            if (stopAt != 0 && (inFlight_.id == 0 || now - stopAt > kStopGraceMs)) {
                child.WriteLine(R"({"op":"stop"})");
                break;
            }
            if (owed_ && now >= owedRetryAt_) {
                Settle();
            }
            if (ready && stopAt == 0 && inFlight_.id == 0 && !owed_ && InRotation(now)) {
                const uint64_t wake = fleet_.WakeCount();
                if (wake != wakeSeen || now - lastClaim >= kIdleClaimMs) {
                    wakeSeen = wake;
                    lastClaim = now;
                    if (!SendNext(child, now)) {
                        ended = "it stopped reading";
                        break;
                    }
                }
            }
            if (ready && now >= nextStatus) {
                nextStatus = now + fleet_.config_.statusEveryMs;
                child.WriteLine(R"({"op":"at","id":"signal","command":"AT+CSQ"})");
            }
            if (inFlight_.id != 0 && now - inFlight_.lastEvent > kSilentChildMs) {
                ended = "it said nothing for " + std::to_string(kSilentChildMs / 1000) + " s";
                break;
            }
            std::string line;
            const CChild::Read read = child.ReadLine(line, kPollMs);
            if (read == CChild::Read::Ended) {
                break;
            }
            if (read == CChild::Read::Line) {
                if (!Handle(child, line, ready)) {
                    break;
                }
            }
        }
        const std::string exit = child.Finish(stopAt == 0 || !WaitEnd(child));
        if (inFlight_.id != 0) {
            // Once the child may have read the request, it may have gone out: even before
            // its "queued" the library's worker may have taken it. Never sent again by itself.
            Owe({inFlight_.id, Outcome::Unknown,
                 "the modem's child ended (" + exit + ") while it had the message", inFlight_.parts,
                 inFlight_.accepted, 0, NowMs()});
            inFlight_ = Flight{};
            fleet_.Wake();
        }
        why = "tarvik serve " + exit + (ended.empty() ? "" : ": " + ended);
        {
            std::lock_guard hold(statusLock_);
            status_.pid = 0;
        }
        if (!stop_) {
            Log(Level::Warning, "modem " + config_.name + ": " + why);
            if (!ready) {
                Failure(startError_.empty() ? why : startError_);
            } else {
                SetState("restarting", why);
            }
        }
        return ready;
    }

    bool WaitEnd(CChild& child) {
        const int64_t until = NowMs() + 3000;
        std::string line;
        while (NowMs() < until) {
            if (child.ReadLine(line, kPollMs) == CChild::Read::Ended) {
                return true;
            }
        }
        return false;
    }

    // False when the child no longer takes requests.
    bool SendNext(CChild& child, int64_t now) {
        std::optional<Claimed> claimed;
        try {
            claimed = fleet_.store_.Claim(config_.name, fleet_.Rerouted(config_.name), now);
        } catch (const std::exception& e) {
            Log(Level::Error, std::string("store: ") + e.what());
            return true;
        }
        if (!claimed) {
            return true;
        }
        try {
            fleet_.store_.MarkSubmitted(claimed->id, now);
        } catch (const std::exception& e) {
            // Not handed over unrecorded: it goes back, once the store takes that.
            Log(Level::Error, std::string("store: ") + e.what());
            Owe({claimed->id, Outcome::Released, "the store was away at the hand-over", 0, 0, 0,
                 NowMs()});
            return true;
        }
        inFlight_ = Flight{claimed->id, claimed->attempts, false, 0, 0, now};
        Json request = {{"op", "send"},
                        {"id", "m" + std::to_string(claimed->id)},
                        {"number", claimed->number},
                        {"text", claimed->text}};
        if (config_.prefix) {
            request["prefix"] = *config_.prefix;
        }
        if (!child.WriteLine(Dump(request))) {
            // Never read: it goes back to the queue as it was.
            Owe({claimed->id, Outcome::Released, "the modem's child had gone", 0, 0, 0, NowMs()});
            inFlight_ = Flight{};
            return false;
        }
        return true;
    }

    void Finished(Outcome outcome, const std::string& detail) {
        const Config& config = fleet_.config_;
        const int64_t now = NowMs();
        int64_t nextAt = 0;
        if (outcome == Outcome::Retry) {
            if (inFlight_.attempts >= config.sendAttempts) {
                outcome = Outcome::Failed;
            } else {
                int64_t delay = config.retryBaseMs;
                for (int i = 1; i < inFlight_.attempts && delay < config.retryMaxMs; ++i) {
                    delay *= 2;
                }
                nextAt = now + std::min<int64_t>(delay, config.retryMaxMs);
            }
        }
        Owe({inFlight_.id, outcome, detail, inFlight_.parts, inFlight_.accepted, nextAt, now});
        std::lock_guard hold(statusLock_);
        if (outcome == Outcome::Sent) {
            ++status_.sent;
        } else if (outcome == Outcome::Failed) {
            ++status_.failed;
        }
        inFlight_ = Flight{};
    }

    // False when the child must go.
    bool Handle(CChild& child, const std::string& line, bool& ready) {
        Json event;
        try {
            event = Json::parse(line);
        } catch (const Json::exception&) {
            Log(Level::Warning, "modem " + config_.name + ": not an event: " + line);
            return true;
        }
        if (!event.is_object() || !event.contains("event") || !event["event"].is_string()) {
            return true;
        }
        const std::string kind = event["event"];
        const std::string id =
            event.contains("id") && event["id"].is_string() ? event["id"].get<std::string>() : "";
        const int64_t now = NowMs();
        try {
            if (kind == "ready") {
                ready = true;
                failuresInRow_ = 0;
                startError_.clear();
                SetState("ready");
                child.WriteLine(R"({"op":"at","id":"model","command":"AT+CGMM"})");
            } else if (kind == "message") {
                const std::string key = event.value("key", "");
                const bool inserted = fleet_.store_.StoreReceived(
                    config_.name, key, event.value("number", ""), event.value("time", ""),
                    event.value("text", ""), fleet_.config_.webhook.has_value(), now);
                if (inserted) {
                    std::lock_guard hold(statusLock_);
                    ++status_.received;
                }
                // Only now, with the message committed, may the child let it go.
                if (!child.WriteLine(Dump({{"op", "ack"}, {"key", key}}))) {
                    return false;
                }
                if (inserted) {
                    fleet_.Wake();
                }
            } else if (kind == "reply") {
                const std::string reply = event.value("reply", "");
                std::lock_guard hold(statusLock_);
                if (id == "model") {
                    status_.model = AnswerLine(reply, "");
                } else if (id == "signal") {
                    status_.signal = AnswerLine(reply, "+CSQ: ");
                }
            } else if (!id.empty() && id[0] == 'm' && inFlight_.id != 0 &&
                       id == "m" + std::to_string(inFlight_.id)) {
                inFlight_.lastEvent = now;
                if (kind == "queued") {
                    inFlight_.queued = true;
                } else if (kind == "report") {
                    const bool accepted = event.value("result", "") == "accepted";
                    const int part = event.value("part", 0);
                    inFlight_.parts = std::max(inFlight_.parts, part);
                    inFlight_.accepted += accepted ? 1 : 0;
                    fleet_.store_.RecordPart(inFlight_.id, part, accepted, event.value("error", ""),
                                             now);
                } else if (kind == "sent") {
                    inFlight_.parts = event.value("parts", inFlight_.parts);
                    inFlight_.accepted = event.value("accepted", inFlight_.accepted);
                    if (inFlight_.accepted == inFlight_.parts) {
                        failuresInRow_ = 0;
                        Finished(Outcome::Sent, std::to_string(inFlight_.parts) +
                                                    " part(s) on modem " + config_.name);
                    } else if (inFlight_.accepted == 0) {
                        Failure("refused a message");
                        Finished(Outcome::Retry, "the modem refused it: " + LastPartError());
                    } else {
                        // Sending it again would repeat the parts that went.
                        Failure("refused part of a message");
                        Finished(Outcome::Failed,
                                 std::to_string(inFlight_.parts - inFlight_.accepted) + " of " +
                                     std::to_string(inFlight_.parts) +
                                     " parts refused: " + LastPartError());
                    }
                } else if (kind == "error") {
                    const std::string error = event.value("error", "");
                    if (inFlight_.queued) {
                        Finished(Outcome::Unknown, error);
                    } else if (error.rfind("not queued", 0) == 0) {
                        Finished(Outcome::Released, error);
                    } else {
                        Finished(Outcome::Failed, error);
                    }
                }
            } else if (kind == "error" && !ready) {
                startError_ = event.value("error", "");
                SetState("starting", startError_);
            }
        } catch (const std::exception& e) {
            // The store refused: what the child holds stays unacknowledged, and it gives
            // it again.
            Log(Level::Error, "modem " + config_.name + ": store: " + e.what());
        }
        return true;
    }

    // The end of an attempt goes to the store before the next claim; while the store is
    // away it waits here and is tried again, so that what happened is never lost or redone.
    struct Owed {
        int64_t id = 0;
        Outcome outcome = Outcome::Unknown;
        std::string detail;
        int parts = 0;
        int accepted = 0;
        int64_t nextAt = 0;
        int64_t at = 0;
    };
    void Owe(Owed owed) {
        owed_ = std::move(owed);
        owedSince_ = NowMs();
        Settle();
    }
    // True when nothing is owed any more.
    bool Settle() {
        if (!owed_) {
            return true;
        }
        try {
            fleet_.store_.Finish(owed_->id, owed_->outcome, owed_->detail, owed_->parts,
                                 owed_->accepted, owed_->nextAt, owed_->at);
            owed_.reset();
            return true;
        } catch (const std::exception& e) {
            if (owedRetryAt_ <= owedSince_) {
                Log(Level::Error, "modem " + config_.name + ": store: " + e.what() + "; message " +
                                      std::to_string(owed_->id) +
                                      "'s outcome kept until it is back");
            }
            owedRetryAt_ = NowMs() + kOwedRetryMs;
            return false;
        }
    }

    std::string LastPartError() {
        try {
            if (const auto message = fleet_.store_.Get(inFlight_.id)) {
                for (auto it = message->history.rbegin(); it != message->history.rend(); ++it) {
                    if (it->state == "part" && it->detail.find("refused: ") != std::string::npos) {
                        return it->detail.substr(it->detail.find("refused: ") + 9);
                    }
                }
            }
        } catch (const std::exception&) {
        }
        return "no reason given";
    }

    struct Flight {
        int64_t id = 0;
        int attempts = 0;
        bool queued = false;
        int parts = 0;
        int accepted = 0;
        int64_t lastEvent = 0;
    };

    CFleet& fleet_;
    ModemConfig config_;
    std::thread thread_;
    std::atomic<bool> stop_ = false;
    std::atomic<int64_t> outUntil_ = 0;
    std::atomic<int64_t> beat_ = 0;
    int failuresInRow_ = 0;
    std::string startError_;
    Flight inFlight_;
    std::optional<Owed> owed_;
    int64_t owedRetryAt_ = 0;
    int64_t owedSince_ = 0;  // logged once per outcome, not at every retry
    mutable std::mutex statusLock_;
    ModemStatus status_;
};

CFleet::CFleet(const Config& config, IStore& store, std::string program)
    : config_(config), store_(store), program_(std::move(program)) {
    for (const ModemConfig& modem : config.modems) {
        modems_.push_back(std::make_unique<CModem>(*this, modem));
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
    std::lock_guard hold(wakeLock_);
    ++wakeCount_;
}

uint64_t CFleet::WakeCount() const {
    std::lock_guard hold(wakeLock_);
    return wakeCount_;
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
    const int64_t now = NowMs();
    for (const auto& modem : modems_) {
        if (modem->Name() != except && !modem->InRotation(now)) {
            names.push_back(modem->Name());
        }
    }
    return names;
}

bool CFleet::Alive(int64_t now) const {
    return std::all_of(modems_.begin(), modems_.end(),
                       [&](const auto& m) { return now - m->LastBeat() < 60000; });
}

}  // namespace Tarvikd
