#include <windows.h>

#include <algorithm>
#include <cstring>

#include "serial/SerialDevice.h"
#include "serial/SerialTiming.h"

namespace serial {

namespace {

constexpr DWORD kQueueSize = 4096;
constexpr DWORD kLineErrors = CE_FRAME | CE_RXPARITY | CE_OVERRUN | CE_RXOVER | CE_BREAK;
// The first-byte and burst waits look at the input queue this often: WaitCommEvent fails
// at once under Wine, so no event tells of input.
constexpr DWORD kPollStepMs = 10;

HANDLE H(void* handle) {
    return static_cast<HANDLE>(handle);
}

// The port's name as a named object of this session: "\\.\COM5" becomes "Local\Tarvik.COM5".
std::string LockName(const std::string& path) {
    const std::size_t slash = path.find_last_of('\\');
    return "Local\\Tarvik." + (slash == std::string::npos ? path : path.substr(slash + 1));
}

void CloseIfHeld(void*& handle) {
    if (handle != nullptr) {
        ::CloseHandle(H(handle));
        handle = nullptr;
    }
}

}  // namespace

CSerialDevice::CSerialDevice() {
    EnsureWakeChannel();
}

CSerialDevice::~CSerialDevice() {
    Close();
    if (void* wake = wakeEvent_.exchange(nullptr)) {
        ::CloseHandle(H(wake));
    }
}

bool CSerialDevice::EnsureWakeChannel() {
    if (wakeEvent_.load() != nullptr) {
        return true;
    }
    HANDLE wake = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (wake == nullptr) {
        return false;
    }
    void* expected = nullptr;
    if (!wakeEvent_.compare_exchange_strong(expected, wake)) {
        ::CloseHandle(wake);
    }
    if (woken_.load()) {
        Wake();  // a wake that came before the event existed still counts
    }
    return true;
}

bool CSerialDevice::Open(const std::string& path) {
    if (Held() || path.empty() || !EnsureWakeChannel()) {
        return false;
    }
    // Another holder of the lock, in this process or another, has the port.
    HANDLE lock = ::CreateMutexA(nullptr, FALSE, LockName(path).c_str());
    if (lock == nullptr) {
        return false;
    }
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        ::CloseHandle(lock);
        return false;
    }
    HANDLE port = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        ::CloseHandle(lock);
        return false;
    }
    portLock_ = lock;
    handle_ = port;
    // The driver's time-outs end a request the device's own waits would not: a read at the
    // burst limit, a write the line never takes. Half-open states are left to Close.
    COMMTIMEOUTS timeouts{};
    if (!::SetupComm(port, kQueueSize, kQueueSize) || !::GetCommTimeouts(port, &timeouts)) {
        return false;
    }
    timeouts.ReadIntervalTimeout = static_cast<DWORD>(kDefaultTiming.burstGapMs);
    timeouts.ReadTotalTimeoutMultiplier = static_cast<DWORD>(kDefaultTiming.readTotalPerByteMs);
    timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(kDefaultTiming.readTotalConstMs);
    timeouts.WriteTotalTimeoutMultiplier = static_cast<DWORD>(kDefaultTiming.writeTotalPerByteMs);
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(kDefaultTiming.writeTotalConstMs);
    if (!::SetCommTimeouts(port, &timeouts)) {
        return false;
    }
    readEvent_ = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    writeEvent_ = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    pendingErrors_ = 0;
    return readEvent_ != nullptr && writeEvent_ != nullptr;
}

void CSerialDevice::Close() {
    CloseIfHeld(writeEvent_);
    CloseIfHeld(readEvent_);
    if (Held()) {
        // Requests are never left pending, but a stalled line's output is dropped so that
        // closing never waits for it.
        ::PurgeComm(H(handle_), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR);
        ::CloseHandle(H(handle_));
        handle_ = kNoHandle;
    }
    CloseIfHeld(portLock_);
    pendingErrors_ = 0;
    hungUp_.store(false, std::memory_order_release);
}

long CSerialDevice::Failed(int error) {
    // What the system (and Wine, for an unplugged pty) gives once the device went away.
    switch (static_cast<DWORD>(error)) {
        case ERROR_BROKEN_PIPE:
        case ERROR_NOT_READY:
        case ERROR_BAD_COMMAND:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEVICE_REMOVED:
            hungUp_.store(true, std::memory_order_release);
            break;
        default:
            break;
    }
    return -1;
}

bool CSerialDevice::Configure(int baudRate) {
    static_assert(sizeof(DCB) == sizeof lineSettings_);
    if (!Held() || baudRate <= 0) {
        return false;
    }
    DCB settings{};
    settings.DCBlength = sizeof settings;
    if (!::GetCommState(H(handle_), &settings)) {
        return false;
    }
    // The four line settings; flow control, DTR/RTS and the special characters stay as the
    // device reported them.
    settings.BaudRate = static_cast<DWORD>(baudRate);
    settings.ByteSize = 8;
    settings.Parity = NOPARITY;
    settings.StopBits = ONESTOPBIT;
    std::memcpy(lineSettings_, &settings, sizeof settings);
    return ::SetCommState(H(handle_), &settings) != FALSE;
}

bool CSerialDevice::QueryStatus(bool& lineError, std::size_t& queued) {
    lineError = false;
    queued = 0;
    DWORD errors = 0;
    COMSTAT status{};
    if (!Held() || !::ClearCommError(H(handle_), &errors, &status)) {
        Failed(::GetLastError());
        return false;
    }
    lineError = ((errors | pendingErrors_) & kLineErrors) != 0;
    pendingErrors_ = 0;
    queued = status.cbInQue;
    return true;
}

WaitResult CSerialDevice::Wait(short events, int timeoutMs) {
    if (!Held()) {
        return WaitResult::Failed;
    }
    const ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(std::max(0, timeoutMs));
    for (;;) {
        if (woken_.load(std::memory_order_acquire)) {
            return WaitResult::Woken;
        }
        if (events != 0) {
            DWORD errors = 0;
            COMSTAT status{};
            if (!::ClearCommError(H(handle_), &errors, &status)) {
                Failed(::GetLastError());
                return WaitResult::Failed;
            }
            pendingErrors_ |= errors;
            if (status.cbInQue > 0) {
                return WaitResult::Ready;
            }
        }
        const ULONGLONG now = ::GetTickCount64();
        if (now >= end) {
            return events != 0 ? WaitResult::TimedOut : WaitResult::Ready;
        }
        const DWORD step = static_cast<DWORD>(std::min<ULONGLONG>(kPollStepMs, end - now));
        if (::WaitForSingleObject(H(wakeEvent_.load()), step) == WAIT_OBJECT_0) {
            return WaitResult::Woken;
        }
    }
}

WaitResult CSerialDevice::WaitReadable(int timeoutMs) {
    return Wait(1, timeoutMs);
}

WaitResult CSerialDevice::WaitWritable(int timeoutMs) {
    // A write request waits for the line itself; here only a stop is waited for, one step.
    return Wait(0, std::min(timeoutMs, static_cast<int>(kPollStepMs)));
}

namespace {

// Waits for a started request. A wake or the end of `limitMs` cancels it, and the cancelled
// request is waited for to the end, so that it never touches the caller's buffer after the
// call returned. The bytes moved, or -1 on failure. The limit is the library's own: a
// driver may ignore the write time-outs (Wine does), and a write must still end.
long FinishRequest(HANDLE port, OVERLAPPED& request, HANDLE wake, DWORD limitMs = INFINITE) {
    HANDLE events[2] = {request.hEvent, wake};
    if (::WaitForMultipleObjects(2, events, FALSE, limitMs) != WAIT_OBJECT_0) {
        ::CancelIoEx(port, &request);
    }
    DWORD moved = 0;
    if (::GetOverlappedResult(port, &request, &moved, TRUE)) {
        return static_cast<long>(moved);
    }
    switch (::GetLastError()) {
        // Wine ends a request at its total time-out with ERROR_TIMEOUT rather than a short
        // count; what it moved is still reported.
        case ERROR_TIMEOUT:
        case ERROR_OPERATION_ABORTED:
            return static_cast<long>(moved);
        default:
            return -1;
    }
}

}  // namespace

long CSerialDevice::ReadSome(void* buffer, std::size_t capacity) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!Held() || !::ClearCommError(H(handle_), &errors, &status)) {
        return -1;
    }
    pendingErrors_ |= errors;
    // Only what is queued is asked for, so the request ends at once and the burst's end is
    // judged by the device's own gap wait, as on every platform.
    const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(capacity, status.cbInQue));
    if (wanted == 0) {
        return 0;
    }
    OVERLAPPED request{};
    request.hEvent = H(readEvent_);
    ::ResetEvent(request.hEvent);
    DWORD got = 0;
    if (::ReadFile(H(handle_), buffer, wanted, &got, &request)) {
        return static_cast<long>(got);
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_TIMEOUT) {
        return static_cast<long>(got);
    }
    if (error != ERROR_IO_PENDING) {
        return -1;
    }
    return FinishRequest(H(handle_), request, H(wakeEvent_.load()));
}

long CSerialDevice::WriteSome(const void* data, std::size_t length, int limitMs) {
    if (!Held()) {
        return -1;
    }
    if (woken_.load(std::memory_order_acquire)) {
        return 0;
    }
    OVERLAPPED request{};
    request.hEvent = H(writeEvent_);
    ::ResetEvent(request.hEvent);
    DWORD sent = 0;
    const auto wanted = static_cast<DWORD>(std::min<std::size_t>(length, MAXDWORD));
    if (::WriteFile(H(handle_), data, wanted, &sent, &request)) {
        return static_cast<long>(sent);
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_TIMEOUT) {
        return static_cast<long>(sent);
    }
    if (error != ERROR_IO_PENDING) {
        return -1;
    }
    return FinishRequest(H(handle_), request, H(wakeEvent_.load()),
                         static_cast<DWORD>(std::max(0, limitMs)));
}

bool CSerialDevice::Flush(bool input, bool output) {
    if (!Held()) {
        return false;
    }
    DWORD flags = 0;
    if (input) {
        flags |= PURGE_RXABORT | PURGE_RXCLEAR;
    }
    if (output) {
        flags |= PURGE_TXABORT | PURGE_TXCLEAR;
    }
    return flags == 0 || ::PurgeComm(H(handle_), flags) != FALSE;
}

bool CSerialDevice::Sleep(int timeoutMs) {
    if (woken_.load(std::memory_order_acquire) || !EnsureWakeChannel()) {
        return !woken_.load(std::memory_order_acquire);
    }
    ::WaitForSingleObject(H(wakeEvent_.load()), static_cast<DWORD>(std::max(0, timeoutMs)));
    return !woken_.load(std::memory_order_acquire);
}

void CSerialDevice::Wake() {
    woken_.store(true, std::memory_order_release);
    if (void* wake = wakeEvent_.load()) {
        ::SetEvent(H(wake));
    }
}

void CSerialDevice::ClearWake() {
    woken_.store(false, std::memory_order_release);
    if (void* wake = wakeEvent_.load()) {
        ::ResetEvent(H(wake));
    }
}

}  // namespace serial
