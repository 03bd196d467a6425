// The platform's serial device underneath CSXCom: one open device plus a wake-up channel
// that ends every wait of the device at once, from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "serial/ByteLine.h"

// The platform's members of the device, chosen by the build beside its twin.
#include TARVIK_SERIAL_STATE_HEADER

namespace serial {

class CSerialDevice final : public IByteLine, private CSerialDeviceState {
public:
    CSerialDevice();
    ~CSerialDevice() override;
    CSerialDevice(const CSerialDevice&) = delete;
    CSerialDevice& operator=(const CSerialDevice&) = delete;

    // False when the device does not exist, is no terminal, or another holder has it.
    bool Open(const std::string& path) override;
    bool IsOpen() const override { return Held(); }
    void Close() override;
    bool Configure(int baudRate) override;
    bool HungUp() const override { return hungUp_.load(std::memory_order_acquire); }
    bool QueryStatus(bool& lineError, std::size_t& queued) override;
    WaitResult WaitReadable(int timeoutMs) override;
    WaitResult WaitWritable(int timeoutMs) override;
    long ReadSome(void* buffer, std::size_t capacity) override;
    long WriteSome(const void* data, std::size_t length, int limitMs) override;
    bool Flush(bool input, bool output) override;
    bool Sleep(int timeoutMs) override;
    void Wake() override;
    void ClearWake() override;
    bool IsWoken() const { return woken_.load(std::memory_order_acquire); }

private:
    WaitResult Wait(short events, int timeoutMs);
    bool EnsureWakeChannel();
    // -1, noting a hang-up when the platform's error code means one.
    long Failed(int error);

    std::atomic<bool> woken_{false};
    std::atomic<bool> hungUp_{false};  // set by the platform's file when the device went away
};

}  // namespace serial
