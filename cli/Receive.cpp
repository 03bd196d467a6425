// tarvik receive: the messages the modem holds and those that arrive.
#include <chrono>
#include <cstdio>
#include <thread>

#include "Commands.h"
#include "Console.h"

namespace TarvikCli {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kPollStep = 100ms;

}  // namespace

int RunReceive(const Options& options) {
    auto lastMessage = Clock::now();
    CSession session(
        [&](const Received& message) {
            const std::string line = options.json ? JsonLine(message) : TextLine(message);
            std::fputs(line.c_str(), stdout);
            std::fflush(stdout);
            lastMessage = Clock::now();
        },
        std::chrono::milliseconds(options.reassemblyTimeoutMs));
    std::string why;
    if (!StartSession(session, options, why)) {
        return Complain(kExitStartFailed, why);
    }
    lastMessage = Clock::now();
    for (;;) {
        session.Fetch();
        if (Interrupts() > 0) {
            break;
        }
        // A device that went away answers nothing more: what came before is printed.
        if (Tarvik::Session::DeviceGone()) {
            session.Stop(false);
            return Complain(TarvikLink::kExitDeviceGone,
                            "the " + LineName(options) + " went away (unplugged or reset)");
        }
        if (!options.follow && Clock::now() - lastMessage >= std::chrono::seconds(options.idleS)) {
            // A listing under way may still bring messages: only when it is over, and it
            // brought none, has nothing come for a while.
            const auto before = lastMessage;
            session.Settle();
            if (lastMessage == before) {
                break;
            }
        }
        std::this_thread::sleep_for(kPollStep);
    }
    session.Stop();
    return kExitDone;
}

}  // namespace TarvikCli
