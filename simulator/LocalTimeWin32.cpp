#include <time.h>

#include "LocalTime.h"

namespace ModemSim {

LocalTime LocalTimeNow() {
    const std::time_t now = std::time(nullptr);
    LocalTime t;
    ::localtime_s(&t.fields, &now);
    // The local fields read as UTC, less the moment itself: the offset, summer time included.
    std::tm asUtc = t.fields;
    t.offsetSeconds = static_cast<long>(::_mkgmtime(&asUtc) - now);
    return t;
}

}  // namespace ModemSim
