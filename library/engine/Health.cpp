#include "engine/Health.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <vector>

#include "engine/ComBaseCmd.h"
#include "serial/CSXCom.h"

namespace GSM {

namespace {

// The text behind `tag` on the reply's first line that begins with it, without leading
// blanks; empty when no line does.
std::string_view Behind(std::string_view reply, std::string_view tag) {
    for (std::size_t at = reply.find(tag); at != std::string_view::npos;
         at = reply.find(tag, at + 1)) {
        if (at > 0 && reply[at - 1] != '\n' && reply[at - 1] != '\r') {
            continue;
        }
        std::string_view line = reply.substr(at + tag.size());
        line = line.substr(0, line.find_first_of("\r\n"));
        const std::size_t text = line.find_first_not_of(' ');
        return text == std::string_view::npos ? std::string_view() : line.substr(text);
    }
    return {};
}

// The comma-separated fields of an answer, quotes taken off.
std::vector<std::string> Fields(std::string_view answer) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (const char c : answer) {
        if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else {
            fields.back().push_back(c);
        }
    }
    return fields;
}

std::optional<int> Number(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// The first line of a reply that is neither a result, a tagged line nor an echo.
std::string_view BareLine(std::string_view reply) {
    while (!reply.empty()) {
        const std::size_t end = std::min(reply.find_first_of("\r\n"), reply.size());
        const std::string_view line = reply.substr(0, end);
        reply.remove_prefix(std::min(end + 1, reply.size()));
        if (!line.empty() && line != "OK" && line.find("ERROR") == std::string_view::npos &&
            line[0] != '+' && line[0] != '^' && !line.starts_with("AT")) {
            return line;
        }
    }
    return {};
}

bool AllDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c)) != 0;
    });
}

std::optional<std::string> SimName(SimState state) {
    switch (state) {
        case SimState::Ready:
            return "ready";
        case SimState::PinWanted:
            return "pin";
        case SimState::PukWanted:
            return "puk";
        case SimState::Missing:
            return "missing";
        case SimState::Starting:
            return "starting";
        case SimState::Unknown:
            break;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> RegistrationOf(std::string_view reply) {
    const std::vector<std::string> fields =
        Fields(Behind(reply, Behind(reply, "+CEREG:").empty() ? "+CREG:" : "+CEREG:"));
    // "<n>,<stat>[,...]"; the status comes alone only in the modem's own lines.
    const std::optional<int> stat = Number(fields.size() > 1 ? fields[1] : fields[0]);
    if (!stat) {
        return std::nullopt;
    }
    static constexpr std::array<const char*, 8> kNames = {"not_searching", "home",    "searching",
                                                          "denied",        "unknown", "roaming",
                                                          "home",  // registered for SMS only, home
                                                          "roaming"};
    return *stat >= 0 && *stat < static_cast<int>(kNames.size()) ? kNames[*stat] : "unknown";
}

void ReadOperator(std::string_view reply, ModemHealth& health) {
    const std::vector<std::string> fields = Fields(Behind(reply, "+COPS:"));
    // "<mode>[,<format>,<oper>[,<AcT>]]": without an operator the modem is on no network.
    if (fields.size() < 3 || fields[2].empty()) {
        return;
    }
    health.operatorName = fields[2];
    static constexpr std::array<const char*, 14> kAccess = {
        "gsm", "gsm",        "umts",   "edge", "hsdpa", "hsupa", "hspa",
        "lte", "ec_gsm_iot", "nb_iot", "lte",  "nr",    "nr",    "en_dc"};
    if (fields.size() > 3) {
        if (const std::optional<int> act = Number(fields[3]);
            act && *act >= 0 && *act < static_cast<int>(kAccess.size())) {
            health.access = kAccess[*act];
        }
    }
}

void ReadSignal(std::string_view reply, ModemHealth& health) {
    const std::optional<int> rssi = Number(Fields(Behind(reply, "+CSQ:"))[0]);
    if (!rssi || *rssi < 0 || *rssi > 31) {
        return;  // 99: not known
    }
    health.rssi = *rssi;
    health.dbm = -113 + 2 * *rssi;
    // Bars as phones show them: below -109 dBm nothing usable, from -63 dBm the best.
    health.quality = *rssi < 2    ? 0
                     : *rssi < 10 ? 1
                     : *rssi < 15 ? 2
                     : *rssi < 20 ? 3
                     : *rssi < 25 ? 4
                                  : 5;
}

std::optional<std::string> ImsiOf(std::string_view reply) {
    const std::string_view line = BareLine(reply);
    if (!AllDigits(line) || line.size() < 6 || line.size() > 15) {
        return std::nullopt;
    }
    return std::string(line);
}

std::optional<std::string> IccidOf(std::string_view reply) {
    std::string_view answer;
    for (const std::string_view tag : {"+CCID:", "+ICCID:", "^ICCID:", "+QCCID:", "ICCID:"}) {
        if (answer = Behind(reply, tag); !answer.empty()) {
            break;
        }
    }
    if (answer.empty()) {
        answer = BareLine(reply);
    }
    std::string iccid = Fields(answer)[0];
    // Some SIMs pad an odd-length number with F.
    while (!iccid.empty() && (iccid.back() == 'F' || iccid.back() == 'f')) {
        iccid.pop_back();
    }
    if (!AllDigits(iccid) || iccid.size() < 18 || iccid.size() > 22) {
        return std::nullopt;
    }
    return iccid;
}

void ReadStorage(std::string_view reply, ModemHealth& health) {
    const std::vector<std::string> fields = Fields(Behind(reply, "+CPMS:"));
    // "<mem1>,<used1>,<total1>,...": the first storage is where messages are read.
    if (fields.size() < 3) {
        return;
    }
    const std::optional<int> used = Number(fields[1]);
    const std::optional<int> total = Number(fields[2]);
    if (used && total && *used >= 0 && *total > 0 && *used <= *total) {
        health.storageUsed = *used;
        health.storageTotal = *total;
    }
}

ModemHealth AskHealth(
    IComBaseCmd& engine, CSXCom& port,
    const std::function<std::string(const std::function<std::string()>&)>& exchange) {
    ModemHealth health;
    // A modem that answers nothing at all is not asked on: each query would wait it out.
    bool silent = false;
    const auto ask = [&](const char* command) {
        std::string reply;
        if (!silent) {
            reply = exchange([&] {
                std::string answer;
                engine.SendSimpleCommand(port, command, &answer);
                return answer;
            });
            silent = reply.empty();
        }
        return reply;
    };
    health.registration = RegistrationOf(ask("AT+CREG?\r\n"));
    // A module on LTE alone may tell its registration only for the packet domain.
    if (health.registration != "home" && health.registration != "roaming") {
        if (auto lte = RegistrationOf(ask("AT+CEREG?\r\n")); lte == "home" || lte == "roaming") {
            health.registration = lte;
        }
    }
    ReadOperator(ask("AT+COPS?\r\n"), health);
    ReadSignal(ask("AT+CSQ\r\n"), health);
    health.imsi = ImsiOf(ask("AT+CIMI\r\n"));
    // The standard form first, then the vendors' own.
    for (const char* command : {"AT+CCID\r\n", "AT^ICCID?\r\n", "AT+QCCID\r\n"}) {
        if ((health.iccid = IccidOf(ask(command)))) {
            break;
        }
    }
    health.sim = SimName(SimStateOf(ask("AT+CPIN?\r\n")));
    ReadStorage(ask("AT+CPMS?\r\n"), health);
    return health;
}

}  // namespace GSM
