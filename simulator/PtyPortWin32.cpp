// The line as a pseudo-terminal of the host, made by tarvik-ptyrelay: Wine opens it as
// COM<n>, and this end speaks to the relay over a loopback TCP connection whose port is in
// TARVIK_RELAY_PORT. The folder and the prefix of the link are the relay's business.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdlib>
#include <stdexcept>
#include <utility>

#include "PtyPort.h"
#include "RelayFrames.h"

namespace ModemSim {

namespace {

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::to_string(::WSAGetLastError()));
}

void StartWinsock() {
    static const bool started = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) {
        Fail("WSAStartup");
    }
}

}  // namespace

struct CPtyPort::Line {
    SOCKET socket = INVALID_SOCKET;
    HANDLE readable = nullptr;  // signalled by Winsock when the relay sent something
    HANDLE wake = nullptr;
    std::mutex sending;  // frames from several threads never interleave
    std::string input;   // bytes of a frame not yet whole
    bool gone = false;   // the relay closed the connection
    int speedReplies = 0;
    int speed = 0;

    ~Line() {
        if (socket != INVALID_SOCKET) {
            ::closesocket(socket);
        }
        for (HANDLE h : {readable, wake}) {
            if (h != nullptr) {
                ::CloseHandle(h);
            }
        }
    }

    bool Send(char kind, std::string_view payload) {
        const std::string frame = Relay::Encode(kind, payload);
        std::lock_guard lock(sending);
        std::size_t sent = 0;
        while (sent < frame.size()) {
            int n = ::send(socket, frame.data() + sent, static_cast<int>(frame.size() - sent), 0);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
            } else if (::WSAGetLastError() == WSAEWOULDBLOCK) {
                ::Sleep(1);  // the relay reads all the time; its buffer empties at once
            } else {
                return false;
            }
        }
        return true;
    }

    // Blocks until the relay's first frame arrives (the socket is still blocking then).
    Relay::Frame ReceiveFirst() {
        char chunk[4096];
        for (;;) {
            if (auto frame = Relay::TakeFrame(input)) {
                return *frame;
            }
            int n = ::recv(socket, chunk, sizeof chunk, 0);
            if (n <= 0) {
                Fail("relay closed");
            }
            input.append(chunk, static_cast<std::size_t>(n));
        }
    }
};

CPtyPort::CPtyPort(std::string /*linkDir*/, int port, const std::string& /*linkPrefix*/)
    : port_(port), line_(std::make_unique<Line>()) {
    StartWinsock();
    const char* relayPort = std::getenv("TARVIK_RELAY_PORT");
    if (relayPort == nullptr) {
        throw std::runtime_error("TARVIK_RELAY_PORT names no relay");
    }
    Line& line = *line_;
    line.socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(static_cast<u_short>(std::atoi(relayPort)));
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    if (line.socket == INVALID_SOCKET ||
        ::connect(line.socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        Fail("connect to the relay");
    }
    BOOL one = TRUE;
    ::setsockopt(line.socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                 sizeof one);
    if (!line.Send(Relay::kOpen, std::to_string(port))) {
        Fail("relay");
    }
    Relay::Frame answer = line.ReceiveFirst();
    if (answer.kind != Relay::kOpen) {
        throw std::runtime_error("relay: " + answer.payload);
    }
    devicePath_ = answer.payload;
    linkPath_ = "COM" + std::to_string(port);
    line.readable = ::WSACreateEvent();
    line.wake = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (line.readable == WSA_INVALID_EVENT || line.wake == nullptr ||
        ::WSAEventSelect(line.socket, line.readable, FD_READ | FD_CLOSE) != 0) {
        Fail("events");
    }
    thread_ = std::thread([this] { Run(); });
}

CPtyPort::~CPtyPort() {
    StopThread();
}

void CPtyPort::PauseReading(bool paused) {
    {
        std::lock_guard lock(mutex_);
        paused_ = paused;
    }
    // The relay stops reading the pseudo-terminal, so the library's writes back up there.
    line_->Send(Relay::kPause, paused ? "1" : "0");
    WakeThread();
}

void CPtyPort::WakeThread() {
    ::SetEvent(line_->wake);
}

long CPtyPort::WriteSome(const char* bytes, std::size_t count) {
    return line_->Send(Relay::kData, std::string_view(bytes, count)) ? static_cast<long>(count) : 0;
}

void CPtyPort::Run() {
    Line& line = *line_;
    for (;;) {
        const Step step = NextStep();
        if (step.stop) {
            return;
        }
        if (step.writing) {
            WriteDueOutput();
            continue;
        }
        HANDLE events[2] = {line.readable, line.wake};
        const DWORD wait = step.timeoutMs < 0 ? INFINITE : static_cast<DWORD>(step.timeoutMs);
        if (::WaitForMultipleObjects(line.gone ? 1 : 2, line.gone ? &line.wake : events, FALSE,
                                     wait) == WAIT_FAILED) {
            return;
        }
        WSANETWORKEVENTS happened{};
        ::WSAEnumNetworkEvents(line.socket, line.readable, &happened);
        char chunk[65536];
        for (;;) {
            int n = ::recv(line.socket, chunk, sizeof chunk, 0);
            if (n > 0) {
                line.input.append(chunk, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0 || ::WSAGetLastError() != WSAEWOULDBLOCK) {
                line.gone = true;
            }
            break;
        }
        while (auto frame = Relay::TakeFrame(line.input)) {
            if (frame->kind == Relay::kData) {
                Deliver(frame->payload.data(), frame->payload.size());
            } else if (frame->kind == Relay::kSpeed) {
                {
                    std::lock_guard lock(mutex_);
                    line.speed = std::atoi(frame->payload.c_str());
                    ++line.speedReplies;
                }
                changed_.notify_all();
            }
        }
    }
}

int CPtyPort::LineSpeed() const {
    int asked = 0;
    {
        std::lock_guard lock(mutex_);
        asked = line_->speedReplies;
    }
    if (!line_->Send(Relay::kSpeed, "")) {
        return 0;
    }
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::seconds(5),
                           [&] { return line_->speedReplies > asked; })) {
        return 0;
    }
    return line_->speed;
}

}  // namespace ModemSim
