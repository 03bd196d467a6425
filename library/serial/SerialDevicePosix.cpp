#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "serial/SerialDevice.h"

namespace serial {

namespace {

struct BaudEntry {
    int rate;
    speed_t speed;
};

constexpr BaudEntry kBaudTable[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

// Errors that the driver counts and that corrupt what was read or written.
bool ReadErrorCount(int fd, std::uint64_t& count) {
    serial_icounter_struct counters{};
    if (::ioctl(fd, TIOCGICOUNT, &counters) != 0) {
        return false;
    }
    count = static_cast<std::uint64_t>(counters.frame) + counters.parity + counters.overrun +
            counters.buf_overrun + counters.brk;
    return true;
}

}  // namespace

long CSerialDevice::Failed(int error) {
    // What a tty gives once its device is unplugged or reset.
    if (error == EIO || error == ENXIO || error == ENODEV) {
        hungUp_.store(true, std::memory_order_release);
    }
    return -1;
}

bool BaudToSpeed(int baudRate, speed_t& speed) {
    for (const auto& entry : kBaudTable) {
        if (entry.rate == baudRate) {
            speed = entry.speed;
            return true;
        }
    }
    return false;
}

CSerialDevice::CSerialDevice() {
    EnsureWakeChannel();
}

CSerialDevice::~CSerialDevice() {
    Close();
    int wake = wakeFd_.exchange(-1);
    if (wake >= 0) {
        ::close(wake);
    }
}

bool CSerialDevice::EnsureWakeChannel() {
    if (wakeFd_.load() >= 0) {
        return true;
    }
    int wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake < 0) {
        return false;
    }
    int expected = -1;
    if (!wakeFd_.compare_exchange_strong(expected, wake)) {
        ::close(wake);
    }
    if (woken_.load()) {
        Wake();  // a wake that came before the channel existed still counts
    }
    return true;
}

bool CSerialDevice::Open(const std::string& path) {
    if (fd_ >= 0 || path.empty() || !EnsureWakeChannel()) {
        return false;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // The advisory lock keeps out every cooperating holder, root included; TIOCEXCL keeps
    // out other unprivileged openers.
    if (::isatty(fd) == 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ioctl(fd, TIOCEXCL) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    haveCounters_ = ReadErrorCount(fd_, lastErrorCount_);
    return true;
}

void CSerialDevice::Close() {
    if (fd_ < 0) {
        return;
    }
    // Unsent output is dropped so that closing never waits for a stalled line.
    ::tcflush(fd_, TCOFLUSH);
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);
    fd_ = -1;
    haveCounters_ = false;
    hungUp_.store(false, std::memory_order_release);
}

bool CSerialDevice::Configure(int baudRate) {
    speed_t speed{};
    if (fd_ < 0 || !BaudToSpeed(baudRate, speed) || ::tcgetattr(fd_, &lineSettings_) != 0) {
        return false;
    }
    termios& t = lineSettings_;
    // Bytes pass unchanged: no echo, no line-end translation, no flow control characters.
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IXON | IXOFF | IXANY | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0 ||
        ::tcsetattr(fd_, TCSANOW, &t) != 0) {
        return false;
    }
    // tcsetattr succeeds when any change took; check that the speed and framing did.
    termios applied{};
    if (::tcgetattr(fd_, &applied) != 0) {
        return false;
    }
    return ::cfgetospeed(&applied) == speed && (applied.c_cflag & CSIZE) == CS8 &&
           (applied.c_cflag & (PARENB | CSTOPB)) == 0 && (applied.c_lflag & (ICANON | ECHO)) == 0;
}

bool CSerialDevice::QueryStatus(bool& lineError, std::size_t& queued) {
    lineError = false;
    queued = 0;
    if (fd_ < 0) {
        return false;
    }
    int waiting = 0;
    if (::ioctl(fd_, FIONREAD, &waiting) != 0 || waiting < 0) {
        return false;
    }
    queued = static_cast<std::size_t>(waiting);
    std::uint64_t count = 0;
    if (haveCounters_ && ReadErrorCount(fd_, count)) {
        lineError = count != lastErrorCount_;
        lastErrorCount_ = count;
    }
    return true;
}

WaitResult CSerialDevice::Wait(short events, int timeoutMs) {
    if (fd_ < 0) {
        return WaitResult::Failed;
    }
    if (woken_.load(std::memory_order_acquire)) {
        return WaitResult::Woken;
    }
    pollfd fds[2] = {{fd_, events, 0}, {wakeFd_.load(), POLLIN, 0}};
    for (;;) {
        int rc = ::poll(fds, 2, timeoutMs < 0 ? 0 : timeoutMs);
        if (rc < 0 && errno == EINTR) {
            continue;  // the wait is short; starting it afresh costs at most one step
        }
        if (rc < 0) {
            return WaitResult::Failed;
        }
        if (fds[1].revents != 0 || woken_.load(std::memory_order_acquire)) {
            return WaitResult::Woken;
        }
        if (rc == 0) {
            return WaitResult::TimedOut;
        }
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            // A device that hung up stays "readable" for good; only input still queued is
            // worth a read, or every wait after it would return at once.
            int waiting = 0;
            const bool queued = (events & POLLIN) != 0 && (fds[0].revents & POLLNVAL) == 0 &&
                                ::ioctl(fd_, FIONREAD, &waiting) == 0 && waiting > 0;
            if (!queued) {
                hungUp_.store(true, std::memory_order_release);
            }
            return queued ? WaitResult::Ready : WaitResult::Failed;
        }
        if ((fds[0].revents & events) != 0) {
            return WaitResult::Ready;
        }
        return WaitResult::Failed;
    }
}

WaitResult CSerialDevice::WaitReadable(int timeoutMs) {
    return Wait(POLLIN, timeoutMs);
}

WaitResult CSerialDevice::WaitWritable(int timeoutMs) {
    return Wait(POLLOUT, timeoutMs);
}

long CSerialDevice::ReadSome(void* buffer, std::size_t capacity) {
    if (fd_ < 0) {
        return -1;
    }
    for (;;) {
        ssize_t n = ::read(fd_, buffer, capacity);
        if (n >= 0) {
            return static_cast<long>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : Failed(errno);
    }
}

long CSerialDevice::WriteSome(const void* data, std::size_t length, int /*limitMs*/) {
    if (fd_ < 0) {
        return -1;
    }
    for (;;) {
        ssize_t n = ::write(fd_, data, length);
        if (n >= 0) {
            return static_cast<long>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : Failed(errno);
    }
}

bool CSerialDevice::Flush(bool input, bool output) {
    if (fd_ < 0) {
        return false;
    }
    if (!input && !output) {
        return true;
    }
    int which = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
    return ::tcflush(fd_, which) == 0;
}

bool CSerialDevice::Sleep(int timeoutMs) {
    if (woken_.load(std::memory_order_acquire) || !EnsureWakeChannel()) {
        return !woken_.load(std::memory_order_acquire);
    }
    pollfd wake = {wakeFd_.load(), POLLIN, 0};
    for (;;) {
        int rc = ::poll(&wake, 1, timeoutMs < 0 ? 0 : timeoutMs);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        return !woken_.load(std::memory_order_acquire);
    }
}

void CSerialDevice::Wake() {
    woken_.store(true, std::memory_order_release);
    int wake = wakeFd_.load();
    if (wake >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake, &one, sizeof one);
    }
}

void CSerialDevice::ClearWake() {
    woken_.store(false, std::memory_order_release);
    int wake = wakeFd_.load();
    if (wake >= 0) {
        std::uint64_t drained = 0;
        [[maybe_unused]] ssize_t n = ::read(wake, &drained, sizeof drained);
    }
}

}  // namespace serial
