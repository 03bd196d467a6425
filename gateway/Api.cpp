#include "Api.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <charconv>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Log.h"

namespace Tarvikd {

namespace {

using Json = nlohmann::json;

constexpr std::size_t kMaxBody = 65536;
constexpr std::size_t kMaxText = 1000;  // characters; the library cuts them into parts
constexpr int kDefaultPage = 100;
constexpr int kMaxPage = 1000;

std::string Dump(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

CApi::Reply Error(unsigned status, const std::string& why) {
    return {status, Dump({{"error", why}}) + "\n", "application/json", ""};
}

CApi::Reply Ok(unsigned status, const Json& body) {
    return {status, Dump(body) + "\n", "application/json", ""};
}

// Compares in time that does not depend on where the texts differ.
bool SameSecret(const std::string& a, const std::string& b) {
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
    }
    return difference == 0 && !b.empty();
}

std::optional<int64_t> Number(const std::string& text) {
    int64_t value = 0;
    const auto [end, failed] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || failed != std::errc() || end != text.data() + text.size() || value < 0) {
        return std::nullopt;
    }
    return value;
}

std::map<std::string, std::string> QueryMap(const std::string& query) {
    std::map<std::string, std::string> values;
    std::istringstream parts(query);
    std::string part;
    while (std::getline(parts, part, '&')) {
        const std::size_t equals = part.find('=');
        values[part.substr(0, equals)] = equals == std::string::npos ? "" : part.substr(equals + 1);
    }
    return values;
}

std::size_t Utf8Length(const std::string& text) {
    std::size_t count = 0;
    for (const char c : text) {
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

Json MessageJson(const Message& m, bool withHistory) {
    Json out = {{"id", m.id},
                {"direction", m.direction},
                {"state", ToString(m.state)},
                {"created_at", m.createdAt},
                {"updated_at", m.updatedAt}};
    if (m.direction == "out") {
        out["to"] = m.number;
        out["text"] = m.text;
        out["modem"] = m.modem.empty() ? Json(nullptr) : Json(m.modem);
        out["via"] = m.via.empty() ? Json(nullptr) : Json(m.via);
        out["attempts"] = m.attempts;
        out["parts"] = m.parts;
        out["parts_accepted"] = m.partsAccepted;
        out["error"] = m.error.empty() ? Json(nullptr) : Json(m.error);
        if (m.state == MessageState::Queued && m.attempts > 0) {
            out["next_attempt_at"] = m.nextAt;
        }
    } else {
        out["from"] = m.number;
        out["text"] = m.text;
        out["modem"] = m.modem;
        out["key"] = m.key;
        out["time"] = m.sentTime;
        if (m.webhookState != WebhookState::None) {
            out["webhook"] = {
                {"state", ToString(m.webhookState)},
                {"attempts", m.webhookAttempts},
                {"error", m.webhookError.empty() ? Json(nullptr) : Json(m.webhookError)}};
        }
    }
    if (withHistory) {
        Json history = Json::array();
        for (const HistoryEntry& entry : m.history) {
            history.push_back({{"at", entry.at}, {"state", entry.state}, {"detail", entry.detail}});
        }
        out["history"] = history;
    }
    return out;
}

std::string Metric(const std::string& name, const std::string& labels, int64_t value) {
    return name + (labels.empty() ? "" : "{" + labels + "}") + " " + std::to_string(value) + "\n";
}

struct Upload {
    std::string body;
    bool tooLarge = false;
};

}  // namespace

struct CApi::Server {
    MHD_Daemon* daemon = nullptr;
};

CApi::CApi(const Config& config, IStore& store, CFleet& fleet, const CMqtt* mqtt)
    : config_(config),
      store_(store),
      fleet_(fleet),
      mqtt_(mqtt),
      server_(std::make_unique<Server>()) {}

CApi::~CApi() {
    Stop();
}

CApi::Reply CApi::Handle(const std::string& method, const std::string& path,
                         const std::string& query, const std::string& authorization,
                         const std::string& idempotencyKey, const std::string& body) {
    if (path == "/healthz") {
        return Ok(200, {{"status", "ok"}});
    }
    if (path == "/readyz") {
        if (!store_.Reachable()) {
            return Ok(503, {{"status", "the store is not available"}});
        }
        return fleet_.AnyReady() ? Ok(200, {{"status", "ready"}})
                                 : Ok(503, {{"status", "no modem is ready"}});
    }
    const bool known = path == "/metrics" || path == "/v1/modems" || path == "/v1/messages" ||
                       path.rfind("/v1/messages/", 0) == 0;
    if (!known) {
        return Error(404, "no such resource: " + path);
    }
    std::string apiKey;
    if (authorization.rfind("Bearer ", 0) == 0) {
        const std::string given = authorization.substr(7);
        for (const std::string& key : config_.apiKeys) {
            if (SameSecret(given, key)) {
                apiKey = key;
            }
        }
    }
    if (apiKey.empty()) {
        Reply reply =
            Error(401, authorization.empty() ? "an API key is needed: Authorization: Bearer KEY"
                                             : "the API key is not known");
        reply.extraHeader = "WWW-Authenticate: Bearer";
        return reply;
    }
    try {
        if (path == "/metrics") {
            if (method != "GET") {
                return Error(405, "/metrics takes GET");
            }
            const Counts counts = store_.Count();
            std::string text;
            text += "# HELP tarvikd_outgoing Outgoing messages by modem and state.\n";
            text += "# TYPE tarvikd_outgoing gauge\n";
            for (const auto& [where, count] : counts.out) {
                text +=
                    Metric("tarvikd_outgoing",
                           "modem=\"" + where.first + "\",state=\"" + where.second + "\"", count);
            }
            text += "# HELP tarvikd_received Received messages by modem.\n";
            text += "# TYPE tarvikd_received counter\n";
            for (const auto& [modem, count] : counts.in) {
                text += Metric("tarvikd_received", "modem=\"" + modem + "\"", count);
            }
            text += "# HELP tarvikd_webhook Webhook deliveries of received messages by state.\n";
            text += "# TYPE tarvikd_webhook gauge\n";
            for (const auto& [state, count] : counts.webhooks) {
                text += Metric("tarvikd_webhook", "state=\"" + state + "\"", count);
            }
            text += "# HELP tarvikd_modem_ready 1 when the modem is set up and in rotation.\n";
            text += "# TYPE tarvikd_modem_ready gauge\n";
            for (const ModemStatus& modem : fleet_.Status()) {
                const std::string label = "modem=\"" + modem.name + "\"";
                text += Metric("tarvikd_modem_ready", label,
                               modem.state == "ready" && modem.inRotation ? 1 : 0);
                text += Metric("tarvikd_modem_restarts", label, modem.restarts);
            }
            if (mqtt_ != nullptr) {
                text += "# HELP tarvikd_mqtt_pending Events the broker has not acknowledged.\n";
                text += "# TYPE tarvikd_mqtt_pending gauge\n";
                text += Metric("tarvikd_mqtt_pending", "", counts.events);
                text += "# HELP tarvikd_mqtt_connected 1 while the broker has the connection.\n";
                text += "# TYPE tarvikd_mqtt_connected gauge\n";
                text += Metric("tarvikd_mqtt_connected", "", mqtt_->Connected() ? 1 : 0);
            }
            return {200, text, "text/plain; version=0.0.4", ""};
        }
        if (path == "/v1/modems") {
            if (method != "GET") {
                return Error(405, "/v1/modems takes GET");
            }
            Json modems = Json::array();
            for (const ModemStatus& m : fleet_.Status()) {
                modems.push_back(
                    {{"name", m.name},
                     {"port", m.port},
                     {"state", m.state},
                     {"in_rotation", m.inRotation},
                     {"model", m.model},
                     {"signal", m.signal},
                     {"last_error", m.lastError.empty() ? Json(nullptr) : Json(m.lastError)},
                     {"restarts", m.restarts},
                     {"since", m.since},
                     {"sent", m.sent},
                     {"failed", m.failed},
                     {"received", m.received}});
            }
            return Ok(200, {{"modems", modems}});
        }
        if (path == "/v1/messages") {
            if (method == "GET") {
                auto values = QueryMap(query);
                const std::string direction = values["direction"];
                if (direction != "in" && direction != "out") {
                    return Error(400, "direction takes in or out");
                }
                int64_t after = 0;
                if (values.count("after") != 0) {
                    const auto cursor = Number(values["after"]);
                    if (!cursor) {
                        return Error(400, "after takes the cursor of the page before");
                    }
                    after = *cursor;
                }
                int limit = kDefaultPage;
                if (values.count("limit") != 0) {
                    const auto number = Number(values["limit"]);
                    if (!number || *number < 1 || *number > kMaxPage) {
                        return Error(400, "limit takes 1 to " + std::to_string(kMaxPage));
                    }
                    limit = static_cast<int>(*number);
                }
                const std::vector<Message> messages = store_.List(direction, after, limit);
                Json list = Json::array();
                for (const Message& m : messages) {
                    list.push_back(MessageJson(m, false));
                }
                Json next = nullptr;
                if (static_cast<int>(messages.size()) == limit) {
                    next = std::to_string(messages.back().id);
                }
                return Ok(200, {{"messages", list}, {"next", next}});
            }
            if (method != "POST") {
                return Error(405, "/v1/messages takes GET and POST");
            }
            Json request;
            try {
                request = Json::parse(body);
            } catch (const Json::exception& e) {
                return Error(400, std::string("the body is not JSON: ") + e.what());
            }
            if (!request.is_object()) {
                return Error(400, "the body is a JSON object: {\"to\", \"text\", \"modem\"?}");
            }
            for (const auto& [key, value] : request.items()) {
                if (key != "to" && key != "text" && key != "modem") {
                    return Error(400, "unknown field \"" + key + "\"");
                }
            }
            if (!request.contains("to") || !request["to"].is_string()) {
                return Error(400, "\"to\" takes the number as a string");
            }
            if (!request.contains("text") || !request["text"].is_string()) {
                return Error(400, "\"text\" takes the message as a string");
            }
            EnqueueRequest enqueue;
            enqueue.apiKey = apiKey;
            enqueue.number = request["to"];
            enqueue.text = request["text"];
            const std::string digits =
                enqueue.number.substr(enqueue.number.rfind('+', 0) == 0 ? 1 : 0);
            if (digits.size() < 3 || digits.size() > 20 ||
                digits.find_first_not_of("0123456789") != std::string::npos) {
                return Error(400,
                             "\"to\" takes 3 to 20 digits, with + before an international number");
            }
            if (enqueue.text.empty()) {
                return Error(400, "\"text\" is empty: nothing to send");
            }
            if (enqueue.text.find('\0') != std::string::npos ||
                Utf8Length(enqueue.text) > kMaxText) {
                return Error(400,
                             "\"text\" takes 1 to " + std::to_string(kMaxText) + " characters");
            }
            if (request.contains("modem") && !request["modem"].is_null()) {
                if (!request["modem"].is_string() || !fleet_.Knows(request["modem"])) {
                    return Error(400, "\"modem\" names no configured modem");
                }
                enqueue.modem = request["modem"];
            }
            if (idempotencyKey.size() > 200) {
                return Error(400, "Idempotency-Key takes up to 200 characters");
            }
            enqueue.idempotencyKey = idempotencyKey;
            enqueue.fingerprint =
                Dump({{"to", enqueue.number}, {"text", enqueue.text}, {"modem", enqueue.modem}});
            const EnqueueResult result = store_.Enqueue(enqueue, NowMs());
            if (result.conflict) {
                return Error(409, "this Idempotency-Key was used for another message (id " +
                                      std::to_string(result.id) + ")");
            }
            if (!result.replayed) {
                fleet_.Wake();
            }
            Reply reply = Ok(202, {{"id", result.id}});
            if (result.replayed) {
                reply.extraHeader = "Idempotent-Replayed: true";
            }
            return reply;
        }
        // /v1/messages/{id}
        const auto id = Number(path.substr(std::strlen("/v1/messages/")));
        if (!id) {
            return Error(404, "a message id is a number");
        }
        if (method == "GET") {
            const auto message = store_.Get(*id);
            if (!message) {
                return Error(404, "no message " + std::to_string(*id));
            }
            return Ok(200, MessageJson(*message, true));
        }
        if (method == "DELETE") {
            switch (store_.Cancel(*id, NowMs())) {
                case CancelResult::Cancelled:
                    return Ok(200, {{"id", *id}, {"state", "cancelled"}});
                case CancelResult::NotFound:
                    return Error(404, "no outgoing message " + std::to_string(*id));
                case CancelResult::NotCancellable: {
                    const auto message = store_.Get(*id);
                    return Error(409, "message " + std::to_string(*id) + " is " +
                                          (message ? ToString(message->state) : "gone") +
                                          ": only a queued message can be cancelled");
                }
            }
        }
        return Error(405, "a message takes GET and DELETE");
    } catch (const StoreUnavailable& e) {
        Log(Level::Error, std::string("store: ") + e.what());
        return Error(503, "the store is not available");
    } catch (const std::exception& e) {
        // Not worth a retry by the client as a 503 would tell it: the log has the store's why.
        Log(Level::Error, std::string("store: ") + e.what());
        return Error(500, "the store could not do it; the daemon's log tells why");
    }
}

namespace {

MHD_Result Answer(void* context, MHD_Connection* connection, const char* url, const char* method,
                  const char* /*version*/, const char* data, size_t* size, void** state) {
    auto* api = static_cast<CApi*>(context);
    auto* upload = static_cast<Upload*>(*state);
    if (upload == nullptr) {
        *state = new Upload();
        return MHD_YES;
    }
    if (*size != 0) {
        if (upload->body.size() + *size > kMaxBody) {
            upload->tooLarge = true;
        } else {
            upload->body.append(data, *size);
        }
        *size = 0;
        return MHD_YES;
    }
    CApi::Reply reply;
    if (upload->tooLarge) {
        reply = Error(413, "the body is larger than " + std::to_string(kMaxBody) + " bytes");
    } else {
        const auto header = [&](const char* name) {
            const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
            return std::string(value != nullptr ? value : "");
        };
        std::string query;
        MHD_get_connection_values(
            connection, MHD_GET_ARGUMENT_KIND,
            [](void* out, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
                auto& text = *static_cast<std::string*>(out);
                text += (text.empty() ? "" : "&") + std::string(key) + "=" +
                        (value != nullptr ? value : "");
                return MHD_YES;
            },
            &query);
        reply = api->Handle(method, url, query, header(MHD_HTTP_HEADER_AUTHORIZATION),
                            header("Idempotency-Key"), upload->body);
    }
    MHD_Response* response = MHD_create_response_from_buffer(
        reply.body.size(), const_cast<char*>(reply.body.data()), MHD_RESPMEM_MUST_COPY);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.c_str());
    if (!reply.extraHeader.empty()) {
        const std::size_t colon = reply.extraHeader.find(": ");
        MHD_add_response_header(response, reply.extraHeader.substr(0, colon).c_str(),
                                reply.extraHeader.substr(colon + 2).c_str());
    }
    const MHD_Result queued = MHD_queue_response(connection, reply.status, response);
    MHD_destroy_response(response);
    return queued;
}

void Completed(void* /*context*/, MHD_Connection* /*connection*/, void** state,
               MHD_RequestTerminationCode /*code*/) {
    delete static_cast<Upload*>(*state);
    *state = nullptr;
}

}  // namespace

bool CApi::Start(std::string& why) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(config_.httpPort));
    if (inet_pton(AF_INET, config_.listen.c_str(), &address.sin_addr) != 1) {
        why = "listen takes an IPv4 address, such as 127.0.0.1, not " + config_.listen;
        return false;
    }
    server_->daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, static_cast<uint16_t>(config_.httpPort),
        nullptr, nullptr, &Answer, this, MHD_OPTION_SOCK_ADDR, &address,
        MHD_OPTION_THREAD_POOL_SIZE, 4u, MHD_OPTION_NOTIFY_COMPLETED, &Completed, nullptr,
        MHD_OPTION_CONNECTION_TIMEOUT, 30u, MHD_OPTION_END);
    if (server_->daemon == nullptr) {
        why = "cannot listen on " + config_.listen + ":" + std::to_string(config_.httpPort) +
              " (in use, or not allowed)";
        return false;
    }
    return true;
}

void CApi::Stop() {
    if (server_ && server_->daemon != nullptr) {
        MHD_stop_daemon(server_->daemon);
        server_->daemon = nullptr;
    }
}

}  // namespace Tarvikd
