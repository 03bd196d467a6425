// The SIM's PIN lock: the state AT+CPIN? reports, the PIN's entry, and the tries left that
// AT+CPINR tells. Three wrong entries leave the SIM waiting for its PUK, which the
// simulator never takes: a blocked SIM stays blocked.
#include "Modem.h"
#include "ReplyText.h"

namespace ModemSim {

namespace {

constexpr int kPinTries = 3;
constexpr int kPukTries = 10;

// The PIN of AT+CPIN=<pin> or AT+CPIN="<pin>", without its quotes.
std::string EnteredPin(const std::string& line) {
    std::string pin = line.substr(line.find('=') + 1);
    if (pin.size() >= 2 && pin.front() == '"' && pin.back() == '"') {
        pin = pin.substr(1, pin.size() - 2);
    }
    return pin;
}

}  // namespace

void CModem::SetPinTriesLeft(int tries) {
    std::lock_guard lock(mutex_);
    pinTriesLeft_ = tries;
}

CModem::Pieces CModem::AnswerSimState() const {
    if (profile_.simPin.empty() || simUnlocked_) {
        return Reply("+CPIN: READY", kOk);
    }
    return Reply(pinTriesLeft_ > 0 ? "+CPIN: SIM PIN" : "+CPIN: SIM PUK", kOk);
}

CModem::Pieces CModem::AnswerPin(const std::string& line) {
    if (profile_.simPin.empty() || simUnlocked_) {
        return Reply("", "+CME ERROR: 3");  // nothing to unlock
    }
    if (pinTriesLeft_ == 0) {
        return Reply("", "+CME ERROR: 12");  // SIM PUK required
    }
    if (EnteredPin(line) != profile_.simPin) {
        --pinTriesLeft_;
        return Reply("", "+CME ERROR: 16");  // incorrect password
    }
    simUnlocked_ = true;
    pinTriesLeft_ = kPinTries;
    return Reply("", kOk);
}

CModem::Pieces CModem::AnswerPinTries() const {
    return Reply("+CPINR: SIM PIN," + std::to_string(pinTriesLeft_) + "," +
                     std::to_string(kPinTries) + "\r\n+CPINR: SIM PUK," +
                     std::to_string(kPukTries) + "," + std::to_string(kPukTries),
                 kOk);
}

}  // namespace ModemSim
