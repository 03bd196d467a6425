// The local time of this machine with its offset from UTC, one file per platform.
#pragma once

#include <ctime>

namespace ModemSim {

struct LocalTime {
    std::tm fields{};
    long offsetSeconds = 0;  // east of UTC
};

LocalTime LocalTimeNow();

}  // namespace ModemSim
