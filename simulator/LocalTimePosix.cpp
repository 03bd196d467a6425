#include "LocalTime.h"

namespace ModemSim {

LocalTime LocalTimeNow() {
    const std::time_t now = std::time(nullptr);
    LocalTime t;
    ::localtime_r(&now, &t.fields);
    t.offsetSeconds = t.fields.tm_gmtoff;
    return t;
}

}  // namespace ModemSim
