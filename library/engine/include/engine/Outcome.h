// What an exchange with the modem came to, inside the engine. The operations' slots give it
// on in the two conventions their callers know: a status (0 success, 1 failure, -1 port
// not open) or a flag (1 success, 0 otherwise). Inside, only the named outcome is passed
// around, so that a status cannot be tested as a flag or the other way round.
#pragma once

namespace GSM {

enum class Outcome { Done, Failed, PortClosed };

constexpr int ToStatus(Outcome outcome) {
    switch (outcome) {
        case Outcome::Done:
            return 0;
        case Outcome::Failed:
            return 1;
        case Outcome::PortClosed:
            return -1;
    }
    return 1;
}

constexpr int ToFlag(Outcome outcome) {
    return outcome == Outcome::Done ? 1 : 0;
}

constexpr Outcome FromStatus(int status) {
    return status == 0 ? Outcome::Done : status < 0 ? Outcome::PortClosed : Outcome::Failed;
}

constexpr Outcome FromFlag(int flag) {
    return flag != 0 ? Outcome::Done : Outcome::Failed;
}

// The status constants are the outcomes as statuses.
static_assert(ToStatus(Outcome::Done) == 0 && ToStatus(Outcome::Failed) == 1 &&
              ToStatus(Outcome::PortClosed) == -1);

}  // namespace GSM
