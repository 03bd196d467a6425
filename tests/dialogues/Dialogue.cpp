#include "Dialogue.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "codec/Fields.h"
#include "engine/ModelTable.h"
#include "engine/ProcessState.h"
#include "service/Joiner.h"
#include "service/MsgService.h"
#include "support/TestPlatform.h"

namespace Dialogues {

namespace {

constexpr std::string_view kExpect = "expect ";
constexpr std::string_view kSeparator = "--";

std::string_view Lookup(const Fields& fields, std::string_view key) {
    for (const auto& [k, v] : fields) {
        if (k == key) {
            return v;
        }
    }
    throw std::invalid_argument("the header names no " + std::string(key));
}

int Number(const Fields& fields, std::string_view key) {
    return std::stoi(std::string(Lookup(fields, key)));
}

std::vector<int> Numbers(const Fields& fields, std::string_view key) {
    std::vector<int> values;
    const std::string text(Lookup(fields, key));
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        values.push_back(std::stoi(text.substr(at, comma - at)));
        at = comma + 1;
    }
    return values;
}

std::string LastError() {
    char text[GSM::kLastErrorCapacity] = {};
    const int length = GSM::CopyLastError(text);
    return std::string(text, static_cast<std::size_t>(length));
}

GSM::OutgoingPart Part(const Fields& header) {
    GSM::OutgoingPart part;
    std::memset(&part, 0, sizeof part);
    const std::string number(Lookup(header, "number"));
    const std::string centre(Lookup(header, "service-centre"));
    // Texts are recorded in UTF-8; the caller hands them over in its local code page.
    const std::string text = TestSupport::LocalText(Lookup(header, "text"));
    std::strncpy(part.record.number, number.c_str(), sizeof part.record.number - 1);
    std::strncpy(part.record.serviceCentre, centre.c_str(), sizeof part.record.serviceCentre - 1);
    std::strncpy(part.record.text, text.c_str(), sizeof part.record.text - 1);
    part.record.coding = static_cast<uint8_t>(Number(header, "coding"));
    part.prefixLength = static_cast<uint8_t>(Number(header, "prefix"));
    part.serviceCentreInternational = Number(header, "international") != 0;
    return part;
}

void AddRecord(Fields& out, const std::string& name, const GSM::MsgRecord& record) {
    const auto field = [&](const char* what, std::string value) {
        out.emplace_back("expect " + name + " " + what, std::move(value));
    };
    field("number", record.number);
    field("service-centre", record.serviceCentre);
    field("coding", std::to_string(record.coding));
    field("timestamp", record.timestamp);
    field("text", record.text);
    field("tag", std::to_string(record.tag));
}

void AddListing(Fields& out, int count, const std::vector<GSM::MsgRecord>& records,
                const std::vector<int>& indexes) {
    for (int i = 0; i < count && i < GSM::kMaxListed; ++i) {
        const auto at = static_cast<std::size_t>(i);
        out.emplace_back("expect index " + std::to_string(i), std::to_string(indexes[at]));
        AddRecord(out, "record " + std::to_string(i), records[at]);
    }
}

std::string ConcatText(const GSM::ConcatHeader& concat) {
    return "ref " + std::to_string(concat.reference) +
           (concat.wideReference ? " (16-bit)" : " (8-bit)") + ", part " +
           std::to_string(concat.number) + " of " + std::to_string(concat.count);
}

// What a reader of long messages sees of a listing that holds parts of them: each part's
// element, then the messages the joiner makes of the parts in listing order, followed by
// the sets still short of a part as they stand. A listing without parts adds nothing, as
// then both faces show the same.
void AddJoined(Fields& out, int count, const std::vector<GSM::MsgRecord>& records,
               const std::array<GSM::ListedPart, GSM::kMaxListed>& listed) {
    const auto n = static_cast<std::size_t>(std::clamp(count, 0, GSM::kMaxListed));
    if (std::none_of(listed.begin(), listed.begin() + static_cast<std::ptrdiff_t>(n),
                     [](const GSM::ListedPart& part) { return part.concat.has_value(); })) {
        return;
    }
    Tarvik::CJoiner joiner(std::chrono::hours(1));
    std::vector<Tarvik::JoinedMessage> joined;
    const auto now = Tarvik::CJoiner::Clock::now();
    for (std::size_t i = 0; i < n; ++i) {
        if (listed[i].concat) {
            out.emplace_back("expect record " + std::to_string(i) + " concat",
                             ConcatText(*listed[i].concat));
        }
        // The part as the service's reader builds it from the listing.
        Tarvik::ReceivedPart part{{},
                                  listed[i].concat,
                                  listed[i].internationalSender,
                                  listed[i].units,
                                  listed[i].septets};
        GSM::Fields::Copy(part.message.text, GSM::Fields::View(records[i].text));
        GSM::Fields::Copy(part.message.number, GSM::Fields::View(records[i].number));
        GSM::FormatReceivedStamp(records[i].timestamp, part.message.timestamp);
        for (Tarvik::JoinedMessage& message : joiner.Add(part, now)) {
            joined.push_back(std::move(message));
        }
    }
    for (Tarvik::JoinedMessage& message : joiner.Flush()) {
        joined.push_back(std::move(message));
    }
    for (std::size_t k = 0; k < joined.size(); ++k) {
        const std::string name = "expect joined " + std::to_string(k) + " ";
        std::string parts = std::to_string(joined[k].parts);
        for (std::size_t m = 0; m < joined[k].missing.size(); ++m) {
            parts += (m == 0 ? ", missing " : ",") + std::to_string(joined[k].missing[m]);
        }
        out.emplace_back(name + "parts", parts);
        out.emplace_back(name + "number", GSM::Fields::View(joined[k].first.number));
        out.emplace_back(name + "time", GSM::Fields::View(joined[k].first.timestamp));
        out.emplace_back(name + "text", joined[k].text);
    }
}

}  // namespace

std::string Dialogue::Get(std::string_view key, std::string_view fallback) const {
    for (const auto& [k, v] : header) {
        if (k == key) {
            return v;
        }
    }
    return std::string(fallback);
}

Fields Dialogue::Expected() const {
    Fields expected;
    for (const auto& field : header) {
        if (field.first.starts_with(kExpect)) {
            expected.push_back(field);
        }
    }
    return expected;
}

std::string Escape(std::string_view bytes) {
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const bool edge = i == 0 || i + 1 == bytes.size();
        if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\t') {
            text += "\\t";
        } else if (c == '\\') {
            text += "\\\\";
        } else if (c < 0x20 || c >= 0x7F || (c == ' ' && edge)) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            text += hex;
        } else {
            text.push_back(static_cast<char>(c));
        }
    }
    return text;
}

std::optional<std::string> Unescape(std::string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes.push_back(text[i]);
            continue;
        }
        if (++i == text.size()) {
            return std::nullopt;
        }
        switch (text[i]) {
            case 'r':
                bytes.push_back('\r');
                break;
            case 'n':
                bytes.push_back('\n');
                break;
            case 't':
                bytes.push_back('\t');
                break;
            case '\\':
                bytes.push_back('\\');
                break;
            case 'x': {
                if (i + 2 >= text.size()) {
                    return std::nullopt;
                }
                const std::string hex(text.substr(i + 1, 2));
                if (!std::isxdigit(static_cast<unsigned char>(hex[0])) ||
                    !std::isxdigit(static_cast<unsigned char>(hex[1]))) {
                    return std::nullopt;
                }
                bytes.push_back(static_cast<char>(std::stoi(hex, nullptr, 16)));
                i += 2;
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return bytes;
}

std::string Format(const Dialogue& dialogue) {
    std::string text;
    for (const auto& [key, value] : dialogue.header) {
        text += key + ": " + Escape(value) + "\n";
    }
    text += std::string(kSeparator) + "\n";
    for (const TestSupport::LineEvent& event : dialogue.exchange) {
        if (event.kind == TestSupport::LineEvent::Kind::Write) {
            text += "engine: " + Escape(event.bytes) + "\n";
        } else {
            if (event.pauseMs > 0) {
                text += "pause: " + std::to_string(event.pauseMs) + "\n";
            }
            text += "modem: " + Escape(event.bytes) + "\n";
        }
    }
    return text;
}

std::optional<Dialogue> Parse(std::string_view text, std::string& error) {
    Dialogue dialogue;
    bool inExchange = false;
    int pause = 0;
    int lineNumber = 0;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        if (line == kSeparator) {
            inExchange = true;
            continue;
        }
        const std::size_t colon = line.find(": ");
        const std::string where = "line " + std::to_string(lineNumber);
        if (colon == std::string_view::npos && !line.ends_with(":")) {
            error = where + ": no \"key: value\"";
            return std::nullopt;
        }
        const std::string key(line.substr(0, std::min(colon, line.size() - 1)));
        const std::string_view raw =
            colon == std::string_view::npos ? std::string_view() : line.substr(colon + 2);
        const std::optional<std::string> value = Unescape(raw);
        if (!value) {
            error = where + ": a broken escape";
            return std::nullopt;
        }
        if (!inExchange) {
            dialogue.header.emplace_back(key, *value);
        } else if (key == "engine") {
            dialogue.exchange.push_back({TestSupport::LineEvent::Kind::Write, *value, 0});
        } else if (key == "modem") {
            dialogue.exchange.push_back({TestSupport::LineEvent::Kind::Burst, *value, pause});
            pause = 0;
        } else if (key == "pause") {
            pause = std::stoi(*value);
        } else {
            error = where + ": the exchange has no \"" + key + "\"";
            return std::nullopt;
        }
    }
    if (!inExchange) {
        error = "no \"--\" line before the exchange";
        return std::nullopt;
    }
    return dialogue;
}

namespace {

Fields PerformStep(GSM::IComBaseCmd& engine, CSXCom& port, const Fields& header) {
    const std::string operation(Lookup(header, "operation"));
    GSM::modelCode.store(Number(header, "code"));
    GSM::SetLastError("");
    Fields out;
    const auto result = [&](int value) {
        out.emplace_back("expect result", std::to_string(value));
    };
    if (operation == "identify") {
        result(engine.Identify(port));
    } else if (operation == "setup") {
        result(GSM::ToFlag(GSM::SetupModem(engine, port, Number(header, "code"))));
    } else if (operation == "check-at") {
        result(engine.CheckAt(port));
    } else if (operation == "echo-off") {
        result(engine.EchoOff(port));
    } else if (operation == "check-sim") {
        result(engine.CheckSim(port));
    } else if (operation == "message-format") {
        result(engine.SetMessageFormat(port, Number(header, "mode")));
    } else if (operation == "new-message-indication") {
        const std::vector<int> v = Numbers(header, "values");
        if (v.size() != 5) {
            throw std::invalid_argument("values: five numbers");
        }
        result(engine.SetNewMessageIndication(port, v[0], v[1], v[2], v[3], v[4]));
    } else if (operation == "preferred-storage") {
        result(engine.SetPreferredStorage(port, std::string(Lookup(header, "storages")).c_str()));
    } else if (operation == "character-set") {
        result(engine.SetCharacterSet(port, std::string(Lookup(header, "name")).c_str()));
    } else if (operation == "submit-parameters") {
        result(engine.SetSubmitParameters(port));
    } else if (operation == "message-encoding") {
        const std::vector<int> v = Numbers(header, "values");
        if (v.size() != 2) {
            throw std::invalid_argument("values: two numbers");
        }
        engine.SetMessageEncoding(port, v[0], v[1]);
    } else if (operation == "simple-command") {
        result(GSM::ToStatus(
            engine.SendSimpleCommand(port, std::string(Lookup(header, "command")).c_str())));
    } else if (operation == "set-service-centre") {
        result(engine.SetServiceCentre(port, std::string(Lookup(header, "number")).c_str()));
    } else if (operation == "get-service-centre") {
        char number[GSM::kServiceCentreCapacity] = {};
        bool international = false;
        result(engine.GetServiceCentre(port, number, &international));
        out.emplace_back("expect number", number);
        out.emplace_back("expect international", international ? "1" : "0");
    } else if (operation == "operator-code") {
        char code[6] = {};
        result(engine.GetOperatorCode(port, code));
        out.emplace_back("expect operator", code);
    } else if (operation == "send") {
        result(engine.SendMessage(port, Part(header)));
    } else if (operation == "read-messages") {
        std::vector<GSM::MsgRecord> records(GSM::kMaxListed);
        std::vector<int> indexes(GSM::kMaxListed);
        const int count = engine.ReadMessages(port, records.data(), indexes.data());
        result(count);
        AddListing(out, count, records, indexes);
        AddJoined(out, count, records, engine.listedParts);
    } else if (operation == "list-indexes") {
        std::vector<int> indexes(GSM::kMaxListed);
        const int count = engine.ListMessageIndexes(port, indexes.data(),
                                                    std::string(Lookup(header, "status")).c_str());
        result(count);
        for (int i = 0; i < count && i < GSM::kMaxListed; ++i) {
            out.emplace_back("expect index " + std::to_string(i),
                             std::to_string(indexes[static_cast<std::size_t>(i)]));
        }
    } else if (operation == "read-message") {
        GSM::MsgRecord record;
        std::memset(&record, 0, sizeof record);
        const int flag = engine.ReadMessage(port, Number(header, "index"), record);
        result(flag);
        if (flag == 1) {
            AddRecord(out, "record", record);
        }
    } else if (operation == "delete") {
        result(engine.DeleteMessage(port, Number(header, "index")));
    } else {
        throw std::invalid_argument("no operation " + operation);
    }
    out.emplace_back("expect model-code", std::to_string(GSM::modelCode.load()));
    out.emplace_back("expect last-error", LastError());
    return out;
}

}  // namespace

Fields Perform(GSM::IComBaseCmd& engine, CSXCom& port, const Fields& header) {
    // Each "operation" line starts a step of its own, given the lines up to the next one
    // and what stands before the first (the model and its code).
    Fields common;
    std::vector<Fields> steps;
    for (const auto& field : header) {
        if (field.first == "operation") {
            steps.push_back(common);
        }
        (steps.empty() ? common : steps.back()).push_back(field);
    }
    if (steps.empty()) {
        throw std::invalid_argument("the header names no operation");
    }
    Fields out;
    for (const Fields& step : steps) {
        const Fields results = PerformStep(engine, port, step);
        out.insert(out.end(), results.begin(), results.end());
    }
    return out;
}

}  // namespace Dialogues
