#include "engine/ComBaseCmd.h"

#include <cstring>
#include <span>
#include <string>
#include <string_view>

#include "codec/Reply.h"
#include "engine/CommandText.h"
#include "engine/ModelTable.h"
#include "engine/ProcessState.h"
#include "engine/ReplyReader.h"

namespace GSM {

namespace {

constexpr int kAttempts = 5;
constexpr int kReplyCapacity = 1024;
constexpr int kQueryPauseMs = 10;

// Reads one burst, always leaving a NUL behind it for the substring searches.
int ReadReply(CSXCom& port, char (&reply)[kReplyCapacity]) {
    return port.Read(reply, kReplyCapacity - 1);
}

int WriteText(CSXCom& port, const char* text) {
    return port.Write(text, static_cast<int>(std::strlen(text)));
}

// Query transaction: up to five writes, each followed by a short pause and one read, until
// `accept` takes the reply or the modem answers "ERROR". `accept` sees the reply without
// the modem's own lines and its length.
template <typename Accept>
Outcome Query(CSXCom& port, ModemNotes& notes, const char* command, Accept&& accept) {
    if (!port.IsOpen()) {
        return Outcome::PortClosed;
    }
    const std::string tag = TagOfCommand(command);
    char reply[kReplyCapacity] = {};
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        WriteText(port, command);
        // The pause gives way to a stop like every other wait of the port.
        if (port.Pause(kQueryPauseMs) == 0) {
            break;
        }
        const ReplyBurst burst =
            ReadReplyBurst(port, notes, reply, kReplyCapacity, ReplyDeadline(port), {tag});
        // What a longer earlier burst left behind the new one is still searched.
        const std::string text =
            burst.count > 0 ? notes.Note(CleanReply(reply, {tag})) : std::string();
        if (accept(text.c_str(), static_cast<int>(burst.text.size()))) {
            return Outcome::Done;
        }
        // Not the answer sought: any "ERROR" in it, whatever else it holds, ends the attempts.
        if (burst.count > 0 && ClassifyReply(text, Precedence::ErrorFirst) == ReplyKind::Error) {
            break;
        }
    }
    SetLastError(kTextNoSimCard);
    return Outcome::Failed;
}

}  // namespace

Outcome IComBaseCmd::SendSimpleCommand(CSXCom& port, const char* command) {
    const std::string tag = TagOfCommand(command);
    char reply[kReplyCapacity] = {};
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        WriteText(port, command);
        // Each read fills the buffer from its start; a reply split in two bursts sends the
        // command again and the second read still finds the first burst's "OK". Bursts of
        // nothing but status lines are read past without writing the command again.
        const ReplyBurst burst =
            ReadReplyBurst(port, notes, reply, kReplyCapacity, ReplyDeadline(port), {tag});
        if (burst.count > 0) {
            const ReplyKind kind = ClassifyReply(notes.Note(CleanReply(reply, {tag})));
            if (kind == ReplyKind::Ok) {
                return Outcome::Done;
            }
            if (kind == ReplyKind::Error) {
                break;
            }
        }
    }
    return Outcome::Failed;
}

Outcome IComBaseCmd::RunStatusCommand(CSXCom& port, const char* command, const char* failureText) {
    const Outcome outcome = command[0] == '\0' ? Outcome::Failed : SendSimpleCommand(port, command);
    if (outcome != Outcome::Done && failureText != nullptr) {
        SetLastError(failureText);
    }
    return outcome;
}

int IComBaseCmd::Identify(CSXCom& port) {
    if (!port.IsOpen()) {
        return -1;
    }
    static constexpr const char* kQueries[] = {"AT+GMM\r\n", "AT+CGMM\r\n", "AT+CGMR\r\n"};
    int32_t code = kModelNone;
    char reply[kReplyCapacity];
    for (int pass = 0; pass < kAttempts; ++pass) {
        for (const char* query : kQueries) {
            if (query == kQueries[2]) {
                port.Purge(PURGE_ALL);  // what the first two left unread must not match here
            }
            WriteText(port, query);
            std::memset(reply, 0, sizeof reply);
            ReadReply(port, reply);
            if (FromFlag(MatchModel(reply, code)) == Outcome::Done) {
                return code;
            }
        }
    }
    return kModelNone;
}

void IComBaseCmd::SetCountryCode(int32_t code) {
    countryCode = code;
}

int IComBaseCmd::CheckAt(CSXCom& port) {
    if (!port.IsOpen()) {
        return ToStatus(Outcome::PortClosed);
    }
    return ToStatus(RunStatusCommand(port, "AT\r\n", kTextNoBaudRate));
}

int IComBaseCmd::EchoOff(CSXCom& port) {
    if (!port.IsOpen()) {
        return ToStatus(Outcome::PortClosed);
    }
    return ToStatus(RunStatusCommand(port, "ATE0\r\n", kTextEchoOffFailed));
}

int IComBaseCmd::MatchModel(const char* reply, int32_t& code) {
    const int32_t found = reply != nullptr ? CodeOfReply(reply) : kModelNone;
    if (found != kModelNone) {
        code = found;
        return ToFlag(Outcome::Done);
    }
    SetLastError(kTextNoDeviceType);
    return ToFlag(Outcome::Failed);
}

int IComBaseCmd::SetMessageFormat(CSXCom& port, int mode) {
    if (!port.IsOpen()) {
        return ToStatus(Outcome::PortClosed);
    }
    char command[512];
    FormatCommand(command, sizeof command, "AT+CMGF=%d\r\n", mode);
    return ToStatus(RunStatusCommand(port, command, nullptr));
}

int IComBaseCmd::CheckSim(CSXCom& port) {
    if (!port.IsOpen()) {
        return ToStatus(Outcome::PortClosed);
    }
    // Only "OK" counts; a SIM waiting for its PIN passes.
    return ToStatus(RunStatusCommand(port, "AT+CPIN?\r\n", kTextNoSimCard));
}

int IComBaseCmd::SetNewMessageIndication(CSXCom& port, int mode, int mt, int bm, int ds, int bfr) {
    if (!port.IsOpen()) {
        return ToStatus(Outcome::PortClosed);
    }
    char command[512];
    FormatCommand(command, sizeof command, "AT+CNMI=%d,%d,%d,%d,%d\r\n", mode, mt, bm, ds, bfr);
    return ToStatus(RunStatusCommand(port, command, kTextCnmiError));
}

int IComBaseCmd::SetPreferredStorage(CSXCom& port, const char* storages) {
    if (!port.IsOpen()) {
        return ToStatus(Outcome::PortClosed);
    }
    char command[512];
    FormatCommand(command, sizeof command, "AT+CPMS=\"%s\"\r\n", storages ? storages : "");
    return ToStatus(RunStatusCommand(port, command, kTextCpmsError));
}

int IComBaseCmd::SetServiceCentre(CSXCom& port, const char* number) {
    char command[32];
    if (!FormatCommand(command, sizeof command, "AT+CSCA=\"%s\"\r\n", number ? number : "")) {
        return ToFlag(Outcome::Failed);  // too long for the command: never sent cut short
    }
    return ToFlag(Query(port, notes, command, [](const char* reply, int) {
        return ClassifyReply(reply) == ReplyKind::Ok;
    }));
}

int IComBaseCmd::GetServiceCentre(CSXCom& port, char* number, bool* international) {
    if (number == nullptr) {
        return ToFlag(Outcome::Failed);
    }
    return ToFlag(Query(port, notes, "AT+CSCA?\r\n", [&](const char* reply, int) {
        return ParseServiceCentre(reply, std::span<char>(number, kServiceCentreCapacity),
                                  international);
    }));
}

int IComBaseCmd::SetCharacterSet(CSXCom& port, const char* name) {
    if (!port.IsOpen()) {
        return ToStatus(Outcome::PortClosed);
    }
    char command[512];
    FormatCommand(command, sizeof command, "AT+CSCS=\"%s\"\r\n", name ? name : "");
    return ToStatus(RunStatusCommand(port, command, nullptr));
}

int IComBaseCmd::SetSubmitParameters(CSXCom& port) {
    if (!port.IsOpen()) {
        return ToStatus(Outcome::PortClosed);
    }
    return ToStatus(
        RunStatusCommand(port, "AT+CSMP=4098,0,\"15/12/25,16:15:00\",1,1\r\n", nullptr));
}

void IComBaseCmd::SetMessageEncoding(CSXCom& port, int first, int second) {
    if (!port.IsOpen()) {
        return;
    }
    char command[512];
    FormatCommand(command, sizeof command, "AT+ZMSGL=%d,%d\r\n", first, second);
    RunStatusCommand(port, command, nullptr);
}

int IComBaseCmd::GetOperatorCode(CSXCom& port, char* operatorCode) {
    if (operatorCode == nullptr) {
        return ToFlag(Outcome::Failed);
    }
    // The subscriber identity is the first run of digits; its first five digits are the
    // country and network codes, whatever the country.
    return ToFlag(Query(port, notes, "AT+CIMI\r\n", [&](const char* reply, int n) {
        if (n <= 5 || ClassifyReply(reply) != ReplyKind::Ok) {
            return false;
        }
        const std::string_view identity = SubscriberIdentity(reply);
        if (identity.empty()) {
            return false;
        }
        std::memcpy(operatorCode, identity.data(), 5);
        return true;
    }));
}

namespace {

// One step of a set-up sequence, by the status its operation gives.
Outcome RunSetupStep(IComBaseCmd& engine, CSXCom& port, const SetupStep& step) {
    switch (step.kind) {
        case SetupStepKind::EchoOff:
            return FromStatus(engine.EchoOff(port));
        case SetupStepKind::CheckSim:
            return FromStatus(engine.CheckSim(port));
        case SetupStepKind::PreferredStorage:
            return FromStatus(engine.SetPreferredStorage(port, step.text));
        case SetupStepKind::NewMessageIndication:
            return FromStatus(engine.SetNewMessageIndication(port, step.values[0], step.values[1],
                                                             step.values[2], step.values[3],
                                                             step.values[4]));
        case SetupStepKind::MessageFormat:
            return FromStatus(engine.SetMessageFormat(port, step.values[0]));
        case SetupStepKind::CharacterSet:
            return FromStatus(engine.SetCharacterSet(port, step.text));
    }
    return Outcome::Failed;
}

}  // namespace

Outcome SetupModem(IComBaseCmd& engine, CSXCom& port, int32_t code) {
    const OperatorRefinement& refinement = ProfileOf(code).refinement;
    if (refinement.code != kModelNone) {
        char operatorCode[260] = {};
        if (FromFlag(engine.GetOperatorCode(port, operatorCode)) != Outcome::Done) {
            return Outcome::Failed;
        }
        for (std::string_view network : refinement.networks) {
            if (!network.empty() && network == operatorCode) {
                code = refinement.code;
                modelCode.store(code);
                break;
            }
        }
    }
    const std::span<const SetupStep> steps = ProfileOf(code).setup;
    if (steps.empty()) {
        return Outcome::Failed;
    }
    for (const SetupStep& step : steps) {
        if (RunSetupStep(engine, port, step) != Outcome::Done) {
            return Outcome::Failed;
        }
    }
    return Outcome::Done;
}

}  // namespace GSM
