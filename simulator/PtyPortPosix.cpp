// The line as a pseudo-terminal of this machine.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "PtyPort.h"

namespace ModemSim {

namespace {

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::to_string(errno));
}

}  // namespace

struct CPtyPort::Line {
    int master = -1;
    int slave = -1;  // held open so the line never hangs up between the library's opens
    int wake = -1;

    ~Line() {
        for (int fd : {wake, slave, master}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
};

CPtyPort::CPtyPort(std::string linkDir, int port, const std::string& linkPrefix)
    : port_(port), linkPath_(linkDir + "/" + linkPrefix + std::to_string(port)) {
    OpenLine();
}

void CPtyPort::OpenLine() {
    auto fresh = std::make_unique<Line>();
    Line& line = *fresh;
    line.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line.master < 0 || ::grantpt(line.master) != 0 || ::unlockpt(line.master) != 0) {
        Fail("pseudo-terminal");
    }
    char name[128] = {};
    if (::ptsname_r(line.master, name, sizeof name) != 0) {
        Fail("ptsname");
    }
    devicePath_ = name;
    line.slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (line.slave < 0) {
        Fail("open " + devicePath_);
    }
    // Raw until the library configures the line itself, so nothing is cooked meanwhile.
    termios t{};
    ::tcgetattr(line.slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(line.slave, TCSANOW, &t);
    ::fcntl(line.master, F_SETFL, ::fcntl(line.master, F_GETFL) | O_NONBLOCK);

    line.wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (line.wake < 0) {
        Fail("eventfd");
    }
    ::unlink(linkPath_.c_str());
    if (::symlink(devicePath_.c_str(), linkPath_.c_str()) != 0) {
        Fail("symlink " + linkPath_);
    }
    {
        std::lock_guard lock(mutex_);
        line_ = std::move(fresh);
        stopping_ = false;
    }
    thread_ = std::thread([this] { Run(); });
}

CPtyPort::~CPtyPort() {
    StopThread();
    ::unlink(linkPath_.c_str());
}

void CPtyPort::Unplug() {
    StopThread();
    ::unlink(linkPath_.c_str());
    // Closing the far end hangs the line up for whoever holds it, as a pulled cable does.
    std::lock_guard lock(mutex_);
    line_.reset();
    output_.clear();
}

void CPtyPort::Replug() {
    bool gone = false;
    {
        std::lock_guard lock(mutex_);
        gone = line_ == nullptr;
    }
    if (gone) {
        OpenLine();
    }
}

void CPtyPort::PauseReading(bool paused) {
    {
        std::lock_guard lock(mutex_);
        paused_ = paused;
    }
    WakeThread();
}

void CPtyPort::WakeThread() {
    std::lock_guard lock(mutex_);
    if (line_ == nullptr) {
        return;  // unplugged: no thread to wake
    }
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(line_->wake, &one, sizeof one);
}

long CPtyPort::WriteSome(const char* bytes, std::size_t count) {
    // Only the port's own thread writes, and it runs only while the line exists.
    return static_cast<long>(::write(line_->master, bytes, count));
}

void CPtyPort::Run() {
    for (;;) {
        const Step step = NextStep();
        if (step.stop) {
            return;
        }
        short events =
            static_cast<short>((step.reading ? POLLIN : 0) | (step.writing ? POLLOUT : 0));
        pollfd fds[2] = {{line_->master, events, 0}, {line_->wake, POLLIN, 0}};
        int rc = ::poll(fds, 2, step.timeoutMs);
        if (rc < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t drained = 0;
            [[maybe_unused]] ssize_t n = ::read(line_->wake, &drained, sizeof drained);
        }
        if (step.reading && (fds[0].revents & POLLIN)) {
            char chunk[4096];
            ssize_t n = ::read(line_->master, chunk, sizeof chunk);
            if (n > 0) {
                Deliver(chunk, static_cast<std::size_t>(n));
            }
        }
        if (step.writing && (fds[0].revents & POLLOUT)) {
            WriteDueOutput();
        }
    }
}

int CPtyPort::LineSpeed() const {
    termios t{};
    if (line_ == nullptr || ::tcgetattr(line_->slave, &t) != 0) {
        return 0;
    }
    static constexpr std::pair<speed_t, int> kRates[] = {
        {B1200, 1200},     {B2400, 2400},     {B4800, 4800},     {B9600, 9600},
        {B19200, 19200},   {B38400, 38400},   {B57600, 57600},   {B115200, 115200},
        {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
    };
    const speed_t speed = ::cfgetospeed(&t);
    for (const auto& [code, rate] : kRates) {
        if (code == speed) {
            return rate;
        }
    }
    return 0;
}

}  // namespace ModemSim
