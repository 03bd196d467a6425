#include "PtyPort.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace ModemSim {

namespace {

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::to_string(errno));
}

}  // namespace

CPtyPort::CPtyPort(std::string linkDir, int port) : port_(port) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) {
        Fail("pseudo-terminal");
    }
    char name[128] = {};
    if (::ptsname_r(master_, name, sizeof name) != 0) {
        Fail("ptsname");
    }
    devicePath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0) {
        Fail("open " + devicePath_);
    }
    // Raw until the library configures the line itself, so nothing is cooked meanwhile.
    termios t{};
    ::tcgetattr(slave_, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave_, TCSANOW, &t);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);

    wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_ < 0) {
        Fail("eventfd");
    }
    linkPath_ = linkDir + "/COM" + std::to_string(port);
    ::unlink(linkPath_.c_str());
    if (::symlink(devicePath_.c_str(), linkPath_.c_str()) != 0) {
        Fail("symlink " + linkPath_);
    }
    thread_ = std::thread([this] { Run(); });
}

CPtyPort::~CPtyPort() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    WakeThread();
    if (thread_.joinable()) {
        thread_.join();
    }
    ::unlink(linkPath_.c_str());
    for (int fd : {wake_, slave_, master_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

void CPtyPort::SetHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void CPtyPort::Reply(const Script& script) {
    {
        std::lock_guard lock(mutex_);
        for (const Burst& burst : script) {
            output_.push_back(Pending{burst.bytes, burst.pauseMs, 0, std::nullopt});
        }
    }
    WakeThread();
}

void CPtyPort::Interject(std::string bytes) {
    {
        std::lock_guard lock(mutex_);
        auto at = output_.begin();
        if (at != output_.end() && at->written > 0) {
            ++at;  // a burst under way goes out whole
        }
        // A burst waiting out its pause keeps its due time.
        output_.insert(at, Pending{std::move(bytes), 0, 0, std::nullopt});
    }
    WakeThread();
}

bool CPtyPort::WaitOutputDone(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return output_.empty(); });
}

void CPtyPort::PauseReading(bool paused) {
    {
        std::lock_guard lock(mutex_);
        paused_ = paused;
    }
    WakeThread();
}

std::string CPtyPort::Received() const {
    std::lock_guard lock(mutex_);
    std::string bytes;
    bytes.reserve(received_.size());
    for (const auto& r : received_) {
        bytes.push_back(static_cast<char>(r.value));
    }
    return bytes;
}

std::vector<ReceivedByte> CPtyPort::ReceivedLog() const {
    std::lock_guard lock(mutex_);
    return received_;
}

void CPtyPort::ClearReceived() {
    std::lock_guard lock(mutex_);
    received_.clear();
}

bool CPtyPort::WaitForReceived(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return received_.size() >= count; });
}

void CPtyPort::WakeThread() {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_, &one, sizeof one);
}

void CPtyPort::Run() {
    for (;;) {
        bool reading = false;
        bool writing = false;
        int timeoutMs = -1;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                return;
            }
            reading = !paused_;
            if (!output_.empty()) {
                Pending& head = output_.front();
                if (!head.due) {
                    head.due = Clock::now() + std::chrono::milliseconds(head.pauseMs);
                }
                auto wait = std::chrono::ceil<std::chrono::milliseconds>(*head.due - Clock::now());
                if (wait.count() <= 0) {
                    writing = true;
                } else {
                    timeoutMs = static_cast<int>(wait.count());
                }
            }
        }
        short events = static_cast<short>((reading ? POLLIN : 0) | (writing ? POLLOUT : 0));
        pollfd fds[2] = {{master_, events, 0}, {wake_, POLLIN, 0}};
        int rc = ::poll(fds, 2, timeoutMs);
        if (rc < 0 && errno != EINTR) {
            return;
        }
        if (fds[1].revents & POLLIN) {
            std::uint64_t drained = 0;
            [[maybe_unused]] ssize_t n = ::read(wake_, &drained, sizeof drained);
        }
        if (reading && (fds[0].revents & POLLIN)) {
            ReadInput();
        }
        if (writing && (fds[0].revents & POLLOUT)) {
            WriteDueOutput();
        }
    }
}

void CPtyPort::ReadInput() {
    char chunk[4096];
    ssize_t n = ::read(master_, chunk, sizeof chunk);
    if (n <= 0) {
        return;
    }
    const auto now = Clock::now();
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        for (ssize_t i = 0; i < n; ++i) {
            received_.push_back({now, static_cast<unsigned char>(chunk[i])});
        }
        handler = handler_;
    }
    changed_.notify_all();
    if (handler) {
        handler(*this, std::string_view(chunk, static_cast<std::size_t>(n)));
    }
}

void CPtyPort::WriteDueOutput() {
    std::unique_lock lock(mutex_);
    if (output_.empty()) {
        return;
    }
    Pending& head = output_.front();
    std::size_t left = head.bytes.size() - head.written;
    ssize_t n = left == 0 ? 0 : ::write(master_, head.bytes.data() + head.written, left);
    if (n > 0) {
        head.written += static_cast<std::size_t>(n);
    }
    if (head.written == head.bytes.size()) {
        output_.pop_front();
        lock.unlock();
        changed_.notify_all();
    }
}

void CReplyScript::On(std::string trigger, Script script, int uses) {
    std::lock_guard lock(state_->mutex);
    state_->rules.push_back(Rule{std::move(trigger), std::move(script), uses});
}

CPtyPort::Handler CReplyScript::Handler() {
    return [state = state_](CPtyPort& port, std::string_view chunk) {
        std::lock_guard lock(state->mutex);
        state->input.append(chunk);
        for (bool matched = true; matched;) {
            matched = false;
            for (auto rule = state->rules.begin(); rule != state->rules.end(); ++rule) {
                std::size_t at = state->input.find(rule->trigger);
                if (at == std::string::npos) {
                    continue;
                }
                state->input.erase(0, at + rule->trigger.size());
                port.Reply(rule->script);
                if (rule->uses > 0 && --rule->uses == 0) {
                    state->rules.erase(rule);
                }
                matched = true;
                break;
            }
        }
    };
}

int CPtyPort::LineSpeed() const {
    termios t{};
    if (::tcgetattr(slave_, &t) != 0) {
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
