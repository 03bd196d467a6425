#include "engine/SimLock.h"

#include <cctype>
#include <string>

#include "codec/Reply.h"
#include "engine/ComBaseCmd.h"
#include "engine/ProcessState.h"
#include "engine/ReplyReader.h"

namespace GSM {

namespace {

constexpr int kCapacity = 512;
// After the PIN a SIM takes a moment to serve; it is asked this often, this far apart.
constexpr int kReadyChecks = 10;
constexpr int kReadyPauseMs = 500;

constexpr const char* kTextPinWanted = "SIM PIN required: the SIM waits for its PIN";
constexpr const char* kTextPinRefusedBefore =
    "SIM PIN refused: the SIM refused this PIN before; it is not entered again";
constexpr const char* kTextLastTry = "SIM PIN not entered: the SIM allows only one more try";
constexpr const char* kTextPinMalformed = "SIM PIN not entered: a PIN is 4 to 8 digits";
constexpr const char* kTextPinRefused =
    "SIM PIN refused: the SIM did not take the PIN; it is not entered again";
constexpr const char* kTextPinUnanswered =
    "SIM PIN unanswered: the modem did not answer the PIN; it is not entered again";
constexpr const char* kTextNotReadyAfterPin =
    "SIM not ready: the SIM took the PIN but did not become ready";
constexpr const char* kTextPukWanted =
    "SIM PUK required: the SIM is blocked after wrong PINs; unblock it with its PUK";
constexpr const char* kTextMissing = "No SIM card: the modem reports no SIM inserted";
constexpr const char* kTextStarting = "SIM not ready: the SIM is still starting";

bool HasLine(std::string_view reply, std::string_view line) {
    for (std::size_t at = reply.find(line); at != std::string_view::npos;
         at = reply.find(line, at + 1)) {
        const bool starts = at == 0 || reply[at - 1] == '\n';
        const std::size_t end = at + line.size();
        if (starts && (end == reply.size() || reply[end] == '\r' || reply[end] == '\n')) {
            return true;
        }
    }
    return false;
}

bool WellFormed(const std::string& pin) {
    if (pin.size() < 4 || pin.size() > 8) {
        return false;
    }
    for (char c : pin) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

// Writes the PIN once, whatever comes back: entered twice, a wrong PIN costs two tries.
ReplyKind EnterPinOnce(IComBaseCmd& engine, CSXCom& port, const std::string& pin) {
    const std::string command = "AT+CPIN=\"" + pin + "\"\r\n";
    port.Write(command.data(), static_cast<int>(command.size()));
    char reply[kCapacity] = {};
    std::string collected;
    const auto deadline = ReplyDeadline(port);
    while (port.Now() < deadline) {
        const ReplyBurst burst =
            ReadReplyBurst(port, engine.notes, reply, kCapacity, deadline, {"+CPIN:"});
        if (burst.count == 0) {
            break;
        }
        collected += burst.text;
        const ReplyKind kind = ClassifyReply(collected, Precedence::ErrorFirst);
        if (kind == ReplyKind::Ok || kind == ReplyKind::Error) {
            return kind;
        }
    }
    return ReplyKind::None;
}

Outcome Fail(const char* text) {
    SetLastError(text);
    return Outcome::Failed;
}

// Asks until the SIM serves, as it does a moment after its PIN.
Outcome AwaitReady(IComBaseCmd& engine, CSXCom& port) {
    for (int check = 0; check < kReadyChecks; ++check) {
        std::string reply;
        if (engine.SendSimpleCommand(port, "AT+CPIN?\r\n", &reply) == Outcome::Done &&
            SimStateOf(reply) == SimState::Ready) {
            return Outcome::Done;
        }
        if (port.Pause(kReadyPauseMs) == 0) {
            break;
        }
    }
    return Fail(kTextNotReadyAfterPin);
}

Outcome EnterPin(IComBaseCmd& engine, CSXCom& port) {
    CSimPin& given = engine.simPin;
    if (!given.Given()) {
        return Fail(kTextPinWanted);
    }
    if (given.Refused()) {
        return Fail(kTextPinRefusedBefore);
    }
    const std::string pin = given.Pin();
    if (!WellFormed(pin)) {
        return Fail(kTextPinMalformed);
    }
    std::string tries;
    if (engine.SendSimpleCommand(port, "AT+CPINR=\"SIM PIN\"\r\n", &tries) == Outcome::Done) {
        const int left = PinTriesLeft(tries);
        if (left >= 0 && left <= 1) {
            return Fail(kTextLastTry);
        }
    }
    switch (EnterPinOnce(engine, port, pin)) {
        case ReplyKind::Ok:
            return AwaitReady(engine, port);
        case ReplyKind::Error:
            given.MarkRefused();
            return Fail(kTextPinRefused);
        default:
            given.MarkRefused();
            return Fail(kTextPinUnanswered);
    }
}

}  // namespace

SimState SimStateOf(std::string_view reply) {
    if (HasLine(reply, "+CPIN: READY")) {
        return SimState::Ready;
    }
    if (HasLine(reply, "+CPIN: SIM PIN")) {
        return SimState::PinWanted;
    }
    if (HasLine(reply, "+CPIN: SIM PUK")) {
        return SimState::PukWanted;
    }
    if (HasLine(reply, "+CME ERROR: 10") || HasLine(reply, "+CME ERROR: SIM not inserted")) {
        return SimState::Missing;
    }
    if (HasLine(reply, "+CME ERROR: 14") || HasLine(reply, "+CME ERROR: SIM busy") ||
        HasLine(reply, "+CPIN: NOT READY")) {
        return SimState::Starting;
    }
    return SimState::Unknown;
}

int PinTriesLeft(std::string_view reply) {
    constexpr std::string_view kTag = "+CPINR: SIM PIN,";
    const std::size_t at = reply.find(kTag);
    if (at == std::string_view::npos) {
        return -1;
    }
    int left = 0;
    std::size_t i = at + kTag.size();
    if (i >= reply.size() || !std::isdigit(static_cast<unsigned char>(reply[i]))) {
        return -1;
    }
    for (; i < reply.size() && std::isdigit(static_cast<unsigned char>(reply[i])) && left < 100;
         ++i) {
        left = left * 10 + (reply[i] - '0');
    }
    return left;
}

void CSimPin::Give(std::string pin) {
    std::lock_guard hold(lock_);
    if (pin != pin_) {
        refused_ = false;
    }
    pin_ = std::move(pin);
}

bool CSimPin::Given() const {
    std::lock_guard hold(lock_);
    return !pin_.empty();
}

std::string CSimPin::Pin() const {
    std::lock_guard hold(lock_);
    return pin_;
}

bool CSimPin::Refused() const {
    std::lock_guard hold(lock_);
    return refused_;
}

void CSimPin::MarkRefused() {
    std::lock_guard hold(lock_);
    refused_ = true;
}

Outcome UnlockSim(IComBaseCmd& engine, CSXCom& port, SimState state) {
    switch (state) {
        case SimState::PinWanted:
            return EnterPin(engine, port);
        case SimState::PukWanted:
            return Fail(kTextPukWanted);
        case SimState::Missing:
            return Fail(kTextMissing);
        case SimState::Starting:
            return Fail(kTextStarting);
        case SimState::Ready:
        case SimState::Unknown:
            break;
    }
    return Outcome::Done;
}

}  // namespace GSM
