// The modem's dispatch: input cut into command lines, each answered by its row of the
// command table and shaped by the switches set on it. Faults, text entry and storage each
// have a file of their own.
#include "Modem.h"

#include <algorithm>

#include "ReplyText.h"

namespace ModemSim {

CModem::CModem(std::string linkDir, int port, ModemProfile profile)
    : profile_(std::move(profile)), port_(std::move(linkDir), port) {
    port_.SetHandler([this](CPtyPort&, std::string_view chunk) { OnInput(chunk); });
}

CModem::~CModem() {
    StopChatter();
    port_.SetHandler(nullptr);
}

void CModem::Restart(bool announce) {
    std::lock_guard lock(mutex_);
    profile_.echo = true;
    messageFormat_ = 0;
    characterSet_ = "IRA";
    rawUcs2_ = false;
    indication_ = "0,0,0,0,0";
    submitFirstOctet_ = 17;
    readStorage_.clear();
    simUnlocked_ = false;  // a SIM asks for its PIN again after every power-up
    entry_.reset();
    pending_.clear();
    if (announce) {
        std::string boot;
        for (const std::string& line : profile_.bootLines) {
            boot += Line(line);
        }
        port_.Send(boot);
    }
}

void CModem::DropIndication() {
    std::lock_guard lock(mutex_);
    indication_ = "0,0,0,0,0";
}

std::vector<Submission> CModem::Submitted() const {
    std::lock_guard lock(mutex_);
    return submitted_;
}

void CModem::ClearLogs() {
    {
        std::lock_guard lock(mutex_);
        submitted_.clear();
        commands_.clear();
    }
    port_.ClearReceived();
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

bool CModem::InTextEntry() const {
    std::lock_guard lock(mutex_);
    return entry_.has_value();
}

void CModem::OnInput(std::string_view chunk) {
    std::lock_guard lock(mutex_);
    if (profile_.baudRate != 0 && port_.LineSpeed() != profile_.baudRate) {
        return;
    }
    if (entry_ && profile_.promptReadyMs > 0 && std::chrono::steady_clock::now() < entryReady_) {
        return;  // not ready for the text yet: it is lost
    }
    if (profile_.echo) {
        port_.Send(std::string(chunk));
    }
    pending_.append(chunk);
    for (;;) {
        if (entry_) {
            TakeBody();
            if (entry_) {
                return;
            }
            continue;
        }
        // A command ends at its carriage return; the line feed some commands add is skipped.
        const std::size_t end = pending_.find('\r');
        if (end == std::string::npos) {
            return;
        }
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        // Line feeds, and a Ctrl-Z or ESC that found no text entry, are not part of a command.
        line.erase(0, line.find_first_not_of(std::string("\n") + kCtrlZ + kEsc));
        HandleCommand(line);
        if (!entry_ && !pending_.empty() && pending_.front() == '\n') {
            pending_.erase(0, 1);
        }
    }
}

void CModem::HandleCommand(const std::string& line) {
    if (line.empty()) {
        return;  // a bare line end is no command
    }
    commands_.push_back(line);
    Script script = ShapedReply(line);
    if (!script.empty()) {
        Play(std::move(script));
    }
}

CModem::Pieces CModem::Reply(const std::string& info, const std::string& result) {
    Pieces pieces;
    if (!info.empty()) {
        pieces.push_back(Burst{Line(info), 0});
    }
    pieces.push_back(Burst{Line(result), 0});
    return pieces;
}

CModem::Pieces CModem::Answer(const std::string& line) {
    for (const CommandRow& row : CommandTable()) {
        const bool matches =
            row.prefix ? std::string_view(line).starts_with(row.command) : line == row.command;
        if (!matches) {
            continue;
        }
        if (std::optional<Pieces> pieces = row.answer(*this, line)) {
            return std::move(*pieces);
        }
    }
    // A command the modem does not know.
    if (profile_.generic) {
        const bool probe =
            std::any_of(profile_.modeSwitchProbes.begin(), profile_.modeSwitchProbes.end(),
                        [&](const std::string& prefix) { return StartsWith(line, prefix); });
        return Reply("", probe ? kError : kOk);
    }
    return Reply("", kError);
}

// The profile's own answers first, then identity, SIM and network.
std::span<const CModem::CommandRow> CModem::IdentityRows() {
    using Answered = std::optional<Pieces>;
    static const CommandRow kRows[] = {
        {"", true,
         [](CModem& m, const std::string& line) -> Answered {
             if (const auto it = m.profile_.identity.find(line); it != m.profile_.identity.end()) {
                 return Reply(it->second, kOk);
             }
             if (const auto it = m.profile_.replies.find(line); it != m.profile_.replies.end()) {
                 return Pieces{Burst{it->second, 0}};
             }
             return std::nullopt;
         }},
        {"AT", false, [](CModem&, const std::string&) -> Answered { return Reply("", kOk); }},
        {"ATE0", false,
         [](CModem& m, const std::string&) -> Answered {
             m.profile_.echo = false;
             return Reply("", kOk);
         }},
        {"ATE1", false,
         [](CModem& m, const std::string&) -> Answered {
             m.profile_.echo = true;
             return Reply("", kOk);
         }},
        // Identification the profile does not answer.
        {"AT+GMM", false,
         [](CModem&, const std::string&) -> Answered { return Reply("", kError); }},
        {"AT+CGMM", false,
         [](CModem&, const std::string&) -> Answered { return Reply("", kError); }},
        {"AT+CGMR", false,
         [](CModem&, const std::string&) -> Answered { return Reply("", kError); }},
        {"AT+CPIN?", false,
         [](CModem& m, const std::string&) -> Answered { return m.AnswerSimState(); }},
        {"AT+CPIN=", true,
         [](CModem& m, const std::string& line) -> Answered { return m.AnswerPin(line); }},
        {"AT+CPINR", true,
         [](CModem& m, const std::string&) -> Answered { return m.AnswerPinTries(); }},
        {"AT+CIMI", false,
         [](CModem& m, const std::string&) -> Answered { return Reply(m.profile_.imsi, kOk); }},
        // What a user asks first of a modem: the signal, and the network it is registered on
        // (named by the SIM's network code).
        {"AT+CSQ", false,
         [](CModem&, const std::string&) -> Answered { return Reply("+CSQ: 23,99", kOk); }},
        {"AT+COPS?", false,
         [](CModem& m, const std::string&) -> Answered { return m.AnswerOperator(); }},
        {"AT+CREG?", false,
         [](CModem& m, const std::string&) -> Answered { return m.AnswerRegistration(); }},
        {"AT+CGSN", false,
         [](CModem& m, const std::string&) -> Answered { return Reply(m.profile_.imei, kOk); }},
        {"AT+CCID", false,
         [](CModem& m, const std::string&) -> Answered {
             return Reply("+CCID: " + m.profile_.iccid, kOk);
         }},
    };
    return kRows;
}

// The service centre, the message format and the character set.
std::span<const CModem::CommandRow> CModem::FormatRows() {
    using Answered = std::optional<Pieces>;
    static const CommandRow kRows[] = {
        {"AT+CSCA?", false,
         [](CModem& m, const std::string&) -> Answered {
             return Reply(m.profile_.serviceCentreLine, kOk);
         }},
        {"AT+CSCA=\"", true,
         [](CModem& m, const std::string& line) -> Answered {
             m.profile_.serviceCentreLine = "+CSCA: " + line.substr(8) + ",145";
             return Reply("", kOk);
         }},
        {"AT+CMGF=0", false,
         [](CModem& m, const std::string&) -> Answered {
             m.messageFormat_ = 0;
             return Reply("", kOk);
         }},
        {"AT+CMGF=1", false,
         [](CModem& m, const std::string&) -> Answered {
             m.messageFormat_ = 1;
             return Reply("", kOk);
         }},
        // The standard queries a general-purpose peer asks before it trusts a modem.
        {"AT+CSCS?", false,
         [](CModem& m, const std::string&) -> Answered {
             return Reply("+CSCS: \"" + m.characterSet_ + "\"", kOk);
         }},
        {"AT+CSCS=?", false,
         [](CModem&, const std::string&) -> Answered {
             return Reply("+CSCS: (\"IRA\",\"GSM\",\"UCS2\")", kOk);
         }},
        {"AT+CMGF=?", false,
         [](CModem&, const std::string&) -> Answered { return Reply("+CMGF: (0,1)", kOk); }},
        {"AT+CPMS=?", false,
         [](CModem& m, const std::string&) -> Answered {
             const std::string name = "\"" + m.profile_.storageName + "\"";
             return Reply("+CPMS: (" + name + "),(" + name + "),(" + name + ")", kOk);
         }},
    };
    return kRows;
}

// Storages, character set, unprompted bodies and indications.
std::span<const CModem::CommandRow> CModem::StorageRows() {
    using Answered = std::optional<Pieces>;
    static const CommandRow kRows[] = {
        {"AT+CPMS?", false,
         [](CModem& m, const std::string&) -> Answered {
             const std::string used = std::to_string(m.storage_.size());
             const std::string total = std::to_string(m.profile_.capacity);
             const std::string name = "\"" + m.profile_.storageName + "\"," + used + "," + total;
             const std::string read =
                 m.readStorage_.empty() ? name : "\"" + m.readStorage_ + "\"," + used + "," + total;
             return Reply("+CPMS: " + read + "," + name + "," + name, kOk);
         }},
        {"AT+CSCS=\"", true,
         [](CModem& m, const std::string& line) -> Answered {
             if (line.size() <= 10 || line.back() != '"') {
                 return std::nullopt;
             }
             m.characterSet_ = line.substr(9, line.size() - 10);
             return Reply("", kOk);
         }},
        {"AT+CPMS=", true,
         [](CModem& m, const std::string& line) -> Answered {
             // The first storage named is the one reading and deletion work on.
             const std::size_t open = line.find('"');
             const std::size_t close = line.find('"', open + 1);
             if (open != std::string::npos && close != std::string::npos) {
                 const std::string name = line.substr(open + 1, close - open - 1);
                 m.readStorage_ = name == m.profile_.storageName ? std::string() : name;
             }
             const std::string used = std::to_string(m.storage_.size());
             const std::string total = std::to_string(m.profile_.capacity);
             const std::string read =
                 m.readStorage_ == "SR" ? std::to_string(m.reportMemory_.size()) : used;
             return Reply("+CPMS: " + read + "," + total + "," + used + "," + total + "," + used +
                              "," + total,
                          kOk);
         }},
        {"AT+ZMSGL=", true,
         [](CModem& m, const std::string& line) -> Answered {
             // The second value names the coding of unprompted bodies: 4 for raw UCS2.
             const std::size_t comma = line.find(',');
             m.rawUcs2_ = comma != std::string::npos && WholeNumber(line.substr(comma + 1)) == 4;
             return Reply("", kOk);
         }},
        {"AT+CNMI=", true,
         [](CModem& m, const std::string& line) -> Answered {
             m.indication_ = line.substr(8);
             return Reply("", kOk);
         }},
        {"AT+CNMI?", false,
         [](CModem& m, const std::string&) -> Answered {
             return Reply("+CNMI: " + m.indication_, kOk);
         }},
    };
    return kRows;
}

// Submitting, listing, reading and deleting.
std::span<const CModem::CommandRow> CModem::MessageRows() {
    using Answered = std::optional<Pieces>;
    static const CommandRow kRows[] = {
        {"AT+CSMP=", true,
         [](CModem& m, const std::string& line) -> Answered {
             const std::string arg = line.substr(8);
             m.submitFirstOctet_ = WholeNumber(arg.substr(0, arg.find(','))).value_or(17);
             return Reply("", kOk);
         }},
        {"AT+CMGS=", true,
         [](CModem& m, const std::string& line) -> Answered { return m.AnswerSubmit(line); }},
        {"AT+CMGL", false,
         [](CModem& m, const std::string& line) -> Answered { return m.AnswerList(line); }},
        {"AT+CMGL=", true,
         [](CModem& m, const std::string& line) -> Answered { return m.AnswerList(line); }},
        {"AT+CMGR=", true,
         [](CModem& m, const std::string& line) -> Answered { return m.AnswerRead(line); }},
        {"AT+CMGD=", true,
         [](CModem& m, const std::string& line) -> Answered { return m.AnswerDelete(line); }},
    };
    return kRows;
}

std::span<const CModem::CommandRow> CModem::CommandTable() {
    // In the order they are tried: a row that declines a command leaves it to those below.
    static const std::vector<CommandRow> kRows = [] {
        std::vector<CommandRow> rows;
        for (const auto group : {IdentityRows(), FormatRows(), StorageRows(), MessageRows()}) {
            rows.insert(rows.end(), group.begin(), group.end());
        }
        return rows;
    }();
    return kRows;
}

}  // namespace ModemSim
