#include "Webhook.h"

#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "Log.h"

namespace Tarvikd {

namespace {

constexpr int kIdleMs = 200;

size_t Discard(char* /*data*/, size_t size, size_t count, void* /*context*/) {
    return size * count;
}

}  // namespace

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

void CWebhook::Start() {
    stop_ = false;
    beat_ = NowMs();
    thread_ = std::thread([this] { Run(); });
}

void CWebhook::Stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void CWebhook::Run() {
    while (!stop_) {
        const int64_t now = NowMs();
        beat_ = now;
        std::optional<Message> message;
        try {
            message = store_.NextWebhook(now);
        } catch (const std::exception& e) {
            Log(Level::Error, std::string("store: ") + e.what());
        }
        if (!message) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kIdleMs));
            continue;
        }
        const std::string error = Deliver(*message);
        const int tries = message->webhookAttempts + 1;
        const bool dead = !error.empty() && tries >= config_.maxAttempts;
        int64_t delay = config_.retryBaseMs;
        for (int i = 1; i < tries && delay < config_.retryMaxMs; ++i) {
            delay *= 2;
        }
        try {
            store_.FinishWebhook(message->id, error.empty(), dead, error,
                                 NowMs() + std::min<int64_t>(delay, config_.retryMaxMs), NowMs());
        } catch (const std::exception& e) {
            Log(Level::Error, std::string("store: ") + e.what());
        }
        if (dead) {
            Log(Level::Warning, "webhook: message " + std::to_string(message->id) +
                                    " dead-lettered after " + std::to_string(tries) +
                                    " tries: " + error);
        }
    }
}

std::string CWebhook::Deliver(const Message& message) {
    const nlohmann::json payload = {{"id", message.id},
                                    {"modem", message.modem},
                                    {"key", message.key},
                                    {"from", message.number},
                                    {"time", message.sentTime},
                                    {"text", message.text},
                                    {"received_at", message.createdAt}};
    const std::string body = payload.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    const std::string timestamp = std::to_string(NowMs() / 1000);
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        return "cannot make an HTTP request";
    }
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Content-Type: application/json");
    headers = curl_slist_append(headers, ("X-Tarvik-Timestamp: " + timestamp).c_str());
    headers = curl_slist_append(
        headers,
        ("X-Tarvik-Signature: sha256=" + SignWebhook(config_.secret, timestamp, body)).c_str());
    headers =
        curl_slist_append(headers, ("X-Tarvik-Message: " + std::to_string(message.id)).c_str());
    curl_easy_setopt(curl, CURLOPT_URL, config_.url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(config_.timeoutMs));
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

}  // namespace Tarvikd
