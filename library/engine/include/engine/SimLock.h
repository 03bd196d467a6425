// The SIM's lock as AT+CPIN? reports it, and the PIN our own programs give for it. A PIN
// the SIM refused is never entered again by itself: a few wrong entries block the SIM.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "engine/Outcome.h"

class CSXCom;

namespace GSM {

class IComBaseCmd;

enum class SimState {
    Ready,      // serves without a PIN, or the PIN was entered
    PinWanted,  // "+CPIN: SIM PIN"
    PukWanted,  // "+CPIN: SIM PUK": blocked after wrong PINs
    Missing,    // no SIM in the modem
    Starting,   // the SIM is not ready yet
    Unknown,    // any other answer
};

// The state a reply to AT+CPIN? shows, final result included.
SimState SimStateOf(std::string_view reply);

// The tries the SIM gives its PIN, from a reply to AT+CPINR; -1 when the reply tells none.
int PinTriesLeft(std::string_view reply);

// The PIN given for the SIM, and whether the SIM refused it. Any thread may give it; the
// start reads it.
class CSimPin {
public:
    // Given anew (read at each start); a different PIN may be tried again.
    void Give(std::string pin);
    bool Given() const;
    std::string Pin() const;
    bool Refused() const;
    void MarkRefused();

private:
    mutable std::mutex lock_;
    std::string pin_;
    bool refused_ = false;
};

// The start's answer to a SIM that is not ready: the PIN entered once when it is wanted
// and allowed, a reason of its own left as the last-error text otherwise. Done when the
// SIM serves.
Outcome UnlockSim(IComBaseCmd& engine, CSXCom& port, SimState state);

}  // namespace GSM
