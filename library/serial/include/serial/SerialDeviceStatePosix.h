// The POSIX device's own members: a descriptor, an eventfd that wakes its polls, the
// terminal settings and the driver's line-error counters.
#pragma once

#include <termios.h>

#include <atomic>
#include <cstdint>

namespace serial {

class CSerialDeviceState {
protected:
    bool Held() const { return fd_ >= 0; }

    int fd_ = -1;
    std::atomic<int> wakeFd_{-1};
    termios lineSettings_{};
    // Line-error counters at the last query; valid only where the driver keeps them.
    bool haveCounters_ = false;
    std::uint64_t lastErrorCount_ = 0;
};

// The termios speed for a baud rate, or false when Linux has no such standard rate.
bool BaudToSpeed(int baudRate, speed_t& speed);

}  // namespace serial
