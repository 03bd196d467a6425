#include "Format.h"

#include <cstdint>

#include "LocalText.h"
#include "link/ServeLink.h"

namespace TarvikCli {

namespace {

constexpr std::size_t kDestinationCapacity = 29;

bool Digits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

std::string TextLine(const Received& message) {
    std::string line = message.time + "\t" + message.number + "\t";
    for (char c : message.text) {
        switch (c) {
            case '\\':
                line += "\\\\";
                break;
            case '\t':
                line += "\\t";
                break;
            case '\r':
                line += "\\r";
                break;
            case '\n':
                line += "\\n";
                break;
            default:
                line.push_back(c);
        }
    }
    return line + "\n";
}

std::string JsonLine(const Received& message) {
    TarvikLink::Json line = {{"number", LocalToUtf8(message.number)},
                             {"time", LocalToUtf8(message.time)},
                             {"text", LocalToUtf8(message.text)}};
    if (message.parts > 1) {
        line["parts"] = message.parts;
        line["complete"] = message.missing.empty();
        line["missing"] = message.missing;
    }
    return line.dump(-1, ' ', false, TarvikLink::Json::error_handler_t::replace) + "\n";
}

std::string OneLine(std::string_view text) {
    std::string line;
    bool gap = false;
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            gap = !line.empty();
            continue;
        }
        if (gap) {
            line.push_back(' ');
            gap = false;
        }
        line.push_back(c);
    }
    return line;
}

bool StartFailedAtSim(std::string_view libraryReason) {
    // The library's SIM texts begin with these; "SIM not ready" is the one worth a retry.
    for (const std::string_view locked : {"SIM PIN ", "SIM PUK ", "No SIM card"}) {
        if (libraryReason.substr(0, locked.size()) == locked) {
            return true;
        }
    }
    return false;
}

std::string NumberProblem(const std::string& number, const std::optional<std::string>& prefix) {
    const bool international = !number.empty() && number[0] == '+';
    if (!Digits(international ? number.substr(1) : number)) {
        return "'" + number + "' is not a number: digits, with a leading + at most";
    }
    const std::size_t length =
        international ? number.size() : number.size() + (prefix ? prefix->size() : 0);
    if (length > kDestinationCapacity) {
        return "'" + number + "' is too long: with its prefix it must fit " +
               std::to_string(kDestinationCapacity) + " characters";
    }
    return {};
}

std::vector<std::string> ReplyLines(std::string_view reply) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : reply) {
        if (c == '\r' || c == '\n') {
            if (!line.empty()) {
                lines.push_back(line);
            }
            line.clear();
        } else {
            line.push_back(c);
        }
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    return lines;
}

bool IsErrorResult(const std::string& line) {
    return line == "ERROR" || line.rfind("+CME ERROR", 0) == 0 || line.rfind("+CMS ERROR", 0) == 0;
}

std::string AnswerOf(const std::string& command, std::string_view reply, std::string& status) {
    status.clear();
    const std::string name = command.substr(2);  // "AT+COPS?" -> "+COPS:"
    const std::string ownTag = name.substr(0, name.find('?')) + ":";
    std::string answer;
    for (const std::string& line : ReplyLines(reply)) {
        if (line == "OK" || IsErrorResult(line)) {
            status = line;
            break;
        }
        if (!answer.empty() || line == command) {
            continue;
        }
        if (line.rfind(ownTag, 0) == 0) {
            answer = line.substr(ownTag.size());
            answer.erase(0, answer.find_first_not_of(' '));
        } else if (line[0] != '+' && line[0] != '^') {
            answer = line;
        }
    }
    return status == "OK" ? answer : std::string();
}

std::string OperatorOf(const std::string& answer) {
    const std::size_t open = answer.find('"');
    const std::size_t close = open == std::string::npos ? open : answer.find('"', open + 1);
    return close == std::string::npos ? answer : answer.substr(open + 1, close - open - 1);
}

std::string SignalOf(const std::string& answer) {
    if (answer.rfind("99", 0) == 0 && (answer.size() == 2 || answer[2] == ',')) {
        return "99 (not known)";
    }
    const std::optional<int> rssi = TarvikLink::RssiOf(answer);
    return rssi ? std::to_string(*rssi) + " (" + std::to_string(-113 + 2 * *rssi) + " dBm)"
                : answer;
}

}  // namespace TarvikCli
