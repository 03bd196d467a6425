// The library's face for the project's own programs: the same process-wide service as the
// ten functions (one per process; either face starts, feeds and stops it), with what their
// fixed records cannot carry.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "Tarvik.h"

namespace Tarvik {

// One submitted part's outcome: the record SMSReport gives, and the reference the network
// gave the part ("+CMGS: <mr>", 0 to 255), -1 when it was refused or the modem gave none.
struct PartOutcome {
    SendReport report{};
    int32_t messageReference = -1;
};

namespace Session {

// True when the service runs afterwards; LastError() says why not.
bool Start(int port, int baudRate);
void Stop();
bool Running();
std::string LastError();

// As SMSSendMessage2: the sequence number, or -1 when not started, for unusable input, or
// when the queue cannot take the whole text.
// A prefix not given is SMSSendMessage2's NULL.
int32_t Send(const std::string& text, const std::string& number,
             const std::optional<std::string>& prefix);

// The oldest waiting outcome or message; none when nothing waits or not started. Taken
// from the same stores as SMSReport and SMSGetNextMessage.
std::optional<PartOutcome> NextOutcome();
std::optional<RecvMsg> NextMessage();

// As SMSCommand.
int32_t Command(const char* command, char* reply, int32_t waitMs);

}  // namespace Session
}  // namespace Tarvik
