// tarvik: SMS from the command line, a shell script or another program, through the Tarvik
// library's own face over the same service as its ten functions.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
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

// Where the references of concatenated messages are kept between runs, unless the caller
// named a file or runs an inbox journal beside which they are kept; unset when the
// folder cannot be made, and each run then picks its own.
void KeepReferences() {
    const auto given = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0' ? std::string(value) : std::string();
    };
    if (!given("TARVIK_CONCAT_REFERENCES").empty() || !given("TARVIK_INBOX_JOURNAL").empty()) {
        return;
    }
    std::filesystem::path folder;
    if (const std::string state = given("XDG_STATE_HOME"); !state.empty()) {
        folder = state;
    } else if (const std::string home = given("HOME"); !home.empty()) {
        folder = std::filesystem::path(home) / ".local" / "state";
    } else if (const std::string local = given("LOCALAPPDATA"); !local.empty()) {
        folder = local;
    } else {
        return;
    }
    folder /= "tarvik";
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (!error) {
        SetEnvironment("TARVIK_CONCAT_REFERENCES", (folder / "references").string().c_str());
    }
}

bool StartSession(CSession& session, const Options& options, std::string& why) {
    KeepReferences();
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
