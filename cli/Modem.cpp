// tarvik at and tarvik identify: raw commands to the modem through the library.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"

namespace TarvikCli {

namespace {
std::string Ended(const std::string& command) {
    const bool ended = !command.empty() && (command.back() == '\r' || command.back() == '\n');
    return ended ? command : command + "\r\n";
}
}  // namespace

std::string AskModem(const std::string& command, int waitMs) {
    char reply[1025] = {};
    const int count = Tarvik::Session::Command(Ended(command).c_str(), reply, waitMs);
    return std::string(reply, count > 0 ? static_cast<std::size_t>(count) : 0);
}

std::string AskQuery(const std::string& command) {
    return Tarvik::Session::Query(Ended(command));
}

int RunAt(const Options& options) {
    std::string command;
    for (const std::string& word : options.words) {
        command += (command.empty() ? "" : " ") + word;
    }
    CSession session(SideSink(options.receivedPath));
    std::string why;
    if (!StartSession(session, options, why)) {
        return Complain(kExitStartFailed, why);
    }
    const std::string reply = AskModem(command, options.waitMs);
    std::string status;
    for (const std::string& line : ReplyLines(reply)) {
        std::printf("%s\n", line.c_str());
        if (line == "OK" || IsErrorResult(line)) {
            status = line;
        }
    }
    std::fflush(stdout);
    session.Stop();
    if (reply.empty()) {
        return Complain(kExitRefused, "no reply to " + command);
    }
    return status == "OK" ? kExitDone : kExitRefused;
}

int RunIdentify(const Options& options) {
    CSession session(SideSink(options.receivedPath));
    std::string why;
    if (!StartSession(session, options, why)) {
        return Complain(kExitStartFailed, why);
    }
    struct Query {
        const char* label;
        const char* command;
        std::string (*shown)(const std::string&);
    };
    const auto asIs = [](const std::string& answer) { return answer; };
    const Query queries[] = {
        {"manufacturer", "AT+CGMI", asIs}, {"model", "AT+CGMM", asIs},
        {"revision", "AT+CGMR", asIs},     {"operator", "AT+COPS?", OperatorOf},
        {"signal", "AT+CSQ", SignalOf},
    };
    int answered = 0;
    for (const Query& query : queries) {
        std::string status;
        const std::string answer = AnswerOf(query.command, AskQuery(query.command), status);
        if (!answer.empty()) {
            ++answered;
            std::printf("%s: %s\n", query.label, query.shown(answer).c_str());
        } else {
            std::printf("%s: not known (%s)\n", query.label,
                        status.empty() ? "no reply" : status.c_str());
        }
        std::fflush(stdout);
    }
    session.Stop();
    return answered > 0 ? kExitDone : kExitRefused;
}

}  // namespace TarvikCli
