#include "Api.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "Log.h"
#include "codec/Text.h"
#include "engine/ModelTable.h"
#include "service/Segmentation.h"

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
    return {status, Dump({{"error", why}}) + "\n", "application/json", "", {}};
}

CApi::Reply Ok(unsigned status, const Json& body) {
    return {status, Dump(body) + "\n", "application/json", "", {}};
}

std::optional<int64_t> Number(const std::string& text) {
    int64_t value = 0;
    const auto [end, failed] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || failed != std::errc() || end != text.data() + text.size() || value < 0) {
        return std::nullopt;
    }
    return value;
}

std::size_t Utf8Length(const std::string& text) {
    std::size_t count = 0;
    for (const char c : text) {
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

// A message that will never go waits for no report, and one whose going is not known has
// a delivery not known either.
std::string DeliveryShown(const Message& m) {
    if (m.delivery.empty()) {
        return "off";
    }
    if (m.delivery == "pending" &&
        (m.state == MessageState::Failed || m.state == MessageState::Cancelled)) {
        return "undelivered";
    }
    if (m.delivery == "pending" && m.state == MessageState::Unknown) {
        return "unknown";
    }
    return m.delivery;
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
        out["concatenated"] = m.concatenated;
        out["error"] = m.error.empty() ? Json(nullptr) : Json(m.error);
        out["delivery"] = DeliveryShown(m);
        out["delivered_at"] = m.deliveredAt == 0 ? Json(nullptr) : Json(m.deliveredAt);
        if (m.state == MessageState::Queued && m.attempts > 0) {
            out["next_attempt_at"] = m.nextAt;
        }
    } else {
        out["from"] = m.number;
        out["text"] = m.text;
        out["modem"] = m.modem;
        out["key"] = m.key;
        out["time"] = m.sentTime;
        out["parts"] = std::max(m.parts, 1);
        out["complete"] = m.complete;
        out["missing"] = m.missing;
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

CApi::CApi(const Config& config, IStore& store, CFleet& fleet, const CMqtt* mqtt)
    : config_(config), store_(store), fleet_(fleet), mqtt_(mqtt) {}

CApi::~CApi() {
    Stop();
}

namespace {

// What a handler needs of the daemon and of the request.
struct Call {
    IStore& store;
    CFleet& fleet;
    const CMqtt* mqtt;
    const CApi::Query& query;
    const std::string& idempotencyKey;
    const std::string& body;
    bool deliveryReports;  // the default of a message that does not say
    std::string apiKey;    // the key the request came with
    int64_t id = 0;        // the {id} of the path
};

using Handler = CApi::Reply (*)(Call&);

CApi::Reply Healthz(Call& /*call*/) {
    return Ok(200, {{"status", "ok"}});
}

CApi::Reply Readyz(Call& call) {
    if (!call.store.Reachable()) {
        return Ok(503, {{"status", "the store is not available"}});
    }
    return call.fleet.AnyReady() ? Ok(200, {{"status", "ready"}})
                                 : Ok(503, {{"status", "no modem is ready and registered"}});
}

std::string MetricHead(const char* name, const char* help, const char* type) {
    return std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

// One gauge family of the modems' health: only the modems that told the value.
std::string HealthFamily(const std::vector<ModemStatus>& modems, const char* name, const char* help,
                         std::optional<int64_t> (*value)(const ModemStatus&)) {
    std::string text = MetricHead(name, help, "gauge");
    for (const ModemStatus& modem : modems) {
        if (const auto known = value(modem)) {
            text += Metric(name, "modem=\"" + modem.name + "\"", *known);
        }
    }
    return text;
}

std::string ModemHealthMetrics(const std::vector<ModemStatus>& modems) {
    using Value = std::optional<int64_t>;
    return HealthFamily(modems, "tarvikd_modem_registered",
                        "1 when the modem is registered (home or roaming) or does not tell.",
                        [](const ModemStatus& m) -> Value { return Registered(m) ? 1 : 0; }) +
           HealthFamily(modems, "tarvikd_modem_signal_dbm", "The modem's signal in dBm.",
                        [](const ModemStatus& m) -> Value { return m.health.dbm; }) +
           HealthFamily(modems, "tarvikd_modem_signal_quality", "The modem's signal, 0 to 5.",
                        [](const ModemStatus& m) -> Value { return m.health.quality; }) +
           HealthFamily(modems, "tarvikd_modem_storage_used", "Messages in the modem's storage.",
                        [](const ModemStatus& m) -> Value { return m.health.storageUsed; }) +
           HealthFamily(modems, "tarvikd_modem_storage_total",
                        "Messages the modem's storage holds.",
                        [](const ModemStatus& m) -> Value { return m.health.storageTotal; });
}

// Delivery reports, counted whole in the store so that a restart loses none.
std::string ReportMetrics(const Counts& counts) {
    std::string text = MetricHead("tarvikd_delivery_reports",
                                  "Delivery reports by what they said of their part.", "counter");
    text += Metric("tarvikd_delivery_reports", "result=\"delivered\"", counts.reportsDelivered);
    text += Metric("tarvikd_delivery_reports", "result=\"undelivered\"", counts.reportsFailed);
    text += Metric("tarvikd_delivery_reports", "result=\"unmatched\"", counts.reportsUnmatched);
    text += MetricHead("tarvikd_delivery_report_delay_ms",
                       "Milliseconds from a part's sending to its final report.", "summary");
    text += Metric("tarvikd_delivery_report_delay_ms_sum", "", counts.reportDelaySumMs);
    text += Metric("tarvikd_delivery_report_delay_ms_count", "", counts.reportDelayCount);
    return text;
}

CApi::Reply Metrics(Call& call) {
    const Counts counts = call.store.Count();
    std::string text =
        MetricHead("tarvikd_outgoing", "Outgoing messages by modem and state.", "gauge");
    for (const auto& [where, count] : counts.out) {
        text += Metric("tarvikd_outgoing",
                       "modem=\"" + where.first + "\",state=\"" + where.second + "\"", count);
    }
    text += MetricHead("tarvikd_received", "Received messages by modem.", "counter");
    for (const auto& [modem, count] : counts.in) {
        text += Metric("tarvikd_received", "modem=\"" + modem + "\"", count);
    }
    text +=
        MetricHead("tarvikd_webhook", "Webhook deliveries of received messages by state.", "gauge");
    for (const auto& [state, count] : counts.webhooks) {
        text += Metric("tarvikd_webhook", "state=\"" + state + "\"", count);
    }
    // Each family whole under its own head: strict readers refuse one split or unannounced.
    const std::vector<ModemStatus> modems = call.fleet.Status();
    text +=
        MetricHead("tarvikd_modem_ready", "1 when the modem is set up and in rotation.", "gauge");
    for (const ModemStatus& modem : modems) {
        text += Metric("tarvikd_modem_ready", "modem=\"" + modem.name + "\"",
                       modem.state == "ready" && modem.inRotation ? 1 : 0);
    }
    text += MetricHead("tarvikd_modem_restarts", "Starts of the modem's link after the first.",
                       "counter");
    for (const ModemStatus& modem : modems) {
        text += Metric("tarvikd_modem_restarts", "modem=\"" + modem.name + "\"", modem.restarts);
    }
    text += ModemHealthMetrics(modems);
    text += ReportMetrics(counts);
    if (call.mqtt != nullptr) {
        text +=
            MetricHead("tarvikd_mqtt_pending", "Events the broker has not acknowledged.", "gauge");
        text += Metric("tarvikd_mqtt_pending", "", counts.events);
        text +=
            MetricHead("tarvikd_mqtt_connected", "1 while the broker has the connection.", "gauge");
        text += Metric("tarvikd_mqtt_connected", "", call.mqtt->Connected() ? 1 : 0);
    }
    return {200, text, "text/plain; version=0.0.4", "", {}};
}

CApi::Reply Modems(Call& call) {
    Json modems = Json::array();
    for (const ModemStatus& m : call.fleet.Status()) {
        Json modem = {{"name", m.name},
                      {"port", m.port == 0 ? Json(nullptr) : Json(m.port)},
                      {"device", m.device.empty() ? Json(nullptr) : Json(m.device)},
                      {"state", m.state},
                      {"in_rotation", m.inRotation},
                      {"model", m.model},
                      {"signal", m.signal},
                      {"last_error", m.lastError.empty() ? Json(nullptr) : Json(m.lastError)},
                      {"restarts", m.restarts},
                      {"since", m.since},
                      {"sent", m.sent},
                      {"failed", m.failed},
                      {"received", m.received}};
        modem.update(HealthJson(m.health));
        modems.push_back(std::move(modem));
    }
    return Ok(200, {{"modems", modems}});
}

// A query parameter as a number: `fallback` when it is not given, nothing when it is no
// number from `low` to `high`.
std::optional<int64_t> Parameter(const CApi::Query& query, const char* name, int64_t fallback,
                                 int64_t low, int64_t high) {
    const auto it = query.find(name);
    if (it == query.end()) {
        return fallback;
    }
    const auto number = Number(it->second);
    return number && *number >= low && *number <= high ? number : std::nullopt;
}

CApi::Reply ListMessages(Call& call) {
    const auto direction = call.query.find("direction");
    if (direction == call.query.end() ||
        (direction->second != "in" && direction->second != "out")) {
        return Error(400, "direction takes in or out");
    }
    const auto after = Parameter(call.query, "after", 0, 0, INT64_MAX);
    if (!after) {
        return Error(400, "after takes the cursor of the page before");
    }
    const auto limit = Parameter(call.query, "limit", kDefaultPage, 1, kMaxPage);
    if (!limit) {
        return Error(400, "limit takes 1 to " + std::to_string(kMaxPage));
    }
    const auto order = call.query.find("order");
    const bool newest = order != call.query.end() && order->second == "newest";
    if (order != call.query.end() && !newest && order->second != "oldest") {
        return Error(400, "order takes oldest (pages by after) or newest (one page, newest first)");
    }
    const auto state = call.query.find("state");
    const std::string only = state == call.query.end() ? "" : state->second;
    if (!only.empty() && (!newest || !MessageStateNamed(only))) {
        return Error(400, "state takes a message's state, with order=newest");
    }
    const std::vector<Message> messages =
        newest ? call.store.Latest(direction->second, only, static_cast<int>(*limit))
               : call.store.List(direction->second, *after, static_cast<int>(*limit));
    Json list = Json::array();
    for (const Message& m : messages) {
        list.push_back(MessageJson(m, false));
    }
    // A full page has a next one, maybe empty.
    const bool full = !newest && static_cast<int64_t>(messages.size()) == *limit;
    return Ok(200, {{"messages", list},
                    {"next", full ? Json(std::to_string(messages.back().id)) : Json(nullptr)}});
}

// The body's fields: "to" and "text" as strings, nothing unknown. The reason when not.
std::optional<std::string> BodyRefused(const Json& request) {
    if (!request.is_object()) {
        return "the body is a JSON object: {\"to\", \"text\", \"modem\"?, "
               "\"delivery_report\"?}";
    }
    for (const auto& [key, value] : request.items()) {
        if (key != "to" && key != "text" && key != "modem" && key != "delivery_report") {
            return "unknown field \"" + key + "\"";
        }
    }
    if (request.contains("delivery_report") && !request["delivery_report"].is_boolean()) {
        return "\"delivery_report\" takes true or false";
    }
    if (!request.contains("to") || !request["to"].is_string()) {
        return "\"to\" takes the number as a string";
    }
    if (!request.contains("text") || !request["text"].is_string()) {
        return "\"text\" takes the message as a string";
    }
    return std::nullopt;
}

// The number and the text as the modems can take them; the reason when not.
std::optional<std::string> ContentRefused(const EnqueueRequest& enqueue) {
    const std::string digits = enqueue.number.substr(enqueue.number.rfind('+', 0) == 0 ? 1 : 0);
    if (digits.size() < 3 || digits.size() > 20 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        return "\"to\" takes 3 to 20 digits, with + before an international number";
    }
    if (enqueue.text.empty()) {
        return "\"text\" is empty: nothing to send";
    }
    if (enqueue.text.find('\0') != std::string::npos || Utf8Length(enqueue.text) > kMaxText) {
        return "\"text\" takes 1 to " + std::to_string(kMaxText) + " characters";
    }
    return std::nullopt;
}

// The request's JSON into `request`; the refusal when it is none.
std::optional<CApi::Reply> ParsedBody(const std::string& body, Json& request) {
    try {
        request = Json::parse(body);
    } catch (const Json::exception& e) {
        return Error(400, std::string("the body is not JSON: ") + e.what());
    }
    return std::nullopt;
}

// The model whose dialect cuts a text for `modem`: its own once it told it, else the
// generic one.
int32_t ModelFor(CFleet& fleet, const std::string& modem) {
    for (const ModemStatus& status : fleet.Status()) {
        if (status.name == modem && !status.model.empty()) {
            const int32_t code = GSM::CodeOfReply(status.model);
            return code != GSM::kModelNone ? code : GSM::kModelGeneric;
        }
    }
    return GSM::kModelGeneric;
}

// The text cut as the modem's child will cut it: by the named modem's row, or the generic
// one when none is named.
GSM::LongCut CutAsSent(CFleet& fleet, const std::string& modem, const std::string& text) {
    GSM::LongOptions options;
    options.maxParts = 0;
    return GSM::CutLongMessage(text.c_str(), "+10000", nullptr, ModelFor(fleet, modem), "", true,
                               options);
}

// The children keep the library's limit of parts and would fail a text over it.
std::optional<std::string> OverParts(const GSM::LongCut& cut) {
    const std::size_t most = GSM::LongOptions{}.maxParts;
    if (most == 0 || cut.parts.size() <= most) {
        return std::nullopt;
    }
    return "the text needs " + std::to_string(cut.parts.size()) + " parts; a message may have " +
           std::to_string(most);
}

CApi::Reply PostMessage(Call& call) {
    Json request;
    if (auto refused = ParsedBody(call.body, request)) {
        return *refused;
    }
    if (const auto why = BodyRefused(request)) {
        return Error(400, *why);
    }
    EnqueueRequest enqueue;
    enqueue.apiKey = call.apiKey;
    enqueue.number = request["to"];
    enqueue.text = request["text"];
    if (const auto why = ContentRefused(enqueue)) {
        return Error(400, *why);
    }
    if (request.contains("modem") && !request["modem"].is_null()) {
        if (!request["modem"].is_string() || !call.fleet.Knows(request["modem"])) {
            return Error(400, "\"modem\" names no configured modem");
        }
        enqueue.modem = request["modem"];
    }
    if (const auto why = OverParts(CutAsSent(call.fleet, enqueue.modem, enqueue.text))) {
        return Error(400, *why);
    }
    if (call.idempotencyKey.size() > 200) {
        return Error(400, "Idempotency-Key takes up to 200 characters");
    }
    enqueue.idempotencyKey = call.idempotencyKey;
    enqueue.deliveryReport = request.value("delivery_report", call.deliveryReports);
    Json asked = {{"to", enqueue.number}, {"text", enqueue.text}, {"modem", enqueue.modem}};
    if (!enqueue.deliveryReport) {
        asked["delivery_report"] = false;  // only then: keys taken before keep matching
    }
    enqueue.fingerprint = Dump(asked);
    const EnqueueResult result = call.store.Enqueue(enqueue, NowMs());
    if (result.conflict) {
        return Error(409, "this Idempotency-Key was used for another message (id " +
                              std::to_string(result.id) + ")");
    }
    CApi::Reply reply = Ok(202, {{"id", result.id}});
    if (result.replayed) {
        reply.extraHeader = "Idempotent-Replayed: true";
    } else {
        call.fleet.Wake();
    }
    return reply;
}

CApi::Reply GetMessage(Call& call) {
    const auto message = call.store.Get(call.id);
    if (!message) {
        return Error(404, "no message " + std::to_string(call.id));
    }
    return Ok(200, MessageJson(*message, true));
}

CApi::Reply CancelMessage(Call& call) {
    const std::string id = std::to_string(call.id);
    switch (call.store.Cancel(call.id, NowMs())) {
        case CancelResult::Cancelled:
            return Ok(200, {{"id", call.id}, {"state", "cancelled"}});
        case CancelResult::NotFound:
            return Error(404, "no outgoing message " + id);
        case CancelResult::NotCancellable:
            break;
    }
    const auto message = call.store.Get(call.id);
    return Error(409, "message " + id + " is " + (message ? ToString(message->state) : "gone") +
                          ": only a queued message can be cancelled");
}

CApi::Reply Summarize(Call& call) {
    constexpr int64_t kDayMs = 86400000;
    const int64_t since = NowMs() - kDayMs;
    const Summary summary = call.store.Summarize(since);
    return Ok(200, {{"outgoing", summary.outgoing},
                    {"since", since},
                    {"sent", summary.sent},
                    {"delivered", summary.delivered},
                    {"undelivered", summary.undelivered},
                    {"received", summary.received}});
}

// How the text would be cut, by the library's own cutting that sending uses: its encoding,
// characters, the units it takes (septets or UTF-16 units) and its parts.
CApi::Reply CountText(Call& call) {
    Json request;
    if (auto refused = ParsedBody(call.body, request)) {
        return *refused;
    }
    if (!request.is_object() || !request.contains("text") || !request["text"].is_string()) {
        return Error(400, "the body is a JSON object: {\"text\", \"modem\"?}");
    }
    const std::string text = request["text"];
    const std::string modem =
        request.contains("modem") && request["modem"].is_string() ? request["modem"] : "";
    const bool unsendable = text.find('\0') != std::string::npos || Utf8Length(text) > kMaxText;
    Json out = {{"characters", Utf8Length(text)},
                {"parts", 0},
                {"concatenated", false},
                {"units", 0},
                {"encoding", "gsm"},
                {"refused", unsendable ? Json("\"text\" takes 1 to " + std::to_string(kMaxText) +
                                              " characters")
                                       : Json(nullptr)}};
    if (text.empty() || text.find('\0') != std::string::npos) {
        return Ok(200, out);
    }
    const GSM::LongCut cut = CutAsSent(call.fleet, modem, text);
    if (cut.parts.empty()) {
        return Error(400, cut.refusal);
    }
    const bool gsm = cut.parts.front().record.coding == GSM::kCodingPlain;
    std::size_t units = 0;
    for (const GSM::OutgoingPart& part : cut.parts) {
        const std::u16string piece = GSM::LocalToUtf16(part.record.text);
        units += gsm ? GSM::Utf16ToGsm(piece).value_or(std::vector<uint8_t>(piece.size())).size()
                     : piece.size();
    }
    out["encoding"] = gsm ? "gsm" : "ucs2";
    out["units"] = units;
    out["parts"] = cut.parts.size();
    out["concatenated"] = cut.concatenated;
    if (const auto why = OverParts(cut); why && !unsendable) {
        out["refused"] = *why;
    }
    return Ok(200, out);
}

// One resource: its path (a trailing {id} takes any rest of the path as the id), whether it
// needs a key, the methods it takes, and how a refused method is told.
struct Route {
    const char* path;
    bool open;
    std::vector<std::pair<std::string, Handler>> methods;  // an empty method: any
    const char* takes;
};

const std::vector<Route>& Routes() {
    static const std::vector<Route> routes = {
        {"/healthz", true, {{"", &Healthz}}, ""},
        {"/readyz", true, {{"", &Readyz}}, ""},
        {"/metrics", false, {{"GET", &Metrics}}, "/metrics takes GET"},
        {"/v1/modems", false, {{"GET", &Modems}}, "/v1/modems takes GET"},
        {"/v1/summary", false, {{"GET", &Summarize}}, "/v1/summary takes GET"},
        {"/v1/messages/count", false, {{"POST", &CountText}}, "/v1/messages/count takes POST"},
        {"/v1/messages",
         false,
         {{"GET", &ListMessages}, {"POST", &PostMessage}},
         "/v1/messages takes GET and POST"},
        {"/v1/messages/{id}",
         false,
         {{"GET", &GetMessage}, {"DELETE", &CancelMessage}},
         "a message takes GET and DELETE"},
    };
    return routes;
}

// The configured key the request's Authorization names; empty when none. Each key is
// compared in time that does not depend on where the texts differ.
std::string KnownKey(const Config& config, const std::string& authorization) {
    std::string known;
    const std::string given = authorization.rfind("Bearer ", 0) == 0 ? authorization.substr(7) : "";
    for (const std::string& key : config.apiKeys) {
        if (given.size() == key.size() && !key.empty() &&
            CRYPTO_memcmp(given.data(), key.data(), key.size()) == 0) {
            known = key;
        }
    }
    return known;
}

// The console's pages go only to a browser that keeps them to themselves: no script or style
// but the console's own files, no framing, no sniffing, no address leaked to others.
void Guard(CApi::Reply& reply) {
    reply.headers.emplace_back("Content-Security-Policy",
                               "default-src 'self'; script-src 'self'; style-src 'self'; "
                               "img-src 'self'; connect-src 'self'; frame-ancestors 'none'; "
                               "base-uri 'none'; object-src 'none'; form-action 'self'");
    reply.headers.emplace_back("X-Content-Type-Options", "nosniff");
    reply.headers.emplace_back("Referrer-Policy", "no-referrer");
    reply.headers.emplace_back("Cache-Control", "no-cache");
}

const char* ContentTypeOf(const std::string& name) {
    static const std::map<std::string, const char*> types = {
        {".html", "text/html; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".png", "image/png"},
        {".svg", "image/svg+xml"},
        {".ico", "image/x-icon"}};
    const std::size_t dot = name.rfind('.');
    const auto it = dot == std::string::npos ? types.end() : types.find(name.substr(dot));
    return it == types.end() ? nullptr : it->second;
}

// A path of plain names under the folder: letters, digits, "-", "_" and ".", no name that
// begins with "." (so no "..", nothing hidden), no empty name.
bool PlainRelative(const std::string& relative) {
    if (relative.empty() ||
        relative.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                   "0123456789-_./") != std::string::npos) {
        return false;
    }
    std::istringstream names(relative);
    for (std::string name; std::getline(names, name, '/');) {
        if (name.empty() || name.front() == '.') {
            return false;
        }
    }
    return relative.back() != '/';
}

// A file of the console's folder: only one that is there, of a known type, reached through
// no link that leads out of the folder.
CApi::Reply ConsoleFile(const std::string& dir, const std::string& method,
                        const std::string& path) {
    namespace fs = std::filesystem;
    CApi::Reply reply = Error(404, "no such resource: " + path);
    if (method != "GET" && method != "HEAD") {
        reply = Error(405, "the console takes GET and HEAD");
        reply.headers.emplace_back("Allow", "GET, HEAD");
    } else if (const std::string relative = path == "/" ? "index.html" : path.substr(1);
               PlainRelative(relative) && ContentTypeOf(relative) != nullptr) {
        std::error_code error;
        const fs::path root = fs::canonical(dir, error);
        const fs::path file = error ? fs::path() : fs::canonical(root / relative, error);
        const auto [end, rest] = std::mismatch(root.begin(), root.end(), file.begin(), file.end());
        std::ifstream in;
        if (!error && end == root.end() && rest != file.end() && fs::is_regular_file(file) &&
            (in.open(file, std::ios::binary), in)) {
            std::ostringstream body;
            body << in.rdbuf();
            reply = {200, body.str(), ContentTypeOf(relative), "", {}};
        }
    }
    Guard(reply);
    return reply;
}

}  // namespace

CApi::Reply CApi::Handle(const std::string& method, const std::string& path, const Query& query,
                         const std::string& authorization, const std::string& idempotencyKey,
                         const std::string& body) {
    const auto route = std::find_if(Routes().begin(), Routes().end(), [&](const Route& each) {
        const std::string pattern = each.path;
        const std::size_t id = pattern.find("{id}");
        return id == std::string::npos ? path == pattern
                                       : path.rfind(pattern.substr(0, id), 0) == 0;
    });
    if (route == Routes().end()) {
        if (config_.console && path.rfind("/v1/", 0) != 0) {
            return ConsoleFile(config_.consoleDir, method, path);
        }
        return Error(404, "no such resource: " + path);
    }
    Call call{store_, fleet_, mqtt_, query, idempotencyKey, body, config_.deliveryReports, "", 0};
    if (!route->open) {
        call.apiKey = KnownKey(config_, authorization);
        if (call.apiKey.empty()) {
            Reply reply =
                Error(401, authorization.empty() ? "an API key is needed: Authorization: Bearer KEY"
                                                 : "the API key is not known");
            reply.extraHeader = "WWW-Authenticate: Bearer";
            return reply;
        }
    }
    if (const std::size_t at = std::string(route->path).find("{id}"); at != std::string::npos) {
        const auto id = Number(path.substr(at));
        if (!id) {
            return Error(404, "a message id is a number");
        }
        call.id = *id;
    }
    for (const auto& [taken, handler] : route->methods) {
        if (!taken.empty() && taken != method) {
            continue;
        }
        // The one place a failing store becomes an answer: the client is told to come back.
        try {
            return handler(call);
        } catch (const StoreUnavailable& e) {
            Log(Level::Error, std::string("store: ") + e.what());
            return Error(503, "the store is not available");
        } catch (const std::exception& e) {
            // Not worth a retry by the client as a 503 would tell it: the log has the store's why.
            Log(Level::Error, std::string("store: ") + e.what());
            return Error(500, "the store could not do it; the daemon's log tells why");
        }
    }
    return Error(405, route->takes);
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
        // libmicrohttpd has split and decoded the query already; the last of a repeated
        // name counts.
        CApi::Query query;
        MHD_get_connection_values(
            connection, MHD_GET_ARGUMENT_KIND,
            [](void* out, MHD_ValueKind, const char* key, const char* value) -> MHD_Result {
                (*static_cast<CApi::Query*>(out))[key] = value != nullptr ? value : "";
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
    for (const auto& [name, value] : reply.headers) {
        MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    const MHD_Result queued = MHD_queue_response(connection, reply.status, response);
    MHD_destroy_response(response);
    return queued;
}

// libmicrohttpd's decoding, but a path or value with an encoded NUL is left as it came: the
// handler reads C strings, which would end at the NUL ("/app.js%00.html" as "/app.js").
size_t Unescape(void* /*context*/, MHD_Connection* /*connection*/, char* text) {
    const std::string_view raw(text);
    for (std::size_t at = raw.find('%'); at != std::string_view::npos; at = raw.find('%', at + 1)) {
        if (raw.substr(at + 1, 2) == "00") {
            return raw.size();
        }
    }
    return MHD_http_unescape(text);
}

void Completed(void* /*context*/, MHD_Connection* /*connection*/, void** state,
               MHD_RequestTerminationCode /*code*/) {
    delete static_cast<Upload*>(*state);
    *state = nullptr;
}

}  // namespace

bool CApi::Start(std::string& why) {
    std::error_code missing;
    if (config_.console &&
        !std::filesystem::is_regular_file(config_.consoleDir + "/index.html", missing)) {
        Log(Level::Warning, "the console's files are not in " + config_.consoleDir +
                                " (console_dir): / answers 404");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(config_.httpPort));
    if (inet_pton(AF_INET, config_.listen.c_str(), &address.sin_addr) != 1) {
        why = "listen takes an IPv4 address, such as 127.0.0.1, not " + config_.listen;
        return false;
    }
    daemon_ = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL,
                               static_cast<uint16_t>(config_.httpPort), nullptr, nullptr, &Answer,
                               this, MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_THREAD_POOL_SIZE,
                               4u, MHD_OPTION_NOTIFY_COMPLETED, &Completed, nullptr,
                               MHD_OPTION_CONNECTION_TIMEOUT, 30u, MHD_OPTION_UNESCAPE_CALLBACK,
                               &Unescape, nullptr, MHD_OPTION_END);
    if (daemon_ == nullptr) {
        why = "cannot listen on " + config_.listen + ":" + std::to_string(config_.httpPort) +
              " (in use, or not allowed)";
        return false;
    }
    return true;
}

void CApi::Stop() {
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
    }
}

}  // namespace Tarvikd
