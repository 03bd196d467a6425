#include "Mqtt.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "Log.h"

namespace Tarvikd {

namespace {

constexpr int kIdleMs = 200;
constexpr int kBusyMs = 10;
constexpr int kBatch = 100;
constexpr int kKeepaliveS = 30;
constexpr int kConnackMs = 10000;
constexpr int kFirstBackoffMs = 500;
constexpr int kMaxBackoffMs = 30000;

}  // namespace

std::string EventTopic(const std::string& prefix, const Event& event) {
    return prefix + "/" + event.daemon + "/" + (event.modem.empty() ? "-" : event.modem) + "/" +
           event.direction;
}

void CMqtt::Start() {
    mosquitto_lib_init();
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

void CMqtt::Stop() {
    {
        std::lock_guard hold(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
        mosquitto_lib_cleanup();
    }
}

void CMqtt::Wait(int ms) {
    std::unique_lock hold(lock_);
    wake_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return stop_.load(); });
}

void CMqtt::OnConnect(mosquitto* /*session*/, void* self, int code) {
    auto* mqtt = static_cast<CMqtt*>(self);
    if (code == 0) {
        mqtt->connected_ = true;
    } else {
        mqtt->refused_ = code;
    }
}

void CMqtt::OnPublish(mosquitto* /*session*/, void* self, int mid) {
    auto* mqtt = static_cast<CMqtt*>(self);
    const auto it = mqtt->sent_.find(mid);
    if (it != mqtt->sent_.end()) {
        mqtt->acked_.push_back(it->second);
        mqtt->sent_.erase(it);
    }
}

bool CMqtt::Connect(std::string& why) {
    // A new session each time: nothing of a lost one lingers in the library's queue, and
    // what it had in flight is taken from the store again.
    session_ = mosquitto_new(config_.clientId.c_str(), true, this);
    if (session_ == nullptr) {
        why = "out of memory";
        return false;
    }
    refused_ = 0;
    mosquitto_connect_callback_set(session_, &CMqtt::OnConnect);
    mosquitto_publish_callback_set(session_, &CMqtt::OnPublish);
    if (!config_.username.empty()) {
        mosquitto_username_pw_set(session_, config_.username.c_str(),
                                  config_.password.empty() ? nullptr : config_.password.c_str());
    }
    const int code = mosquitto_connect(session_, config_.host.c_str(), config_.port, kKeepaliveS);
    if (code != MOSQ_ERR_SUCCESS) {
        why = code == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(code);
        Drop();
        return false;
    }
    return true;
}

void CMqtt::Settle() {
    if (acked_.empty()) {
        return;
    }
    try {
        store_.EventsPublished(acked_);
    } catch (const std::exception& e) {
        // They stay in the store and go out again: a duplicate, never a loss.
        Log(Level::Error, std::string("store: ") + e.what());
    }
    for (const int64_t id : acked_) {
        inFlight_.erase(id);
    }
    acked_.clear();
}

void CMqtt::Drop() {
    Settle();
    if (session_ != nullptr) {
        mosquitto_destroy(session_);
        session_ = nullptr;
    }
    connected_ = false;
    sent_.clear();
    inFlight_.clear();
}

int CMqtt::PublishPending() {
    std::vector<Event> events;
    try {
        events = store_.PendingEvents(kBatch);
    } catch (const std::exception& e) {
        Log(Level::Error, std::string("store: ") + e.what());
        return 0;
    }
    int published = 0;
    for (const Event& event : events) {
        if (inFlight_.count(event.id) != 0) {
            continue;
        }
        int mid = 0;
        const std::string topic = EventTopic(config_.topicPrefix, event);
        const int code =
            mosquitto_publish(session_, &mid, topic.c_str(), static_cast<int>(event.payload.size()),
                              event.payload.data(), 1, false);
        if (code != MOSQ_ERR_SUCCESS) {
            return -1;
        }
        sent_[mid] = event.id;
        inFlight_.insert(event.id);
        ++published;
    }
    return published;
}

std::string CMqtt::LoopFault(int code, int64_t connectingSince) const {
    std::string why;
    if (refused_ != 0) {
        why = mosquitto_connack_string(refused_);
    } else if (code != MOSQ_ERR_SUCCESS) {
        why = mosquitto_strerror(code);
    } else if (!connected_ && NowMs() - connectingSince > kConnackMs) {
        why = "no answer to the connection";
    }
    if (!why.empty() && why.back() == '.') {
        why.pop_back();
    }
    return why;
}

void CMqtt::BackOff(const std::string& what, bool& down, int& backoffMs) {
    if (!down) {
        Log(Level::Warning, "mqtt: " + what);
        down = true;
    }
    Wait(backoffMs);
    backoffMs = std::min(backoffMs * 2, kMaxBackoffMs);
}

void CMqtt::Run() {
    const std::string broker = config_.host + ":" + std::to_string(config_.port);
    int backoffMs = kFirstBackoffMs;
    bool down = false;  // told already; said again only after a connection
    int64_t connectingSince = 0;
    int64_t nextPoll = 0;
    bool busy = false;
    while (!stop_) {
        std::string why;
        if (session_ == nullptr) {
            if (!Connect(why)) {
                BackOff("cannot reach " + broker + ": " + why + "; the events wait in the store",
                        down, backoffMs);
                continue;
            }
            connectingSince = NowMs();
        }
        const bool wasConnected = connected_;
        const int code = mosquitto_loop(session_, busy ? kBusyMs : kIdleMs, 1);
        if (why = LoopFault(code, connectingSince); !why.empty()) {
            Drop();
            BackOff(broker + ": " + why + "; connecting again", down, backoffMs);
            busy = false;
            continue;
        }
        if (!connected_) {
            continue;
        }
        const int64_t now = NowMs();
        if (!wasConnected) {
            Log(Level::Info, "mqtt: connected to " + broker);
            down = false;
            backoffMs = kFirstBackoffMs;
            nextPoll = now;
        }
        if (!acked_.empty()) {
            Settle();
            nextPoll = now;
        }
        if (now >= nextPoll) {
            const int published = PublishPending();
            if (published < 0) {
                continue;  // the next loop tells why
            }
            busy = published > 0;
            nextPoll = busy ? now : now + kIdleMs;
        }
    }
    if (session_ != nullptr && connected_) {
        mosquitto_disconnect(session_);
    }
    Drop();
}

}  // namespace Tarvikd
