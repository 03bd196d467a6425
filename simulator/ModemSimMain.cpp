// tarvik-modemsim: a simulated modem on a pseudo-terminal, for trying the library without
// hardware. It links COM<n> in a folder, prints the link, and answers until told to stop.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "Modem.h"

namespace {

const char kUsage[] =
    "usage: tarvik-modemsim [--dir FOLDER] [--port N] [--model NAME] [--own-number NUMBER]\n"
    "                       [--echo] [--message NUMBER:TEXT]... [--latency MS] [--generic]\n"
    "Links FOLDER/COM<N> (FOLDER defaults to $TARVIK_PORT_DIR, else /tmp; N to 1) to a\n"
    "pseudo-terminal answering as the modem NAME (default MU609). Each --message is stored as\n"
    "an unread message from NUMBER. --latency delays every reply by MS milliseconds;\n"
    "--generic answers unknown commands \"OK\" and vendor mode-switch probes \"ERROR\".\n"
    "Runs until SIGINT or SIGTERM.\n";

int Usage(int code) {
    std::fputs(kUsage, code == 0 ? stdout : stderr);
    return code;
}

bool IsAscii(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* envDir = std::getenv("TARVIK_PORT_DIR");
    std::string dir = envDir != nullptr && *envDir != '\0' ? envDir : "/tmp";
    int port = 1;
    std::string model = "MU609";
    std::string ownNumber;
    bool echo = false;
    bool generic = false;
    int latencyMs = 0;
    std::vector<ModemSim::StoredMessage> messages;

    const std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            return Usage(0);
        }
        if (arg == "--echo") {
            echo = true;
            continue;
        }
        if (arg == "--generic") {
            generic = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            return Usage(2);
        }
        const std::string& value = args[++i];
        if (arg == "--dir") {
            dir = value;
        } else if (arg == "--port") {
            port = std::atoi(value.c_str());
            if (port < 1 || port > 1024) {
                return Usage(2);
            }
        } else if (arg == "--latency") {
            latencyMs = std::atoi(value.c_str());
            if (latencyMs < 0 || latencyMs > 60000 ||
                value.find_first_not_of("0123456789") != std::string::npos) {
                return Usage(2);
            }
        } else if (arg == "--model") {
            model = value;
        } else if (arg == "--own-number") {
            ownNumber = value;
        } else if (arg == "--message") {
            const std::size_t colon = value.find(':');
            if (colon == std::string::npos || colon == 0) {
                return Usage(2);
            }
            ModemSim::StoredMessage message;
            message.number = value.substr(0, colon);
            message.text = value.substr(colon + 1);
            message.time = ModemSim::TimeNow();
            message.coding =
                IsAscii(message.text) ? ModemSim::Coding::Gsm7 : ModemSim::Coding::Ucs2;
            messages.push_back(message);
        } else {
            return Usage(2);
        }
    }

    // Blocked before the port's thread starts, so that only sigwait below takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        ModemSim::ModemProfile profile = ModemSim::ProfileFor(model);
        profile.echo = echo;
        profile.generic = generic;
        profile.replyLatencyMs = latencyMs;
        if (!ownNumber.empty()) {
            profile.ownNumber = ownNumber;
        }
        ModemSim::CModem modem(dir, port, profile);
        for (const auto& message : messages) {
            if (modem.StoreMessage(message) < 0) {
                std::fprintf(stderr, "tarvik-modemsim: message from %s does not fit\n",
                             message.number.c_str());
            }
        }
        std::printf("%s\n", modem.Port().LinkPath().c_str());
        std::fflush(stdout);
        int signal = 0;
        sigwait(&stopSignals, &signal);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvik-modemsim: %s\n", e.what());
        return 1;
    }
    return 0;
}
