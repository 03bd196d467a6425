// tarvik ports: which serial device is which, and which of a dongle's ttys answers AT.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "LocalText.h"
#include "PortProbe.h"
#include "PortScan.h"
#include "link/ServeLink.h"
#include "serial/CSXCom.h"

namespace TarvikCli {

namespace {

void AskFacts(CSXCom& com, Probe& probe) {
    struct Query {
        const char* label;
        const char* command;
    };
    static const Query kQueries[] = {
        {"manufacturer", "AT+CGMI"}, {"model", "AT+CGMM"}, {"revision", "AT+CGMR"},
        {"imei", "AT+CGSN"},         {"sim", "AT+CPIN?"},  {"signal", "AT+CSQ"},
    };
    for (const Query& query : kQueries) {
        std::string status;
        const std::string answer = AnswerOf(query.command, Ask(com, query.command), status);
        if (!answer.empty()) {
            probe.facts.emplace_back(query.label, answer);
        }
    }
}

std::string ProbeJson(const SerialEntry& entry, const Probe& probe) {
    TarvikLink::Json line = {{"path", entry.path}, {"device", entry.device}};
    line["links"] = entry.links;
    line["exists"] = !entry.device.empty();
    if (!probe.heldBy.empty()) {
        line["held_by"] = probe.heldBy;
    }
    line["opened"] = probe.opened;
    line["answers"] = probe.answers;
    for (const auto& [label, answer] : probe.facts) {
        line[label] = LocalToUtf8(answer);
        if (label == "signal") {
            if (const auto rssi = TarvikLink::RssiOf(answer)) {
                line["rssi"] = *rssi;
            }
        }
    }
    return line.dump(-1, ' ', false, TarvikLink::Json::error_handler_t::replace) + "\n";
}

std::string ProbeText(const SerialEntry& entry, const Probe& probe) {
    std::string text = entry.path;
    if (!entry.device.empty() && entry.device != entry.path) {
        text += " -> " + entry.device;
    }
    text += "\n";
    for (const std::string& link : entry.links) {
        text += "  link: " + link + "\n";
    }
    if (entry.device.empty()) {
        return text + "  does not exist\n";
    }
    if (!probe.heldBy.empty()) {
        return text + "  held by " + probe.heldBy + " (not touched)\n";
    }
    if (!probe.opened) {
        return text + "  cannot be opened\n";
    }
    if (!probe.answers) {
        return text + "  no answer to AT\n";
    }
    text += "  answers AT\n";
    for (const auto& [label, answer] : probe.facts) {
        text += "  " + label + ": " + (label == "signal" ? SignalOf(answer) : answer) + "\n";
    }
    return text;
}

}  // namespace

int RunPorts(const Options& options) {
    std::string why;
    const std::vector<SerialEntry> entries = ScanSerialDevices(options.words, why);
    if (!why.empty()) {
        return Complain(kExitRefused, why);
    }
    for (const SerialEntry& entry : entries) {
        const Probe probe =
            entry.device.empty() ? Probe{} : ProbeDevice(entry.path, options.baud, &AskFacts);
        const std::string shown = options.json ? ProbeJson(entry, probe) : ProbeText(entry, probe);
        std::fputs(shown.c_str(), stdout);
        std::fflush(stdout);
    }
    return kExitDone;
}

}  // namespace TarvikCli
