#include "Modem.h"

namespace ModemSim {

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

const std::string kOk = "OK";
const std::string kError = "ERROR";

}  // namespace

ModemProfile ProfileFor(const std::string& model) {
    ModemProfile profile;
    profile.identity["AT+GMM"] = model;
    profile.identity["AT+CGMM"] = model;
    profile.identity["AT+CGMR"] = "Revision: " + model + "_V1.00";
    return profile;
}

CModem::CModem(std::string linkDir, int port, ModemProfile profile)
    : profile_(std::move(profile)), port_(std::move(linkDir), port) {
    port_.SetHandler([this](CPtyPort&, std::string_view chunk) { OnInput(chunk); });
}

CModem::~CModem() {
    port_.SetHandler(nullptr);
}

void CModem::FailCommand(const std::string& prefix, std::string reply, int uses) {
    ReplyTo(prefix, Script{Burst{std::move(reply), 0}}, uses);
}

void CModem::SilenceCommand(const std::string& prefix, int uses) {
    ReplyTo(prefix, {}, uses);
}

void CModem::ReplyTo(const std::string& prefix, Script script, int uses) {
    std::lock_guard lock(mutex_);
    overrides_.push_back(Override{prefix, std::move(script), 0, uses});
}

void CModem::SplitReply(const std::string& prefix, int pauseMs, int uses) {
    std::lock_guard lock(mutex_);
    overrides_.push_back(Override{prefix, std::nullopt, pauseMs, uses});
}

std::vector<std::string> CModem::Commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

int CModem::MessageFormat() const {
    std::lock_guard lock(mutex_);
    return messageFormat_;
}

std::string CModem::CharacterSet() const {
    std::lock_guard lock(mutex_);
    return characterSet_;
}

bool CModem::Echo() const {
    std::lock_guard lock(mutex_);
    return profile_.echo;
}

void CModem::OnInput(std::string_view chunk) {
    std::vector<std::string> lines;
    {
        std::lock_guard lock(mutex_);
        if (profile_.baudRate != 0 && port_.LineSpeed() != profile_.baudRate) {
            return;
        }
        if (profile_.echo) {
            port_.Send(std::string(chunk));
        }
        pending_.append(chunk);
        // A command ends at its carriage return; the line feed some commands add is skipped.
        for (std::size_t end; (end = pending_.find('\r')) != std::string::npos;) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            if (!pending_.empty() && pending_.front() == '\n') {
                pending_.erase(0, 1);
            }
            while (!line.empty() && line.front() == '\n') {
                line.erase(0, 1);
            }
            lines.push_back(std::move(line));
        }
    }
    for (const std::string& line : lines) {
        HandleCommand(line);
    }
}

void CModem::HandleCommand(const std::string& line) {
    std::lock_guard lock(mutex_);
    commands_.push_back(line);
    for (auto it = overrides_.begin(); it != overrides_.end(); ++it) {
        if (!StartsWith(line, it->prefix)) {
            continue;
        }
        Override used = *it;
        if (it->uses > 0 && --it->uses == 0) {
            overrides_.erase(it);
        }
        if (used.script) {
            port_.Reply(*used.script);
            return;
        }
        auto [info, result] = Answer(line);
        port_.Reply({Burst{info.empty() ? "" : "\r\n" + info + "\r\n", 0},
                     Burst{"\r\n" + result + "\r\n", used.splitPauseMs}});
        return;
    }
    auto [info, result] = Answer(line);
    port_.Send((info.empty() ? "" : "\r\n" + info + "\r\n") + "\r\n" + result + "\r\n");
}

std::pair<std::string, std::string> CModem::Answer(const std::string& line) {
    if (line == "AT") {
        return {"", kOk};
    }
    if (line == "ATE0" || line == "ATE1") {
        profile_.echo = line == "ATE1";
        return {"", kOk};
    }
    if (auto it = profile_.identity.find(line); it != profile_.identity.end()) {
        return {it->second, kOk};
    }
    if (line == "AT+GMM" || line == "AT+CGMM" || line == "AT+CGMR") {
        return {"", kError};
    }
    if (line == "AT+CPIN?") {
        return {"+CPIN: READY", kOk};
    }
    if (line == "AT+CIMI") {
        return {profile_.imsi, kOk};
    }
    if (line == "AT+CSCA?") {
        return {profile_.serviceCentreLine, kOk};
    }
    if (StartsWith(line, "AT+CSCA=\"")) {
        profile_.serviceCentreLine = "+CSCA: " + line.substr(8) + ",145";
        return {"", kOk};
    }
    if (StartsWith(line, "AT+CMGF=") && (line == "AT+CMGF=0" || line == "AT+CMGF=1")) {
        messageFormat_ = line.back() - '0';
        return {"", kOk};
    }
    if (StartsWith(line, "AT+CSCS=\"") && line.size() > 10 && line.back() == '"') {
        characterSet_ = line.substr(9, line.size() - 10);
        return {"", kOk};
    }
    if (StartsWith(line, "AT+CPMS=")) {
        return {"+CPMS: 0,50,0,50,0,50", kOk};
    }
    if (StartsWith(line, "AT+CNMI=") || StartsWith(line, "AT+ZMSGL=") ||
        StartsWith(line, "AT+CSMP=")) {
        return {"", kOk};
    }
    return {"", kError};
}

}  // namespace ModemSim
