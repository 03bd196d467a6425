// tarvik at and tarvik identify: raw commands to the modem through the library.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "LocalText.h"
#include "link/ServeLink.h"

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

TarvikLink::ModemHealth LinkHealth(const Tarvik::ModemHealth& health) {
    TarvikLink::ModemHealth link;
    link.registration = health.registration;
    link.operatorName = health.operatorName;
    link.access = health.access;
    link.dbm = health.dbm;
    link.quality = health.quality;
    link.imsi = health.imsi;
    link.iccid = health.iccid;
    link.sim = health.sim;
    link.storageUsed = health.storageUsed;
    link.storageTotal = health.storageTotal;
    return link;
}

namespace {

void PrintHealth(const Tarvik::ModemHealth& health) {
    const auto print = [](const char* label, const std::optional<std::string>& value) {
        if (value) {
            std::printf("%s: %s\n", label, value->c_str());
        }
    };
    print("registration", health.registration);
    print("access", health.access);
    if (health.dbm && health.quality) {
        std::printf("level: %d dBm, quality %d of 5\n", *health.dbm, *health.quality);
    }
    print("imsi", health.imsi);
    print("iccid", health.iccid);
    print("sim", health.sim);
    if (health.storageUsed && health.storageTotal) {
        std::printf("storage: %d of %d used\n", *health.storageUsed, *health.storageTotal);
    }
}

}  // namespace

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
    TarvikLink::Json json = TarvikLink::Json::object();
    int answered = 0;
    for (const Query& query : queries) {
        std::string status;
        const std::string answer = AnswerOf(query.command, AskQuery(query.command), status);
        if (!answer.empty()) {
            ++answered;
            json[query.label] = LocalToUtf8(query.shown(answer));
            if (!options.json) {
                std::printf("%s: %s\n", query.label, query.shown(answer).c_str());
            }
        } else if (!options.json) {
            std::printf("%s: not known (%s)\n", query.label,
                        status.empty() ? "no reply" : status.c_str());
        }
        std::fflush(stdout);
    }
    if (const auto health = Tarvik::Session::Health()) {
        if (options.json) {
            TarvikLink::AddHealth(LinkHealth(*health), json);
        } else {
            PrintHealth(*health);
        }
    }
    if (options.json) {
        std::puts(json.dump(-1, ' ', false, TarvikLink::Json::error_handler_t::replace).c_str());
    }
    std::fflush(stdout);
    session.Stop();
    return answered > 0 ? kExitDone : kExitRefused;
}

}  // namespace TarvikCli
