// Hands each received message on to the configured URL: a POST of its JSON, signed with
// HMAC-SHA256, retried with backoff per message and dead-lettered after the last try.
//
// Signature: X-Tarvik-Signature: sha256=HEX, the HMAC-SHA256 with the secret of
// TIMESTAMP + "." + BODY, where TIMESTAMP is X-Tarvik-Timestamp (seconds since the epoch);
// a receiver checks both and refuses old timestamps to stop replays.
#pragma once

#include <atomic>
#include <string>
#include <thread>

#include "Config.h"
#include "Store.h"

namespace Tarvikd {

std::string SignWebhook(const std::string& secret, const std::string& timestamp,
                        const std::string& body);

class CWebhook {
public:
    CWebhook(const WebhookConfig& config, IDeliveries& store) : config_(config), store_(store) {}
    ~CWebhook() { Stop(); }
    CWebhook(const CWebhook&) = delete;
    CWebhook& operator=(const CWebhook&) = delete;

    void Start();
    void Stop();
    int64_t LastBeat() const { return beat_.load(); }

private:
    void Run();
    // Empty when the receiver took it; else why not.
    std::string Deliver(const Message& message);

    WebhookConfig config_;
    IDeliveries& store_;
    std::thread thread_;
    std::atomic<bool> stop_ = false;
    std::atomic<int64_t> beat_ = 0;
};

}  // namespace Tarvikd
