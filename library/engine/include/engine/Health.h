// What a modem tells of its health beside its messages: network registration, operator and
// access technology, signal, the SIM's identities and state, and how full its message
// storage is. Asked with the standard queries; a modem that refuses one leaves its fields
// unknown.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

// Declared only: the library's second face shows ModemHealth to programs that include the
// system's own headers (windows.h among them), which the port's names would clash with.
class CSXCom;

namespace GSM {

class IComBaseCmd;

struct ModemHealth {
    // home, roaming, searching, denied, not_searching or unknown
    std::optional<std::string> registration;
    std::optional<std::string> operatorName;  // as the modem names it: digits or a name
    std::optional<std::string> access;        // gsm, umts, lte, nr, ...
    std::optional<int> rssi;                  // 0 to 31, as +CSQ gives it
    std::optional<int> dbm;
    std::optional<int> quality;  // 0 (none) to 5 (excellent)
    std::optional<std::string> imsi;
    std::optional<std::string> iccid;
    std::optional<std::string> sim;  // ready, pin, puk, missing, starting
    std::optional<int> storageUsed;
    std::optional<int> storageTotal;
};

// The parts of replies, each from a whole reply ("\r\n+CREG: 0,5\r\n\r\nOK\r\n"); nothing
// when the reply does not hold it.
std::optional<std::string> RegistrationOf(std::string_view reply);
// Fills the operator and access technology of a +COPS? reply.
void ReadOperator(std::string_view reply, ModemHealth& health);
// Fills rssi, dbm and quality of a +CSQ reply; 99 leaves them unknown.
void ReadSignal(std::string_view reply, ModemHealth& health);
std::optional<std::string> ImsiOf(std::string_view reply);
// The card number of a reply in any of the modules' forms ("+CCID:", "^ICCID:", bare).
std::optional<std::string> IccidOf(std::string_view reply);
// Fills the used and total of the first storage of a +CPMS? reply.
void ReadStorage(std::string_view reply, ModemHealth& health);

// Asks the modem on the open port. `exchange` sends one command on the line and gives its
// reply (empty when none came); it may let other work on the line between two commands.
ModemHealth AskHealth(
    IComBaseCmd& engine, CSXCom& port,
    const std::function<std::string(const std::function<std::string()>&)>& exchange);

}  // namespace GSM
