// tarvik-ptyrelay: makes pseudo-terminals for the simulated modems of Windows test programs
// run under Wine. A program connects over TCP on the loopback, names a port number, and the
// relay makes a pseudo-terminal linked as <dosdevices>/com<n> (which Wine opens as COM<n>),
// then carries the line's bytes both ways. Closing the connection unplugs the modem.
//
// Usage: tarvik-ptyrelay DOSDEVICES   (prints the TCP port it listens on, then serves)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "PtyPort.h"
#include "RelayFrames.h"

namespace {

using namespace ModemSim;

bool SendAll(int socket, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(socket, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void Serve(int socket, std::string dosdevices) {
    int one = 1;
    ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::mutex sending;
    auto send = [&](char kind, std::string_view payload) {
        std::lock_guard lock(sending);
        SendAll(socket, Relay::Encode(kind, payload));
    };
    std::unique_ptr<CPtyPort> line;
    std::string buffer;
    char chunk[65536];
    for (;;) {
        ssize_t n = ::recv(socket, chunk, sizeof chunk, 0);
        if (n <= 0) {
            break;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
        while (auto frame = Relay::TakeFrame(buffer)) {
            if (frame->kind == Relay::kOpen && !line) {
                try {
                    line = std::make_unique<CPtyPort>(dosdevices, std::stoi(frame->payload), "com");
                    line->SetHandler(
                        [&](CPtyPort&, std::string_view bytes) { send(Relay::kData, bytes); });
                    send(Relay::kOpen, line->DevicePath());
                } catch (const std::exception& e) {
                    send(Relay::kRefused, e.what());
                }
            } else if (!line) {
                continue;
            } else if (frame->kind == Relay::kData) {
                line->Send(std::move(frame->payload));
            } else if (frame->kind == Relay::kPause) {
                line->PauseReading(frame->payload == "1");
            } else if (frame->kind == Relay::kSpeed) {
                send(Relay::kSpeed, std::to_string(line->LineSpeed()));
            }
        }
    }
    line.reset();  // hangs the line up before the connection goes
    ::close(socket);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: tarvik-ptyrelay DOSDEVICES\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listener, 16) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("tarvik-ptyrelay");
        return 1;
    }
    std::printf("%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    for (;;) {
        int socket = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0) {
            continue;
        }
        std::thread(Serve, socket, std::string(argv[1])).detach();
    }
}
