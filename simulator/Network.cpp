// The network as the module sees it: its registration, the operator it is registered on,
// and what changes when it is not.
#include <array>
#include <utility>

#include "Modem.h"
#include "ReplyText.h"

namespace ModemSim {

namespace {

constexpr std::array<std::pair<std::string_view, int>, 6> kRegistrations = {{
    {"idle", 0},
    {"home", 1},
    {"searching", 2},
    {"denied", 3},
    {"unknown", 4},
    {"roaming", 5},
}};

}  // namespace

int RegistrationNumber(const std::string& state) {
    for (const auto& [name, number] : kRegistrations) {
        if (state == name) {
            return number;
        }
    }
    return -1;
}

CModem::Pieces CModem::AnswerRegistration() const {
    const int number = RegistrationNumber(profile_.registration);
    return Reply("+CREG: 0," + std::to_string(number < 0 ? 4 : number), kOk);
}

CModem::Pieces CModem::AnswerOperator() const {
    const int number = RegistrationNumber(profile_.registration);
    if (number != 1 && number != 5) {
        return Reply("+COPS: 0", kOk);  // automatic, and no operator
    }
    // Named by the SIM's network code; the access technology is LTE (7).
    return Reply("+COPS: 0,2,\"" + profile_.imsi.substr(0, 5) + "\",7", kOk);
}

}  // namespace ModemSim
