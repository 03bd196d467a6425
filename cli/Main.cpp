// tarvik: SMS from the command line, a shell script or another program, through the Tarvik
// library's own face over the same service as its ten functions.
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "LocalText.h"

namespace TarvikCli {

namespace {

std::atomic<bool> starting{false};

}  // namespace

int Complain(int code, const std::string& message) {
    std::fprintf(stderr, "tarvik: %s\n", message.c_str());
    return code;
}

std::function<void(const Received&)> SideSink(const std::string& path) {
    if (path.empty()) {
        return [](const Received& message) {
            const std::string line = "tarvik: received " + TextLine(message);
            std::fputs(line.c_str(), stderr);
        };
    }
    return [path](const Received& message) {
        std::FILE* file = std::fopen(path.c_str(), "ab");
        const std::string line = JsonLine(message);
        if (file == nullptr || std::fputs(line.c_str(), file) < 0) {
            Complain(0, "cannot append to " + path + "; received " + TextLine(message));
        }
        if (file != nullptr) {
            std::fclose(file);
        }
    };
}

bool StartSession(CSession& session, const Options& options, std::string& why) {
    // Our own programs take replies at the modem's own speed unless told otherwise.
    SetEnvironment("TARVIK_QUICK_REPLIES", options.paced ? "0" : "1");
    if (options.pin) {
        SetEnvironment("TARVIK_PIN", options.pin->c_str());
    }
    starting.store(true);
    const bool started = session.Start(options.port, options.device, options.baud, why);
    starting.store(false);
    if (!started && Interrupts() > 0) {
        why = "interrupted while starting";
    }
    return started;
}

}  // namespace TarvikCli

int main(int argc, char** argv) {
    using namespace TarvikCli;
    std::string error;
    const auto args = LocalArguments(argc, argv, error);
    const ParsedOptions parsed = args ? ParseOptions(*args) : ParsedOptions{};
    if (!parsed.options) {
        std::fprintf(stderr, "tarvik: %s\n%s", (args ? parsed.error : error).c_str(),
                     "Try 'tarvik --help' or 'tarvik COMMAND --help'.\n");
        return kExitUsage;
    }
    const Options& options = *parsed.options;
    if (options.verb == Verb::Help) {
        std::fputs(UsageText(options.verbName).c_str(), stdout);
        return kExitDone;
    }
    if (options.verb == Verb::Version) {
        std::puts("tarvik " TARVIK_VERSION);
        return kExitDone;
    }
    // A start can take the modem's whole identification; an interrupt cuts it short.
    CatchInterrupts([] {
        if (starting.load()) {
            CSession::CutStart();
        }
    });
    int code = kExitUsage;
    switch (options.verb) {
        case Verb::Send:
            code = RunSend(options);
            break;
        case Verb::Receive:
            code = RunReceive(options);
            break;
        case Verb::Serve:
            code = RunServe(options);
            break;
        case Verb::At:
            code = RunAt(options);
            break;
        case Verb::Identify:
            code = RunIdentify(options);
            break;
        case Verb::Ports:
            code = RunPorts(options);
            break;
        case Verb::Help:
        case Verb::Version:
            break;
    }
    ReleaseInterrupts();
    std::fflush(stdout);
    return code;
}
