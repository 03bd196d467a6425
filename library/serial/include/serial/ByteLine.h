// What CSXCom needs of the line beneath it: the platform's serial device in the library, a
// scripted far end in tests. Waits and sleeps are measured by the line's own clock, so a
// line may run on a clock of its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace serial {

enum class WaitResult { Ready, TimedOut, Woken, Failed };

using LineClock = std::chrono::steady_clock;

class IByteLine {
public:
    virtual ~IByteLine() = default;

    // Opens an existing device for exclusive, non-blocking use.
    virtual bool Open(const std::string& path) = 0;
    virtual bool IsOpen() const = 0;
    virtual void Close() = 0;
    // Raw 8N1 at baudRate, no flow control. False when the line refuses the rate.
    virtual bool Configure(int baudRate) = 0;
    // True once the open line hung up for good: the device went away.
    virtual bool HungUp() const { return false; }

    // Reports (and clears) line errors seen since the last query and the number of bytes
    // waiting in the input queue. False when the line cannot be asked.
    virtual bool QueryStatus(bool& lineError, std::size_t& queued) = 0;

    virtual WaitResult WaitReadable(int timeoutMs) = 0;
    virtual WaitResult WaitWritable(int timeoutMs) = 0;

    // Bytes moved, 0 when none can move without blocking, -1 on failure. A line whose
    // writes wait for the wire gives up after `limitMs` with what it moved.
    virtual long ReadSome(void* buffer, std::size_t capacity) = 0;
    virtual long WriteSome(const void* data, std::size_t length, int limitMs) = 0;

    virtual bool Flush(bool input, bool output) = 0;

    // Sleeps up to timeoutMs; false when woken.
    virtual bool Sleep(int timeoutMs) = 0;

    // Makes every wait return Woken until ClearWake. Safe from any thread at any time.
    virtual void Wake() = 0;
    virtual void ClearWake() = 0;

    // The clock every deadline over this line is measured with.
    virtual LineClock::time_point Now() const { return LineClock::now(); }
};

}  // namespace serial
