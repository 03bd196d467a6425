// Every time limit of the serial port, in one place. The values mirror the driver time-outs
// the modem dialogue was tuned for; tests may shorten them on their own port instance.
#pragma once

#include <cstdint>

namespace serial {

struct SerialTiming {
    int firstByteWaitMs = 5000;  // a read waits this long for the first byte
    int pollStepMs = 10;         // ...looking at the input queue this often
    int burstGapMs = 300;        // silence that ends a burst
    // Quick replies: silence that ends a burst whose bytes already end with a complete
    // answer (a final result or the prompt). Long enough for the lines a modem sends right
    // behind its result in the same write; see bench/RESULTS.md for the measurement.
    int settleGapMs = 20;
    int readTotalConstMs = 1000;   // a burst ends at the latest after this
    int readTotalPerByteMs = 1;    // ...plus this per byte of capacity
    int writeTotalConstMs = 2000;  // a write gives up after this
    int writeTotalPerByteMs = 50;  // ...plus this per byte written
    // The network's confirmation of a submission is awaited this long, however many status
    // lines the modem sends meanwhile: module manuals give up to 120 s as the longest a
    // submission may take to answer.
    int submitResultLimitMs = 120000;
};

inline constexpr SerialTiming kDefaultTiming{};

}  // namespace serial
