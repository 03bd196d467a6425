// The Win32 device's own members: the port's handle, its named lock, the events of its
// two overlapped requests and of the wake-up, and the line settings it last read. Handles
// are kept as void* so that <windows.h> stays out of the shared headers.
#pragma once

#include <atomic>
#include <cstdint>

namespace serial {

class CSerialDeviceState {
protected:
    bool Held() const { return handle_ != kNoHandle; }

    static inline void* const kNoHandle = reinterpret_cast<void*>(static_cast<std::intptr_t>(-1));

    void* handle_ = kNoHandle;
    // A second open of a port succeeds under Wine; this named object keeps it exclusive.
    void* portLock_ = nullptr;
    void* readEvent_ = nullptr;
    void* writeEvent_ = nullptr;
    std::atomic<void*> wakeEvent_{nullptr};
    // The DCB as last read by Configure (28 bytes, checked where <windows.h> is seen).
    alignas(4) unsigned char lineSettings_[28] = {};
    // Line errors that a poll of the input queue cleared, kept for the next QueryStatus.
    std::uint32_t pendingErrors_ = 0;
};

}  // namespace serial
