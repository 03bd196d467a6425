// What every store shares: the choice of store from the configuration, the states' names,
// the payload of the events published of a message, and the store as logs show it.
#include <libpq-fe.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>

#include "Store.h"

namespace Tarvikd {

namespace {

// The options libpq takes from a connection string; null when it is none.
using Options = std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)>;

Options ParseConninfo(const std::string& text) {
    char* error = nullptr;
    Options options(PQconninfoParse(text.c_str(), &error), &PQconninfoFree);
    PQfreemem(error);
    return options;
}

bool HasPassword(const Options& options) {
    for (const PQconninfoOption* o = options.get(); o != nullptr && o->keyword != nullptr; ++o) {
        if (std::strcmp(o->keyword, "password") == 0 && o->val != nullptr && *o->val != '\0') {
            return true;
        }
    }
    return false;
}

// key=value form again, each value quoted as libpq reads it, the password as ***.
std::string ConninfoShown(const Options& options) {
    std::string shown;
    for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
        if (o->val == nullptr) {
            continue;
        }
        std::string value = std::strcmp(o->keyword, "password") == 0 ? "***" : o->val;
        std::string quoted;
        for (const char c : value) {
            quoted += c == '\'' || c == '\\' ? std::string("\\") + c : std::string(1, c);
        }
        shown += (shown.empty() ? "" : " ") + std::string(o->keyword) + "='" + quoted + "'";
    }
    return shown;
}

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

const char* ToString(PartState state) {
    return state == PartState::Writing    ? "writing"
           : state == PartState::Accepted ? "accepted"
                                          : "refused";
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
        payload["event"] = message.revision > 0 ? kEventUpdated : kEventReceived;
        payload["parts"] = std::max(message.parts, 1);
        payload["complete"] = message.complete;
        payload["missing"] = message.missing;
    } else {
        payload["asked_modem"] = message.modem;
        payload["parts"] = message.parts;
        payload["parts_accepted"] = message.partsAccepted;
        payload["concatenated"] = message.concatenated;
        payload["delivery"] = message.delivery;
        payload["delivered_at"] = message.deliveredAt;
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
    const std::size_t scheme = store.find("://");
    if (scheme == std::string::npos) {
        // A key=value connection string; a file's path is none and is shown as it is.
        const Options options = ParseConninfo(store);
        return options && HasPassword(options) ? ConninfoShown(options) : store;
    }
    // A URL: the password between user and host, and a password among the parameters, each
    // parameter read by libpq alone so that an encoded name is recognised too.
    const std::size_t question = store.find('?', scheme + 3);
    const std::size_t hostEnd = std::min(store.find('/', scheme + 3), question);
    const std::size_t at = store.rfind('@', std::min(hostEnd, store.size()));
    const std::size_t colon = store.find(':', scheme + 3);
    const std::string query = question == std::string::npos ? "" : store.substr(question + 1);
    std::string shown = store.substr(0, question);
    if (at != std::string::npos && at > scheme && colon < at) {
        shown.replace(colon + 1, at - colon - 1, "***");
    }
    if (question == std::string::npos) {
        return shown;
    }
    std::string parameters;
    std::size_t start = 0;
    while (start <= query.size()) {
        const std::size_t end = std::min(query.find('&', start), query.size());
        std::string parameter = query.substr(start, end - start);
        if (HasPassword(ParseConninfo("postgresql://?" + parameter))) {
            parameter = parameter.substr(0, parameter.find('=')) + "=***";
        }
        parameters += (start == 0 ? "" : "&") + parameter;
        start = end + 1;
    }
    return shown + "?" + parameters;
}

}  // namespace Tarvikd
