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

// A burst the reader cleaned and noted already, cleaned again: its report lines are noted
// once.
CleanText Recleaned(std::string_view raw, ReplyTags expected) {
    CleanText cleaned = CleanReply(raw, expected);
    cleaned.reports.clear();
    return cleaned;
}

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
Outcome Query(CSXCom& port, ModemNotes& notes, const char* command, Accept&& accept,
              const char* failureText = kTextNoSimCard) {
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
            burst.count > 0 ? notes.Note(Recleaned(reply, {tag})) : std::string();
        if (accept(text.c_str(), static_cast<int>(burst.text.size()))) {
            return Outcome::Done;
        }
        // Not the answer sought: any "ERROR" in it, whatever else it holds, ends the attempts.
        if (burst.count > 0 && ClassifyReply(text, Precedence::ErrorFirst) == ReplyKind::Error) {
            break;
        }
    }
    if (failureText != nullptr) {
        SetLastError(failureText);
    }
    return Outcome::Failed;
}

// The name a modem gives itself in an identification reply: the first information line of
// a reply that ends in "OK", past an echo, as printable text of a bounded length; empty
// for any other reply.
std::string NameInReply(std::string_view reply) {
    if (ClassifyReply(reply) != ReplyKind::Ok) {
        return {};
    }
    constexpr std::size_t kLongest = 48;
    for (std::size_t at = 0; at < reply.size();) {
        std::size_t end = reply.find_first_of("\r\n", at);
        end = end == std::string_view::npos ? reply.size() : end;
        std::string_view line = reply.substr(at, end - at);
        at = end + 1;
        while (!line.empty() && line.front() == ' ') {
            line.remove_prefix(1);
        }
        while (!line.empty() && line.back() == ' ') {
            line.remove_suffix(1);
        }
        if (line.empty() || line.rfind("AT", 0) == 0 || IsFinalResultLine(line)) {
            continue;
        }
        std::string name(line.substr(0, kLongest));
        for (char& c : name) {
            c = c >= 0x20 && c < 0x7F ? c : '?';
        }
        return name;
    }
    return {};
}

// Whether `answer` offers `value` in a list such as "(0,1)" or "(0-1)" behind `tag`.
bool OffersValue(std::string_view answer, std::string_view tag, int value) {
    const std::size_t start = answer.find(tag);
    if (start == std::string_view::npos) {
        return false;
    }
    int low = -1;
    bool range = false;
    for (std::size_t at = start + tag.size();
         at < answer.size() && answer[at] != '\r' && answer[at] != '\n';) {
        const char c = answer[at];
        if (c >= '0' && c <= '9') {
            int number = 0;
            while (at < answer.size() && answer[at] >= '0' && answer[at] <= '9' && number < 1000) {
                number = number * 10 + (answer[at++] - '0');
            }
            if (number == value || (range && low <= value && value <= number)) {
                return true;
            }
            low = number;
            range = false;
            continue;
        }
        range = c == '-';
        ++at;
    }
    return false;
}

// The standard test commands a modem that no row names must answer before the standard
// dialect is used with it; what its answer lacks, or nothing when all three fit.
const char* GenericShortfall(CSXCom& port, ModemNotes& notes) {
    struct Probe {
        const char* command;
        bool (*fits)(std::string_view answer);
        const char* lack;
    };
    static constexpr Probe kProbes[] = {
        {"AT+CMGF=?\r\n",
         [](std::string_view a) {
             return OffersValue(a, "+CMGF:", 0) && OffersValue(a, "+CMGF:", 1);
         },
         "offers no PDU and text mode"},
        {"AT+CPMS=?\r\n",
         [](std::string_view a) { return a.find("+CPMS:") != std::string_view::npos; },
         "lists no message storage"},
        {"AT+CSCS=?\r\n",
         [](std::string_view a) {
             return a.find("+CSCS:") != std::string_view::npos &&
                    a.find("\"GSM\"") != std::string_view::npos;
         },
         "offers no GSM character set"},
    };
    for (const Probe& probe : kProbes) {
        // A final "OK" is the answer, whether it fits or not; only its absence is asked again.
        bool fits = false;
        const Outcome outcome = Query(
            port, notes, probe.command,
            [&](const char* reply, int) {
                if (ClassifyReply(reply) != ReplyKind::Ok) {
                    return false;
                }
                fits = probe.fits(reply);
                return true;
            },
            nullptr);
        if (outcome != Outcome::Done || !fits) {
            return probe.lack;
        }
    }
    return nullptr;
}

}  // namespace

Outcome IComBaseCmd::SendSimpleCommand(CSXCom& port, const char* command, std::string* text) {
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
            const std::string cleaned = notes.Note(Recleaned(reply, {tag}));
            if (text != nullptr) {
                *text = cleaned;
            }
            const ReplyKind kind = ClassifyReply(cleaned);
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
        std::string replies[std::size(kQueries)];
        for (std::size_t i = 0; i < std::size(kQueries); ++i) {
            if (i == 2) {
                port.Purge(PURGE_ALL);  // what the first two left unread must not match here
            }
            WriteText(port, kQueries[i]);
            std::memset(reply, 0, sizeof reply);
            ReadReply(port, reply);
            if (FromFlag(MatchModel(reply, code)) == Outcome::Done) {
                return code;
            }
            replies[i] = reply;
        }
        // No row's own name in the whole pass: then a family, and for a modem that names
        // itself with nothing the table knows, the standard dialect once it has shown it
        // speaks it. Its own name stays in the text when it does not.
        for (const std::string& answer : replies) {
            if (const int32_t family = CodeOfFamily(answer); family != kModelNone) {
                return family;
            }
        }
        for (const std::string& answer : replies) {
            const std::string name = NameInReply(answer);
            if (name.empty()) {
                continue;
            }
            if (const char* lack = GenericShortfall(port, notes)) {
                const std::string text = std::string(kTextNoDeviceType) + ": " + name + " " + lack;
                SetLastError(text.c_str());
                return kModelNone;
            }
            return kModelGeneric;
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
    std::string reply;
    const Outcome outcome = SendSimpleCommand(port, "AT+CPIN?\r\n", &reply);
    const SimState state = SimStateOf(reply);
    // A SIM waiting for its PIN fails here with its reason rather than later in the set-up.
    // The other states keep their old results unless a PIN was given, that is for our own
    // programs, which want each reason of its own.
    if (state == SimState::PinWanted || (simPin.Given() && state != SimState::Ready)) {
        if (UnlockSim(*this, port, state) != Outcome::Done) {
            return ToStatus(Outcome::Failed);
        }
        if (state == SimState::PinWanted) {
            return ToStatus(Outcome::Done);
        }
    }
    if (outcome != Outcome::Done) {
        SetLastError(kTextNoSimCard);
    }
    return ToStatus(outcome);
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
    // A set-up follows an open or a modem that lost its settings: its defaults hold again.
    engine.reportParametersSet = false;
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
