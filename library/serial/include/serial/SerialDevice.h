// The platform's serial device underneath CSXCom: one open device plus a wake-up channel
// that ends every wait of the device at once, from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

// The platform's members of the device, chosen by the build beside its twin.
#include TARVIK_SERIAL_STATE_HEADER

namespace serial {

enum class WaitResult { Ready, TimedOut, Woken, Failed };

class CSerialDevice : private CSerialDeviceState {
public:
    CSerialDevice();
    ~CSerialDevice();
    CSerialDevice(const CSerialDevice&) = delete;
    CSerialDevice& operator=(const CSerialDevice&) = delete;

    // Opens an existing device for exclusive, non-blocking use. False when it does not
    // exist, is no terminal, or another holder has it.
    bool Open(const std::string& path);
    bool IsOpen() const { return Held(); }
    void Close();

    // Raw 8N1 at baudRate, no flow control. False when the device refuses the rate.
    bool Configure(int baudRate);

    // Reports (and clears) line errors seen since the last query and the number of bytes
    // waiting in the input queue. False when the device cannot be asked.
    bool QueryStatus(bool& lineError, std::size_t& queued);

    WaitResult WaitReadable(int timeoutMs);
    WaitResult WaitWritable(int timeoutMs);

    // Bytes moved, 0 when none can move without blocking, -1 on failure. A device whose
    // writes wait for the line gives up after `limitMs` with what it moved.
    long ReadSome(void* buffer, std::size_t capacity);
    long WriteSome(const void* data, std::size_t length, int limitMs);

    bool Flush(bool input, bool output);

    // Sleeps up to timeoutMs; false when woken.
    bool Sleep(int timeoutMs);

    // Makes every wait return Woken until ClearWake. Safe from any thread at any time.
    void Wake();
    void ClearWake();
    bool IsWoken() const { return woken_.load(std::memory_order_acquire); }

private:
    WaitResult Wait(short events, int timeoutMs);
    bool EnsureWakeChannel();

    std::atomic<bool> woken_{false};
};

}  // namespace serial
