#include "Publishers.h"

#include <curl/curl.h>
#include <mosquitto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>

#include "Rules.h"

namespace Tarvikd {

namespace {

constexpr int kIdleMs = 200;
constexpr int kBusyMs = 10;
constexpr int kBatch = 100;
constexpr int kKeepaliveS = 30;
constexpr int kConnackMs = 10000;
constexpr int kFirstBackoffMs = 500;
constexpr int kMaxBackoffMs = 30000;

size_t Discard(char* /*data*/, size_t size, size_t count, void* /*context*/) {
    return size * count;
}

}  // namespace

void CPublisher::Start() {
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

void CPublisher::Stop() {
    {
        std::lock_guard hold(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void CPublisher::Wait(int ms) {
    std::unique_lock hold(lock_);
    wake_.wait_for(hold, std::chrono::milliseconds(ms), [this] { return stop_.load() || woken_; });
    woken_ = false;
}

void CPublisher::WakeUp() {
    {
        std::lock_guard hold(lock_);
        woken_ = true;
    }
    wake_.notify_all();
}

std::string SignWebhook(const std::string& secret, const std::string& timestamp,
                        const std::string& body) {
    const std::string signed_ = timestamp + "." + body;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
         reinterpret_cast<const unsigned char*>(signed_.data()), signed_.size(), digest, &length);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 0x0F];
    }
    return hex;
}

void CWebhook::Run() {
    while (!stop_) {
        const int64_t now = NowMs();
        beat_ = now;
        std::optional<Message> message;
        if (!StoreCall([&] { message = store_.NextWebhook(now); }) || !message) {
            Wait(kIdleMs);
            continue;
        }
        const std::string error = Deliver(*message);
        const int tries = message->webhookAttempts + 1;
        const bool dead = !error.empty() && tries >= config_.maxAttempts;
        const int64_t delay = Backoff(config_.retryBaseMs, config_.retryMaxMs, tries);
        StoreCall([&] {
            store_.FinishWebhook(message->id, error.empty(), dead, error, NowMs() + delay, NowMs());
        });
        if (dead) {
            Log(Level::Warning, "webhook: message " + std::to_string(message->id) +
                                    " dead-lettered after " + std::to_string(tries) +
                                    " tries: " + error);
        }
    }
}

std::string PostSigned(const WebhookConfig& config, const std::string& body,
                       const std::vector<std::string>& extra) {
    const std::string timestamp = std::to_string(NowMs() / 1000);
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        return "cannot make an HTTP request";
    }
    std::vector<std::string> all = {
        "Content-Type: application/json", "X-Tarvik-Timestamp: " + timestamp,
        "X-Tarvik-Signature: sha256=" + SignWebhook(config.secret, timestamp, body)};
    all.insert(all.end(), extra.begin(), extra.end());
    curl_slist* headers = nullptr;
    for (const std::string& header : all) {
        headers = curl_slist_append(headers, header.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_URL, config.url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(config.timeoutMs));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Discard);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    const CURLcode result = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    if (result != CURLE_OK) {
        return curl_easy_strerror(result);
    }
    if (status < 200 || status > 299) {
        return "the receiver answered " + std::to_string(status);
    }
    return {};
}

// An outgoing message's end as the webhook is told it.
nlohmann::json OutgoingBody(const Message& message, const std::string& event) {
    return {{"id", message.id},
            {"event", event},
            {"modem", message.via},
            {"to", message.number},
            {"text", message.text},
            {"state", ToString(message.state)},
            {"error", message.error},
            {"parts", message.parts},
            {"delivery", message.delivery},
            {"delivered_at", message.deliveredAt},
            {"created_at", message.createdAt},
            {"updated_at", message.updatedAt}};
}

std::string CWebhook::Deliver(const Message& message) {
    const std::string event =
        message.webhookEvent.empty() ? std::string(kEventReceived) : message.webhookEvent;
    if (message.direction == "out") {
        return PostSigned(
            config_,
            OutgoingBody(message, event)
                .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
            {"X-Tarvik-Message: " + std::to_string(message.id), "X-Tarvik-Event: " + event});
    }
    const nlohmann::json payload = {{"id", message.id},
                                    {"event", event},
                                    {"modem", message.modem},
                                    {"key", message.key},
                                    {"from", message.number},
                                    {"time", message.sentTime},
                                    {"text", message.text},
                                    {"parts", std::max(message.parts, 1)},
                                    {"complete", message.complete},
                                    {"missing", message.missing},
                                    {"received_at", message.createdAt},
                                    {"updated_at", message.updatedAt}};
    return PostSigned(
        config_, payload.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
        {"X-Tarvik-Message: " + std::to_string(message.id), "X-Tarvik-Event: " + event});
}

std::string ModemChangeBody(const ModemChange& change) {
    const ModemStatus& status = change.status;
    const nlohmann::json payload = {{"event", change.down ? kModemDown : kModemUp},
                                    {"modem", status.name},
                                    {"reason", change.reason},
                                    {"state", status.state},
                                    {"in_rotation", status.inRotation},
                                    {"at", change.at},
                                    {"health", HealthJson(status.health)}};
    return payload.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void CModemEvents::Tell(const ModemChange& change) {
    if (!config_.Wants(change.down ? kModemDown : kModemUp)) {
        return;
    }
    {
        std::lock_guard hold(queueLock_);
        queue_.push_back(change);
    }
    WakeUp();
}

void CModemEvents::Run() {
    int tries = 0;
    while (!stop_) {
        std::optional<ModemChange> next;
        {
            std::lock_guard hold(queueLock_);
            if (!queue_.empty()) {
                next = queue_.front();
            }
        }
        if (!next) {
            Wait(kIdleMs);
            continue;
        }
        const std::string error =
            PostSigned(config_, ModemChangeBody(*next),
                       {std::string("X-Tarvik-Event: ") + (next->down ? kModemDown : kModemUp)});
        if (error.empty() || ++tries >= config_.maxAttempts) {
            if (!error.empty()) {
                Log(Level::Warning, "webhook: modem " + next->status.name +
                                        " event dropped after " + std::to_string(tries) +
                                        " tries: " + error);
            }
            tries = 0;
            std::lock_guard hold(queueLock_);
            queue_.pop_front();
            continue;
        }
        Wait(static_cast<int>(Backoff(config_.retryBaseMs, config_.retryMaxMs, tries)));
    }
}

CMqtt::CMqtt(const MqttConfig& config, IDeliveries& store) : CPublisher(store), config_(config) {
    mosquitto_lib_init();
}

CMqtt::~CMqtt() {
    Stop();
    mosquitto_lib_cleanup();
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
    mosquitto_connect_callback_set(session_, [](mosquitto*, void* self, int code) {
        auto* mqtt = static_cast<CMqtt*>(self);
        if (code == 0) {
            mqtt->connected_ = true;
        } else {
            mqtt->refused_ = code;
        }
    });
    mosquitto_publish_callback_set(session_, [](mosquitto*, void* self, int mid) {
        auto* mqtt = static_cast<CMqtt*>(self);
        if (const auto it = mqtt->sent_.find(mid); it != mqtt->sent_.end()) {
            mqtt->acked_.push_back(it->second);
            mqtt->sent_.erase(it);
        }
    });
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
    // Refused, they stay in the store and go out again: a duplicate, never a loss.
    StoreCall([&] { store_.EventsPublished(acked_); });
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
}

int CMqtt::PublishPending() {
    std::vector<Event> events;
    if (!StoreCall([&] { events = store_.PendingEvents(kBatch); })) {
        return 0;
    }
    int published = 0;
    for (const Event& event : events) {
        // Published and not yet acknowledged: the acknowledged were settled before this.
        if (std::any_of(sent_.begin(), sent_.end(),
                        [&](const auto& sent) { return sent.second == event.id; })) {
            continue;
        }
        int mid = 0;
        const std::string topic = config_.topicPrefix + "/" + event.daemon + "/" +
                                  (event.modem.empty() ? "-" : event.modem) + "/" + event.direction;
        const int code =
            mosquitto_publish(session_, &mid, topic.c_str(), static_cast<int>(event.payload.size()),
                              event.payload.data(), 1, false);
        if (code != MOSQ_ERR_SUCCESS) {
            return -1;
        }
        sent_[mid] = event.id;
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
