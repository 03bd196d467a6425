// What every store shares: the choice of store from the configuration, and the payload of
// the events published of a message.
#include <algorithm>

#include <nlohmann/json.hpp>

#include "Store.h"

namespace Tarvikd {

std::string EventPayload(const Message& message, const std::string& daemon,
                         const std::string& detail, int64_t at) {
    nlohmann::ordered_json payload = {
        {"id", message.id},
        {"direction", message.direction},
        {"state", message.state},
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
