// What every store shares: the choice of store from the configuration, the states' names,
// and the payload of the events published of a message.
#include <algorithm>

#include <nlohmann/json.hpp>

#include "Store.h"

namespace Tarvikd {

namespace {

constexpr const char* kMessageStates[] = {"queued",  "sending",   "sent",    "failed",
                                          "unknown", "cancelled", "received"};
constexpr const char* kWebhookStates[] = {"", "pending", "delivered", "dead"};

template <typename State, std::size_t N>
std::optional<State> Named(const char* const (&names)[N], const std::string& name) {
    for (std::size_t i = 0; i < N; ++i) {
        if (name == names[i]) {
            return static_cast<State>(i);
        }
    }
    return std::nullopt;
}

}  // namespace

const char* ToString(MessageState state) {
    return kMessageStates[static_cast<std::size_t>(state)];
}

const char* ToString(WebhookState state) {
    return kWebhookStates[static_cast<std::size_t>(state)];
}

std::optional<MessageState> MessageStateNamed(const std::string& name) {
    return Named<MessageState>(kMessageStates, name);
}

std::optional<WebhookState> WebhookStateNamed(const std::string& name) {
    return Named<WebhookState>(kWebhookStates, name);
}

std::string EventPayload(const Message& message, const std::string& daemon,
                         const std::string& detail, int64_t at) {
    nlohmann::ordered_json payload = {
        {"id", message.id},
        {"direction", message.direction},
        {"state", ToString(message.state)},
        {"daemon", daemon},
        {"modem", message.direction == "in" ? message.modem : message.via},
        {"number", message.number},
        {"text", message.text},
        {"at", at}};
    if (message.direction == "in") {
        payload["key"] = message.key;
        payload["time"] = message.sentTime;
    } else {
        payload["asked_modem"] = message.modem;
        payload["parts"] = message.parts;
        payload["parts_accepted"] = message.partsAccepted;
        payload["detail"] = detail;
    }
    // Replacement rather than an exception for text that is no UTF-8: an event is never
    // refused for its content.
    return payload.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::unique_ptr<IStore> OpenStore(const std::string& store, const StoreOptions& options,
                                  std::string& error) {
    if (IsServerStore(store)) {
        return OpenPgStore(store, error, options);
    }
    return OpenSqliteStore(store, error, options);
}

bool IsServerStore(const std::string& store) {
    return store.rfind("postgresql://", 0) == 0 || store.rfind("postgres://", 0) == 0;
}

std::string StoreShown(const std::string& store) {
    std::string shown = store;
    const std::size_t scheme = shown.find("://");
    if (scheme == std::string::npos) {
        return shown;
    }
    const std::size_t hostEnd = std::min(shown.find('/', scheme + 3), shown.size());
    const std::size_t at = shown.rfind('@', hostEnd);
    const std::size_t colon = shown.find(':', scheme + 3);
    if (at != std::string::npos && at > scheme && colon < at) {
        shown.replace(colon + 1, at - colon - 1, "***");
    }
    return shown;
}

}  // namespace Tarvikd
