#include "link/ServeLink.h"

#include <algorithm>
#include <array>
#include <stdexcept>
#include <utility>

#include "codec/MessageKey.h"

namespace TarvikLink {

namespace {

// A field of the wrong kind; its text is the reader's reason.
struct BadField : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr std::array<std::pair<Code, const char*>, 10> kCodes = {{
    {Code::InvalidRequest, "invalid_request"},
    {Code::TooLong, "too_long"},
    {Code::NotQueued, "not_queued"},
    {Code::Refused, "refused"},
    {Code::Stopped, "stopped"},
    {Code::StartFailed, "start_failed"},
    {Code::DeviceGone, "device_gone"},
    {Code::SimLocked, "sim_locked"},
    {Code::NotWritten, "not_written"},
    {Code::Other, "other"},
}};

constexpr std::array<std::pair<EventKind, const char*>, 11> kKinds = {{
    {EventKind::Ready, "ready"},
    {EventKind::Modem, "modem"},
    {EventKind::Queued, "queued"},
    {EventKind::Writing, "writing"},
    {EventKind::Report, "report"},
    {EventKind::Sent, "sent"},
    {EventKind::Error, "error"},
    {EventKind::Message, "message"},
    {EventKind::Reply, "reply"},
    {EventKind::Stopped, "stopped"},
    {EventKind::StatusReport, "status_report"},
}};

constexpr std::array<std::pair<Op, const char*>, 6> kOps = {{
    {Op::Send, "send"},
    {Op::At, "at"},
    {Op::Ack, "ack"},
    {Op::Status, "status"},
    {Op::Stop, "stop"},
    {Op::Write, "write"},
}};

std::string Dump(const Json& value) {
    // A byte that is no UTF-8 becomes U+FFFD rather than ending the line.
    return value.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

// Nothing when the line is no JSON object; `why` then says what is wrong with it.
std::optional<Json> ParseObject(std::string_view line, const char* what, std::string& why) {
    why = std::string("a") + what + " is one JSON object on one line";
    Json value;
    try {
        value = Json::parse(line);
    } catch (const Json::parse_error& error) {
        // "[json.exception.parse_error.101] parse error at ..." without its tag.
        const std::string text = error.what();
        const std::size_t at = text.find("] ");
        why += ": " + (at == std::string::npos ? text : text.substr(at + 2));
        return std::nullopt;
    }
    if (!value.is_object()) {
        return std::nullopt;
    }
    return value;
}

// Nothing when absent or null; a string, or BadField.
std::optional<std::string> String(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return std::nullopt;
    }
    if (!it->is_string()) {
        throw BadField(std::string("\"") + key + "\" must be a string");
    }
    return it->get<std::string>();
}

std::optional<int64_t> Integer(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return std::nullopt;
    }
    if (!it->is_number_integer()) {
        throw BadField(std::string("\"") + key + "\" must be an integer");
    }
    return it->get<int64_t>();
}

bool Flag(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return false;
    }
    if (!it->is_boolean()) {
        throw BadField(std::string("\"") + key + "\" must be true or false");
    }
    return it->get<bool>();
}

// Nothing when absent or null; the items, each of the kind `is` tests, or BadField.
template <typename Item>
std::vector<Item> List(const Json& object, const char* key, bool (Json::*is)() const noexcept,
                       const char* kind) {
    const auto it = object.find(key);
    if (it == object.end() || it->is_null()) {
        return {};
    }
    if (!it->is_array() ||
        !std::all_of(it->begin(), it->end(), [&](const Json& item) { return (item.*is)(); })) {
        throw BadField(std::string("\"") + key + "\" must be a list of " + kind);
    }
    return it->get<std::vector<Item>>();
}

int Small(const Json& object, const char* key) {
    const int64_t value = Integer(object, key).value_or(0);
    if (value < -1000000000 || value > 1000000000) {
        throw BadField(std::string("\"") + key + "\" is out of range");
    }
    return static_cast<int>(value);
}

bool ValidId(const Json& id) {
    return id.is_null() || id.is_string() || id.is_number_integer();
}

std::string Need(const Json& object, const char* key, const char* why) {
    try {
        if (auto value = String(object, key)) {
            return std::move(*value);
        }
    } catch (const BadField&) {
    }
    throw BadField(why);
}

void ReadSend(const Json& object, Request& request) {
    const auto number = object.find("number");
    const auto text = object.find("text");
    if (number == object.end() || !number->is_string() || text == object.end() ||
        !text->is_string()) {
        throw BadField("\"send\" needs \"number\" and \"text\", both strings");
    }
    request.number = number->get<std::string>();
    request.text = text->get<std::string>();
    request.separate = Flag(object, "separate");
    if (const auto most = Integer(object, "max_parts")) {
        if (*most < 1 || *most > 255) {
            throw BadField("\"max_parts\" takes a count from 1 to 255");
        }
        request.maxParts = static_cast<int>(*most);
    }
    if (const auto reference = Integer(object, "reference")) {
        if (*reference < 0 || *reference > 255) {
            throw BadField("\"reference\" takes a concatenation reference from 0 to 255");
        }
        request.reference = static_cast<int>(*reference);
    }
    request.onlyParts = List<int>(object, "only_parts", &Json::is_number_integer, "integers");
    if (!request.onlyParts.empty() && !request.reference) {
        throw BadField("\"only_parts\" needs the message's \"reference\"");
    }
    for (const int part : request.onlyParts) {
        if (part < 1 || part > 255) {
            throw BadField("\"only_parts\" takes part numbers from 1 to 255");
        }
    }
    request.confirmWrites = Flag(object, "confirm_writes");
    request.statusReport = Flag(object, "status_report");
    const auto prefix = object.find("prefix");
    if (prefix == object.end()) {
        return;
    }
    request.prefixGiven = true;
    if (prefix->is_null()) {
        return;
    }
    const std::string digits = prefix->is_string() ? prefix->get<std::string>() : "";
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
        throw BadField("\"prefix\" takes digits, or null for none");
    }
    request.prefix = digits;
}

void ReadAt(const Json& object, Request& request) {
    request.command = Need(object, "command", "\"at\" needs \"command\"");
    if (request.command.empty()) {
        throw BadField("\"at\" needs \"command\"");
    }
    const auto wait = object.find("wait");
    if (wait != object.end()) {
        if (!wait->is_number_integer() || wait->get<int64_t>() < 0 ||
            wait->get<int64_t>() > 600000) {
            throw BadField("\"wait\" takes milliseconds from 0 to 600000");
        }
        request.waitMs = static_cast<int>(wait->get<int64_t>());
    }
}

Json Begin(const Event& event) {
    Json line;
    for (const auto& [kind, name] : kKinds) {
        if (kind == event.kind) {
            line["event"] = name;
        }
    }
    if (!event.id.is_null()) {
        line["id"] = event.id;
    }
    return line;
}

template <typename Value>
void AddKnown(Json& line, const char* key, const std::optional<Value>& value) {
    if (value) {
        line[key] = *value;
    }
}

}  // namespace

void AddHealth(const ModemHealth& h, Json& line) {
    AddKnown(line, "registration", h.registration);
    AddKnown(line, "operator", h.operatorName);
    AddKnown(line, "access", h.access);
    AddKnown(line, "dbm", h.dbm);
    AddKnown(line, "quality", h.quality);
    AddKnown(line, "imsi", h.imsi);
    AddKnown(line, "iccid", h.iccid);
    AddKnown(line, "sim", h.sim);
    AddKnown(line, "storage_used", h.storageUsed);
    AddKnown(line, "storage_total", h.storageTotal);
}

namespace {

void AddModem(const ModemInfo& modem, const ModemHealth& health, Json& line) {
    line["model"] = modem.model;
    line["model_code"] = modem.code;
    line["revision"] = modem.revision;
    line["signal"] = modem.signal;
    AddKnown(line, "rssi", modem.rssi);
    AddHealth(health, line);
}

std::optional<int> SmallOf(const Json& object, const char* key) {
    const std::optional<int64_t> value = Integer(object, key);
    if (value && (*value < -1000000000 || *value > 1000000000)) {
        throw BadField(std::string("\"") + key + "\" is out of range");
    }
    return value ? std::optional<int>(static_cast<int>(*value)) : std::nullopt;
}

void ReadModem(const Json& object, ModemInfo& modem, ModemHealth& h) {
    modem.model = String(object, "model").value_or("");
    modem.code = SmallOf(object, "model_code").value_or(0);
    modem.revision = String(object, "revision").value_or("");
    modem.signal = String(object, "signal").value_or("");
    modem.rssi = SmallOf(object, "rssi");
    h.registration = String(object, "registration");
    h.operatorName = String(object, "operator");
    h.access = String(object, "access");
    h.dbm = SmallOf(object, "dbm");
    h.quality = SmallOf(object, "quality");
    h.imsi = String(object, "imsi");
    h.iccid = String(object, "iccid");
    h.sim = String(object, "sim");
    h.storageUsed = SmallOf(object, "storage_used");
    h.storageTotal = SmallOf(object, "storage_total");
}

void AddFailure(const Event& event, Json& line) {
    line["error"] = event.error;
    if (event.code != Code::None) {
        line["code"] = CodeName(event.code);
    }
}

// A long message (parts given) also says whether it is whole and the keys of its parts.
void AddMessage(const Event& event, Json& line) {
    line["key"] = event.key;
    line["number"] = event.number;
    line["time"] = event.time;
    line["text"] = event.text;
    if (event.parts > 0) {
        line["parts"] = event.parts;
        line["complete"] = event.complete.value_or(event.missing.empty());
        line["missing"] = event.missing;
        line["keys"] = event.keys;
    }
}

void AddQueued(const Event& event, Json& line) {
    line["sequence"] = event.sequence;
    line["parts"] = event.parts;
    line["concatenated"] = event.concatenated;
    line["status_report"] = event.statusReport;
    if (event.concatReference) {
        line["reference"] = *event.concatReference;
    }
}

void AddPartOutcome(const Event& event, Json& line) {
    line["sequence"] = event.sequence;
    line["part"] = event.part;
    line["result"] = event.accepted ? "accepted" : "refused";
    if (event.reference) {
        line["reference"] = *event.reference;
    }
    if (!event.accepted) {
        AddFailure(event, line);
    }
}

// A delivery report; its key only when the reader is to acknowledge it.
void AddStatusReport(const Event& event, Json& line) {
    line["reference"] = event.reference.value_or(-1);
    line["number"] = event.number;
    line["status"] = event.status.value_or(-1);
    line["sc_time"] = event.scTime;
    line["discharge_time"] = event.dischargeTime;
    if (!event.key.empty()) {
        line["key"] = event.key;
    }
}

Json EventJson(const Event& event) {
    Json line = Begin(event);
    switch (event.kind) {
        case EventKind::Ready:
            line["port"] = event.port;
            if (!event.device.empty()) {
                line["device"] = event.device;
            }
            line["version"] = event.version;
            break;
        case EventKind::Modem:
            AddModem(event.modem, event.health, line);
            break;
        case EventKind::Queued:
            AddQueued(event, line);
            break;
        case EventKind::Writing:
            line["sequence"] = event.sequence;
            line["part"] = event.part;
            break;
        case EventKind::Report:
            AddPartOutcome(event, line);
            break;
        case EventKind::Sent:
            line["sequence"] = event.sequence;
            line["parts"] = event.parts;
            line["accepted"] = event.acceptedParts;
            line["concatenated"] = event.concatenated;
            break;
        case EventKind::Error:
            AddFailure(event, line);
            break;
        case EventKind::Message:
            AddMessage(event, line);
            break;
        case EventKind::Reply:
            line["reply"] = event.reply;
            break;
        case EventKind::Stopped:
            if (event.unacked) {
                line["unacked"] = *event.unacked;
            }
            break;
        case EventKind::StatusReport:
            AddStatusReport(event, line);
            break;
        case EventKind::Other:
            break;
    }
    return line;
}

void ReadFields(const Json& object, Event& event) {
    event.port = Small(object, "port");
    event.device = String(object, "device").value_or("");
    event.version = Small(object, "version");
    event.sequence = Small(object, "sequence");
    event.part = Small(object, "part");
    event.accepted = String(object, "result").value_or("") == "accepted";
    if (const auto reference = Integer(object, "reference")) {
        // One field, two meanings by the event: a queued message's own reference, a part's
        // network reference.
        (event.kind == EventKind::Queued ? event.concatReference : event.reference) =
            static_cast<int>(*reference);
    }
    event.parts = Small(object, "parts");
    event.acceptedParts = Small(object, "accepted");
    event.concatenated = Flag(object, "concatenated");
    event.statusReport = Flag(object, "status_report");
    event.error = String(object, "error").value_or("");
    event.code = CodeNamed(String(object, "code").value_or(""));
    event.key = String(object, "key").value_or("");
    event.number = String(object, "number").value_or("");
    event.time = String(object, "time").value_or("");
    event.text = String(object, "text").value_or("");
    event.reply = String(object, "reply").value_or("");
    ReadModem(object, event.modem, event.health);
    event.unacked = Integer(object, "unacked");
    if (const auto status = Integer(object, "status")) {
        event.status = static_cast<int>(*status);
    }
    event.scTime = String(object, "sc_time").value_or("");
    event.dischargeTime = String(object, "discharge_time").value_or("");
    if (const auto complete = object.find("complete"); complete != object.end()) {
        if (!complete->is_boolean()) {
            throw BadField("\"complete\" must be true or false");
        }
        event.complete = complete->get<bool>();
    }
    event.missing = List<int>(object, "missing", &Json::is_number_integer, "integers");
    event.keys = List<std::string>(object, "keys", &Json::is_string, "strings");
}

}  // namespace

const char* CodeName(Code code) {
    for (const auto& [known, name] : kCodes) {
        if (known == code) {
            return name;
        }
    }
    return "";
}

Code CodeNamed(std::string_view name) {
    if (name.empty()) {
        return Code::None;
    }
    for (const auto& [code, known] : kCodes) {
        if (name == known) {
            return code;
        }
    }
    return Code::Other;
}

std::vector<std::string> ServeArguments(const ServeTarget& target) {
    std::vector<std::string> arguments = {"serve"};
    if (target.device.empty()) {
        arguments.insert(arguments.end(), {"--port", std::to_string(target.port)});
    } else {
        arguments.insert(arguments.end(), {"--device", target.device});
    }
    arguments.insert(arguments.end(), {"--baud", std::to_string(target.baud)});
    return arguments;
}

std::string MessageKey(std::string_view number, std::string_view time, std::string_view text) {
    return GSM::MessageKey(number, time, text);
}

std::optional<int> RssiOf(std::string_view answer) {
    const std::string_view rssi = answer.substr(0, answer.find(','));
    if (rssi.empty() || rssi.size() > 2 || rssi.find_first_not_of("0123456789") != rssi.npos) {
        return std::nullopt;
    }
    const int value = rssi.size() == 1 ? rssi[0] - '0' : (rssi[0] - '0') * 10 + (rssi[1] - '0');
    return value <= 31 ? std::optional<int>(value) : std::nullopt;
}

std::string RequestLine(const Request& request) {
    Json line;
    for (const auto& [op, name] : kOps) {
        if (op == request.op) {
            line["op"] = name;
        }
    }
    if (!request.id.is_null()) {
        line["id"] = request.id;
    }
    if (request.op == Op::Send) {
        line["number"] = request.number;
        line["text"] = request.text;
        if (request.prefixGiven) {
            line["prefix"] = request.prefix ? Json(*request.prefix) : Json(nullptr);
        }
        if (request.separate) {
            line["separate"] = true;
        }
        if (request.maxParts) {
            line["max_parts"] = *request.maxParts;
        }
        if (request.reference) {
            line["reference"] = *request.reference;
        }
        if (!request.onlyParts.empty()) {
            line["only_parts"] = request.onlyParts;
        }
        if (request.confirmWrites) {
            line["confirm_writes"] = true;
        }
        if (request.statusReport) {
            line["status_report"] = true;
        }
    } else if (request.op == Op::Write) {
        line["part"] = request.part;
    } else if (request.op == Op::At) {
        line["command"] = request.command;
        line["wait"] = request.waitMs;
    } else if (request.op == Op::Ack) {
        line["key"] = request.key;
    }
    return Dump(line);
}

std::string EventLine(const Event& event) {
    return Dump(EventJson(event));
}

std::optional<Request> ParseRequest(std::string_view line, std::string& why, Json& id) {
    id = nullptr;
    const std::optional<Json> object = ParseObject(line, " request", why);
    if (!object) {
        return std::nullopt;
    }
    const auto given = object->find("id");
    if (given != object->end() && !ValidId(*given)) {
        why = "\"id\" must be a string or an integer";
        return std::nullopt;
    }
    Request request;
    request.id = id = given == object->end() ? Json() : *given;
    const auto op = object->find("op");
    if (op == object->end() || !op->is_string()) {
        why =
            "a request needs \"op\": \"send\", \"at\", \"ack\", \"status\", \"write\" or "
            "\"stop\"";
        return std::nullopt;
    }
    const std::string name = op->get<std::string>();
    const auto known = std::find_if(kOps.begin(), kOps.end(),
                                    [&](const auto& entry) { return name == entry.second; });
    if (known == kOps.end()) {
        why = "unknown \"op\": " + name;
        return std::nullopt;
    }
    request.op = known->first;
    try {
        if (request.op == Op::Send) {
            ReadSend(*object, request);
        } else if (request.op == Op::At) {
            ReadAt(*object, request);
        } else if (request.op == Op::Ack) {
            request.key = Need(*object, "key", "\"ack\" needs \"key\"");
        } else if (request.op == Op::Write) {
            const auto part = Integer(*object, "part");
            if (!part || *part < 1 || *part > 255 || request.id.is_null()) {
                throw BadField("\"write\" needs the send's \"id\" and its \"part\", 1 to 255");
            }
            request.part = static_cast<int>(*part);
        }
    } catch (const BadField& bad) {
        why = bad.what();
        return std::nullopt;
    }
    return request;
}

std::optional<Event> ParseEvent(std::string_view line, std::string& why) {
    const std::optional<Json> object = ParseObject(line, "n event", why);
    if (!object) {
        return std::nullopt;
    }
    Event event;
    try {
        const std::string kind = String(*object, "event").value_or("");
        if (kind.empty()) {
            throw BadField("an event needs \"event\"");
        }
        for (const auto& [known, name] : kKinds) {
            if (kind == name) {
                event.kind = known;
            }
        }
        const auto id = object->find("id");
        if (id != object->end() && !ValidId(*id)) {
            throw BadField("\"id\" must be a string or an integer");
        }
        event.id = id == object->end() ? Json() : *id;
        ReadFields(*object, event);
    } catch (const BadField& bad) {
        why = bad.what();
        return std::nullopt;
    }
    return event;
}

Event ErrorEvent(const Json& id, Code code, std::string error) {
    Event event;
    event.kind = EventKind::Error;
    event.id = id;
    event.code = code;
    event.error = std::move(error);
    return event;
}

}  // namespace TarvikLink
