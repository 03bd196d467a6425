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
int Query(CSXCom& port, const char* command, Accept&& accept) {
    if (!port.IsOpen()) {
        return 0;
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
            ReadReplyBurst(port, reply, kReplyCapacity, ReplyDeadline(port), {tag});
        // What a longer earlier burst left behind the new one is still searched.
        const std::string text = burst.count > 0 ? CleanReply(reply, {tag}) : std::string();
        if (accept(text.c_str(), static_cast<int>(burst.text.size()))) {
            return 1;
        }
        // Not the answer sought: any "ERROR" in it, whatever else it holds, ends the attempts.
        if (burst.count > 0 && ClassifyReply(text, Precedence::ErrorFirst) == ReplyKind::Error) {
            break;
        }
    }
    SetLastError(kTextNoSimCard);
    return 0;
}

}  // namespace

int IComBaseCmd::SendSimpleCommand(CSXCom& port, const char* command) {
    const std::string tag = TagOfCommand(command);
    char reply[kReplyCapacity] = {};
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        WriteText(port, command);
        // Each read fills the buffer from its start; a reply split in two bursts sends the
        // command again and the second read still finds the first burst's "OK". Bursts of
        // nothing but status lines are read past without writing the command again.
        const ReplyBurst burst =
            ReadReplyBurst(port, reply, kReplyCapacity, ReplyDeadline(port), {tag});
        if (burst.count > 0) {
            const ReplyKind kind = ClassifyReply(CleanReply(reply, {tag}));
            if (kind == ReplyKind::Ok) {
                return kStatusOk;
            }
            if (kind == ReplyKind::Error) {
                break;
            }
        }
    }
    return kStatusFailed;
}

int IComBaseCmd::RunStatusCommand(CSXCom& port, const char* command, const char* failureText) {
    int status = command[0] == '\0' ? kStatusFailed : SendSimpleCommand(port, command);
    if (status != kStatusOk && failureText != nullptr) {
        SetLastError(failureText);
    }
    return status;
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
            if (MatchModel(reply, code) != 0) {
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
        return kStatusPortClosed;
    }
    return RunStatusCommand(port, "AT\r\n", kTextNoBaudRate);
}

int IComBaseCmd::EchoOff(CSXCom& port) {
    if (!port.IsOpen()) {
        return kStatusPortClosed;
    }
    return RunStatusCommand(port, "ATE0\r\n", kTextEchoOffFailed);
}

int IComBaseCmd::MatchModel(const char* reply, int32_t& code) {
    const int32_t found = reply != nullptr ? CodeOfReply(reply) : kModelNone;
    if (found != kModelNone) {
        code = found;
        return 1;
    }
    SetLastError(kTextNoDeviceType);
    return 0;
}

int IComBaseCmd::SetMessageFormat(CSXCom& port, int mode) {
    if (!port.IsOpen()) {
        return kStatusPortClosed;
    }
    char command[512];
    FormatCommand(command, sizeof command, "AT+CMGF=%d\r\n", mode);
    return RunStatusCommand(port, command, nullptr);
}

int IComBaseCmd::CheckSim(CSXCom& port) {
    if (!port.IsOpen()) {
        return kStatusPortClosed;
    }
    // Only "OK" counts; a SIM waiting for its PIN passes.
    return RunStatusCommand(port, "AT+CPIN?\r\n", kTextNoSimCard);
}

int IComBaseCmd::SetNewMessageIndication(CSXCom& port, int mode, int mt, int bm, int ds, int bfr) {
    if (!port.IsOpen()) {
        return kStatusPortClosed;
    }
    char command[512];
    FormatCommand(command, sizeof command, "AT+CNMI=%d,%d,%d,%d,%d\r\n", mode, mt, bm, ds, bfr);
    return RunStatusCommand(port, command, kTextCnmiError);
}

int IComBaseCmd::SetPreferredStorage(CSXCom& port, const char* storages) {
    if (!port.IsOpen()) {
        return kStatusPortClosed;
    }
    char command[512];
    FormatCommand(command, sizeof command, "AT+CPMS=\"%s\"\r\n", storages ? storages : "");
    return RunStatusCommand(port, command, kTextCpmsError);
}

int IComBaseCmd::SetServiceCentre(CSXCom& port, const char* number) {
    char command[32];
    if (!FormatCommand(command, sizeof command, "AT+CSCA=\"%s\"\r\n", number ? number : "")) {
        return 0;  // too long for the command: never sent cut short
    }
    return Query(port, command,
                 [](const char* reply, int) { return ClassifyReply(reply) == ReplyKind::Ok; });
}

int IComBaseCmd::GetServiceCentre(CSXCom& port, char* number, bool* international) {
    if (number == nullptr) {
        return 0;
    }
    return Query(port, "AT+CSCA?\r\n", [&](const char* reply, int) {
        return ParseServiceCentre(reply, std::span<char>(number, kServiceCentreCapacity),
                                  international);
    });
}

int IComBaseCmd::SetCharacterSet(CSXCom& port, const char* name) {
    if (!port.IsOpen()) {
        return kStatusPortClosed;
    }
    char command[512];
    FormatCommand(command, sizeof command, "AT+CSCS=\"%s\"\r\n", name ? name : "");
    return RunStatusCommand(port, command, nullptr);
}

int IComBaseCmd::SetSubmitParameters(CSXCom& port) {
    if (!port.IsOpen()) {
        return kStatusPortClosed;
    }
    return RunStatusCommand(port, "AT+CSMP=4098,0,\"15/12/25,16:15:00\",1,1\r\n", nullptr);
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
        return 0;
    }
    // The subscriber identity is the first run of digits; its first five digits are the
    // country and network codes, whatever the country.
    return Query(port, "AT+CIMI\r\n", [&](const char* reply, int n) {
        if (n <= 5 || ClassifyReply(reply) != ReplyKind::Ok) {
            return false;
        }
        const std::string_view identity = SubscriberIdentity(reply);
        if (identity.empty()) {
            return false;
        }
        std::memcpy(operatorCode, identity.data(), 5);
        return true;
    });
}

int SetupModem(IComBaseCmd& engine, CSXCom& port, int32_t code) {
    const OperatorRefinement& refinement = ProfileOf(code).refinement;
    if (refinement.code != kModelNone) {
        char operatorCode[260] = {};
        if (engine.GetOperatorCode(port, operatorCode) == 0) {
            return 0;
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
        return 0;
    }
    for (const SetupStep& step : steps) {
        int status = kStatusFailed;
        switch (step.kind) {
            case SetupStepKind::EchoOff:
                status = engine.EchoOff(port);
                break;
            case SetupStepKind::CheckSim:
                status = engine.CheckSim(port);
                break;
            case SetupStepKind::PreferredStorage:
                status = engine.SetPreferredStorage(port, step.text);
                break;
            case SetupStepKind::NewMessageIndication:
                status =
                    engine.SetNewMessageIndication(port, step.values[0], step.values[1],
                                                   step.values[2], step.values[3], step.values[4]);
                break;
            case SetupStepKind::MessageFormat:
                status = engine.SetMessageFormat(port, step.values[0]);
                break;
            case SetupStepKind::CharacterSet:
                status = engine.SetCharacterSet(port, step.text);
                break;
        }
        if (status != kStatusOk) {
            return 0;
        }
    }
    return 1;
}

}  // namespace GSM
