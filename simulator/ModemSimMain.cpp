// tarvik-modemsim: a simulated modem on a pseudo-terminal, for trying the library without
// hardware. It links COM<n> in a folder, prints the link, and answers until told to stop.
// The fault options reach the simulator's own switches, so that a user can see from the
// command line what the tests inject.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Modem.h"
#include "ProfileFile.h"

namespace {

const char kUsage[] =
    "usage: tarvik-modemsim [OPTION]...\n"
    "A simulated modem on a pseudo-terminal, for trying a program that uses Tarvik without\n"
    "hardware. Links FOLDER/COM<N> to the pseudo-terminal, prints the link's path, and\n"
    "answers there until SIGINT or SIGTERM. Point the program at it with\n"
    "TARVIK_PORT_DIR=FOLDER and port number N.\n"
    "\n"
    "  --dir FOLDER          folder of the link (default: $TARVIK_PORT_DIR, else /tmp)\n"
    "  --port N              the link is COM<N>, N from 1 to 1024 (default 1)\n"
    "  --model NAME          answer the identification as the model NAME, with that\n"
    "                        model's dialect (default MU609; the models are listed in the\n"
    "                        README), a family's name (SIM800L) included; generic:NAME\n"
    "                        names itself NAME and speaks the standard dialect; any other\n"
    "                        name is refused\n"
    "  --profile FILE        answer as the profile of FILE (simulator/PROFILES.md), such as\n"
    "                        one written from a captured dialogue; not with --model. The\n"
    "                        options below still apply on top of it\n"
    "  --own-number NUMBER   the modem's own number (default +8613800138000): a message sent\n"
    "                        to it comes back as a received message\n"
    "  --imsi DIGITS         the SIM's subscriber identity, whose first five digits name the\n"
    "                        network (default 460001234567890); a SIM7600CE on 46003, 46005\n"
    "                        or 46011 speaks another dialect\n"
    "  --registration STATE  the network registration AT+CREG? reports: home (default),\n"
    "                        roaming, searching, denied, unknown or idle; only home and\n"
    "                        roaming name an operator\n"
    "  --capacity N          the message storage holds N messages (1..1000, default 1000);\n"
    "                        what comes when it is full is lost, as on a full SIM\n"
    "  --message NUMBER:TEXT store an unread message from NUMBER (UTF-8 text); repeatable\n"
    "  --part NUMBER:REF/K/N:TEXT  store part K of N of a long message from NUMBER, with an\n"
    "                        8-bit concatenation element of reference REF (0..255); repeatable\n"
    "  --messages FILE       store one message for each NUMBER:TEXT line of FILE; empty\n"
    "                        lines and lines beginning with # are skipped\n"
    "  --latency MS          begin every reply MS milliseconds after its command (0..60000)\n"
    "  --echo                echo commands until the program switches echo off\n"
    "  --generic             a modem of no particular dialect: unknown commands are answered\n"
    "                        OK and the vendor mode-switch probes ERROR\n"
    "  --log FILE            append every byte the modem receives to FILE as it comes\n"
    "  --log-step MS         bring the log up to date every MS milliseconds (1..1000,\n"
    "                        default 100): benchmarks time arrivals by it\n"
    "  --control FIFO        make FIFO and take one command a line from it, each step:\n"
    "                        unplug (the device goes away as an unplugged one does, its\n"
    "                        link too), replug (a new device comes back under the link),\n"
    "                        registration STATE (as for --registration), deliver-lost\n"
    "                        (the parts --loopback-lose held back come now),\n"
    "                        drop-indication (AT+CNMI goes back to its power-up settings,\n"
    "                        unannounced)\n"
    "Behaviour of real modules, for seeing how a program copes:\n"
    "  --chatter MS          send status lines on the modem's own every MS milliseconds,\n"
    "                        give or take a third (100..600000), between the bursts of any\n"
    "                        reply, as modules report signal and registration changes\n"
    "  --chatter-line LINE   a status line for --chatter, sent in turn with the others;\n"
    "                        repeatable (default ^RSSI:17, +CREG: 1, +CGREG: 1 and\n"
    "                        +CMTI: \"SM\",3)\n"
    "  --network-delay MS    the network confirms a submission MS milliseconds after its\n"
    "                        text (0..600000)\n"
    "  --slow-listing MS     the SIM hands over each line of a listing MS milliseconds after\n"
    "                        the one before (0..60000)\n"
    "  --loopback-shuffle    the parts of a long text sent to the own number come back in\n"
    "                        another order (the same for the same reference)\n"
    "  --loopback-lose K     ... without their part K\n"
    "  --loopback-repeat K   ... with their part K twice\n"
    "  --loopback-gap N      ... each part N listings after the one before (0..100)\n"
    "  --report-delay MS     a part that asks for a delivery report gets it MS milliseconds\n"
    "                        after its result (0..600000, default 200), routed as the\n"
    "                        model's row says once the program turned reports on\n"
    "  --report-status CODE  the status of every report (0..255, default 0: delivered)\n"
    "  --report-status-part K:CODE  ... but CODE for part K of a message (1 for a message\n"
    "                        of one part); repeatable\n"
    "Faults, for seeing how a program copes:\n"
    "  --fail PREFIX         answer ERROR to every command beginning with PREFIX\n"
    "                        (such as AT+CPIN? or AT+CMGL); repeatable\n"
    "  --silence PREFIX      answer nothing to every command beginning with PREFIX;\n"
    "                        repeatable\n"
    "  --refuse-sends        refuse every submitted message with +CMS ERROR: 500\n"
    "  --refuse-submission N refuse the N-th submission from the start (1..100000) with\n"
    "                        +CMS ERROR: 500, once; the others go\n"
    "  -h, --help            show this text\n";

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

// "NUMBER:TEXT" as an unread message stamped now; none when NUMBER is missing.
std::optional<ModemSim::StoredMessage> ParseMessage(const std::string& value) {
    const std::size_t colon = value.find(':');
    if (colon == std::string::npos || colon == 0) {
        return std::nullopt;
    }
    ModemSim::StoredMessage message;
    message.number = value.substr(0, colon);
    message.text = value.substr(colon + 1);
    message.time = ModemSim::TimeNow();
    message.coding = IsAscii(message.text) ? ModemSim::Coding::Gsm7 : ModemSim::Coding::Ucs2;
    return message;
}

// "NUMBER:REF/K/N:TEXT" as part K of N of set REF; none when it is not one.
std::optional<ModemSim::StoredMessage> ParsePart(const std::string& value) {
    const std::size_t colon = value.find(':');
    const std::size_t second = colon == std::string::npos ? colon : value.find(':', colon + 1);
    unsigned reference = 0;
    unsigned number = 0;
    unsigned count = 0;
    char end = 0;
    if (second == std::string::npos ||
        std::sscanf(value.substr(colon + 1, second - colon - 1).c_str(), "%u/%u/%u%c", &reference,
                    &number, &count, &end) != 3 ||
        reference > 255 || number > 255 || count > 255) {
        return std::nullopt;
    }
    auto part = ParseMessage(value.substr(0, colon) + value.substr(second));
    if (part) {
        part->header = {0x00, 0x03, static_cast<uint8_t>(reference), static_cast<uint8_t>(count),
                        static_cast<uint8_t>(number)};
    }
    return part;
}

// Appends the messages of a file; false, with the reason printed, when it cannot be read or
// a line is not NUMBER:TEXT.
bool ReadMessages(const std::string& path, std::vector<ModemSim::StoredMessage>& messages) {
    std::ifstream file(path);
    if (!file) {
        std::fprintf(stderr, "tarvik-modemsim: cannot read %s\n", path.c_str());
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        auto message = ParseMessage(line);
        if (!message) {
            std::fprintf(stderr, "tarvik-modemsim: %s:%d is not NUMBER:TEXT\n", path.c_str(),
                         number);
            return false;
        }
        messages.push_back(*message);
    }
    return true;
}

// A decimal number from `low` to `high` and nothing else ("7x" and "" are not), or -1.
int NumberIn(const std::string& value, int low, int high) {
    if (value.empty() || value.size() > 9 ||
        value.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    const int number = std::stoi(value);
    return number >= low && number <= high ? number : -1;
}

bool IsImsi(const std::string& value) {
    return value.size() >= 6 && value.size() <= 15 &&
           value.find_first_not_of("0123456789") == std::string::npos;
}

// The commands of --control: the line's own fate, and what the network does meanwhile.
class CControl {
public:
    // False, with the reason printed, when the FIFO cannot be made.
    bool Open(const std::string& path) {
        if (::mkfifo(path.c_str(), 0600) != 0 && errno != EEXIST) {
            std::fprintf(stderr, "tarvik-modemsim: cannot make %s\n", path.c_str());
            return false;
        }
        // Read and write: the FIFO never reads as ended between two writers.
        fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        return fd_ >= 0;
    }
    ~CControl() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    void Poll(ModemSim::CModem& modem) {
        char chunk[256];
        ssize_t n = 0;
        while (fd_ >= 0 && (n = ::read(fd_, chunk, sizeof chunk)) > 0) {
            pending_.append(chunk, static_cast<std::size_t>(n));
        }
        for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
            const std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            Run(modem, line);
        }
    }

private:
    static void Run(ModemSim::CModem& modem, const std::string& line) {
        if (line == "unplug") {
            modem.Port().Unplug();
        } else if (line == "replug") {
            // Power came back with it: the modes of the last set-up are gone.
            modem.Port().Replug();
            modem.Restart(false);
        } else if (line == "deliver-lost") {
            modem.DeliverLostParts();
        } else if (line == "drop-indication") {
            modem.DropIndication();
        } else if (line.rfind("registration ", 0) == 0 &&
                   ModemSim::RegistrationNumber(line.substr(13)) >= 0) {
            modem.UpdateProfile(
                [&](ModemSim::ModemProfile& p) { p.registration = line.substr(13); });
        } else {
            std::fprintf(stderr, "tarvik-modemsim: unknown control command '%s'\n", line.c_str());
        }
    }

    int fd_ = -1;
    std::string pending_;
};

// The delivery-report options, on the profile when given.
struct ReportOptions {
    int delayMs = -1;
    int status = -1;
    std::map<int, int> parts;

    // 1 when `arg` is one of them and `value` fits it, -1 when it does not fit, 0 for
    // another option.
    int Take(const std::string& arg, const std::string& value) {
        if (arg == "--report-delay") {
            delayMs = NumberIn(value, 0, 600000);
            return delayMs < 0 ? -1 : 1;
        }
        if (arg == "--report-status") {
            status = NumberIn(value, 0, 255);
            return status < 0 ? -1 : 1;
        }
        if (arg != "--report-status-part") {
            return 0;
        }
        const std::size_t colon = value.find(':');
        const int part = colon == std::string::npos ? -1 : NumberIn(value.substr(0, colon), 1, 255);
        const int code = part < 0 ? -1 : NumberIn(value.substr(colon + 1), 0, 255);
        if (code < 0) {
            return -1;
        }
        parts[part] = code;
        return 1;
    }

    void Apply(ModemSim::ModemProfile& profile) const {
        if (delayMs >= 0) {
            profile.reportDelayMs = delayMs;
        }
        if (status >= 0) {
            profile.reportStatus = status;
        }
        for (const auto& [part, code] : parts) {
            profile.reportStatusParts[part] = code;
        }
    }
};

// What the command line asks of the simulated modem; -1 and empty: not given.
struct SimOptions {
    std::string dir;
    int port = 1;
    std::string model = "MU609";
    bool modelGiven = false;
    std::string profilePath;
    std::string ownNumber;
    bool echo = false;
    bool generic = false;
    int latencyMs = -1;
    std::string imsi;
    bool refuseSends = false;
    std::vector<std::string> failing;
    std::vector<std::string> silent;
    std::vector<ModemSim::StoredMessage> messages;
    int chatterMs = 0;
    std::vector<std::string> chatterLines;
    int networkDelayMs = -1;
    int slowListingMs = -1;
    bool loopbackShuffle = false;
    int loopbackLose = 0;
    int loopbackRepeat = 0;
    int loopbackGap = 0;
    std::string logPath;
    int logStepMs = 100;
    std::string controlPath;
    std::string registration;
    int capacity = -1;
    ReportOptions reports;
    int refuseSubmission = -1;
};

// What a step of the command line returns when it is taken and the parse goes on.
constexpr int kGoOn = -1;

// True when `arg` is an option without a value, which it then sets.
bool TakeFlag(const std::string& arg, SimOptions& o) {
    if (arg == "--echo") {
        o.echo = true;
    } else if (arg == "--generic") {
        o.generic = true;
    } else if (arg == "--refuse-sends") {
        o.refuseSends = true;
    } else if (arg == "--loopback-shuffle") {
        o.loopbackShuffle = true;
    } else {
        return false;
    }
    return true;
}

// 1 when `arg` takes a number and `value` fits it, -1 when it does not fit, 0 for another
// option.
int TakeNumber(const std::string& arg, const std::string& value, SimOptions& o) {
    if (const int taken = o.reports.Take(arg, value); taken != 0) {
        return taken;
    }
    // Its range, and where it goes.
    static constexpr struct {
        const char* name;
        int least;
        int most;
        int SimOptions::*value;
    } kNumbers[] = {
        {"--port", 1, 1024, &SimOptions::port},
        {"--latency", 0, 60000, &SimOptions::latencyMs},
        {"--chatter", 100, 600000, &SimOptions::chatterMs},
        {"--network-delay", 0, 600000, &SimOptions::networkDelayMs},
        {"--slow-listing", 0, 60000, &SimOptions::slowListingMs},
        {"--capacity", 1, 1000, &SimOptions::capacity},
        {"--log-step", 1, 1000, &SimOptions::logStepMs},
        {"--refuse-submission", 1, 100000, &SimOptions::refuseSubmission},
    };
    for (const auto& number : kNumbers) {
        if (arg == number.name) {
            o.*number.value = NumberIn(value, number.least, number.most);
            return o.*number.value < 0 ? -1 : 1;
        }
    }
    if (arg == "--loopback-lose" || arg == "--loopback-repeat" || arg == "--loopback-gap") {
        const bool gap = arg == "--loopback-gap";
        const int n = NumberIn(value, gap ? 0 : 1, gap ? 100 : 255);
        (arg == "--loopback-lose" ? o.loopbackLose : gap ? o.loopbackGap : o.loopbackRepeat) = n;
        return n < 0 ? -1 : 1;
    }
    return 0;
}

// True when `arg` is an option of text and `value` suits it.
bool TakeText(const std::string& arg, const std::string& value, SimOptions& o) {
    if (arg == "--dir" && !value.empty()) {
        o.dir = value;  // empty would put the link at the root
    } else if (arg == "--model") {
        o.model = value;
        o.modelGiven = true;
    } else if (arg == "--own-number") {
        o.ownNumber = value;
    } else if (arg == "--registration" && ModemSim::RegistrationNumber(value) >= 0) {
        o.registration = value;
    } else if (arg == "--imsi" && IsImsi(value)) {
        o.imsi = value;
    } else if (value.empty()) {
        return false;  // none of the options below takes an empty value
    } else if (arg == "--chatter-line") {
        o.chatterLines.push_back(value);
    } else if (arg == "--profile") {
        o.profilePath = value;
    } else if (arg == "--control") {
        o.controlPath = value;
    } else if (arg == "--log") {
        o.logPath = value;
    } else if (arg == "--fail") {
        o.failing.push_back(value);
    } else if (arg == "--silence") {
        o.silent.push_back(value);
    } else {
        return false;
    }
    return true;
}

// Takes an option and its value: kGoOn, or the exit code, the reason printed.
int TakeValue(const std::string& arg, const std::string& value, SimOptions& o) {
    if (const int taken = TakeNumber(arg, value, o); taken != 0) {
        return taken > 0 ? kGoOn : Usage(2);
    }
    if (arg == "--messages") {
        return ReadMessages(value, o.messages) ? kGoOn : 2;
    }
    if (arg == "--message" || arg == "--part") {
        const auto message = arg == "--message" ? ParseMessage(value) : ParsePart(value);
        if (!message) {
            return Usage(2);
        }
        o.messages.push_back(*message);
        return kGoOn;
    }
    return TakeText(arg, value, o) ? kGoOn : Usage(2);
}

// Takes the command line: kGoOn, or the exit code (0 after --help).
int ParseArgs(const std::vector<std::string>& args, SimOptions& o) {
    const char* envDir = std::getenv("TARVIK_PORT_DIR");
    o.dir = envDir != nullptr && *envDir != '\0' ? envDir : "/tmp";
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            return Usage(0);
        }
        if (TakeFlag(arg, o)) {
            continue;
        }
        if (i + 1 >= args.size()) {
            return Usage(2);
        }
        if (const int code = TakeValue(arg, args[++i], o); code != kGoOn) {
            return code;
        }
    }
    return kGoOn;
}

// The profile of --profile or --model; none, the reason printed, when there is none.
std::optional<ModemSim::ModemProfile> ChosenProfile(const SimOptions& o) {
    if (o.modelGiven && !o.profilePath.empty()) {
        std::fputs("tarvik-modemsim: --model and --profile exclude each other\n", stderr);
        return std::nullopt;
    }
    if (!o.profilePath.empty()) {
        std::string error;
        auto chosen = ModemSim::LoadProfile(o.profilePath, error);
        if (!chosen) {
            std::fprintf(stderr, "tarvik-modemsim: %s\n", error.c_str());
        }
        return chosen;
    }
    auto chosen = ModemSim::KnownProfile(o.model);
    if (!chosen) {
        std::fprintf(stderr,
                     "tarvik-modemsim: unknown model %s; the known ones are %s, the "
                     "families %s, and generic:NAME\n",
                     o.model.c_str(), ModemSim::KnownModelNames().c_str(),
                     ModemSim::KnownFamilyNames().c_str());
    }
    return chosen;
}

// Options given change the profile; those left out keep what it says.
void ApplyOptions(const SimOptions& o, ModemSim::ModemProfile& profile) {
    profile.echo = profile.echo || o.echo;
    profile.generic = profile.generic || o.generic;
    if (o.latencyMs >= 0) {
        profile.replyLatencyMs = o.latencyMs;
    }
    if (o.networkDelayMs >= 0) {
        profile.networkDelayMs = o.networkDelayMs;
    }
    profile.loopbackShuffle = o.loopbackShuffle;
    profile.loopbackLose = o.loopbackLose;
    profile.loopbackRepeat = o.loopbackRepeat;
    profile.loopbackGapListings = o.loopbackGap;
    o.reports.Apply(profile);
    if (o.slowListingMs >= 0) {
        profile.listingPauseMs = o.slowListingMs;
    }
    if (!o.ownNumber.empty()) {
        profile.ownNumber = o.ownNumber;
    }
    if (!o.imsi.empty()) {
        profile.imsi = o.imsi;
    }
    if (!o.registration.empty()) {
        profile.registration = o.registration;
    }
    if (o.capacity > 0) {
        profile.capacity = o.capacity;
    }
}

// The faults, stored messages and status lines the options ask of the modem.
void SetUpModem(const SimOptions& o, ModemSim::CModem& modem) {
    for (const auto& prefix : o.failing) {
        modem.FailCommand(prefix);
    }
    for (const auto& prefix : o.silent) {
        modem.SilenceCommand(prefix);
    }
    if (o.refuseSends) {
        modem.FailSubmission();
    }
    if (o.refuseSubmission > 0) {
        modem.FailSubmission("\r\n+CMS ERROR: 500\r\n", 1, o.refuseSubmission - 1);
    }
    for (const auto& message : o.messages) {
        if (modem.StoreMessage(message) < 0) {
            std::fprintf(stderr, "tarvik-modemsim: message from %s does not fit\n",
                         message.number.c_str());
        }
    }
    if (o.chatterMs > 0) {
        std::vector<std::string> lines = o.chatterLines;
        if (lines.empty()) {
            lines = {"^RSSI:17", "+CREG: 1", "+CGREG: 1", "+CMTI: \"SM\",3"};
        }
        modem.StartChatter(lines, o.chatterMs, o.chatterMs / 3);
    }
}

// --log: every byte the modem received, appended to a file as it comes.
class CReceivedLog {
public:
    // False, with the reason printed, when the file cannot be written; no path: no log.
    bool Open(const std::string& path) {
        if (path.empty()) {
            return true;
        }
        file_ = std::fopen(path.c_str(), "ab");
        if (file_ == nullptr) {
            std::fprintf(stderr, "tarvik-modemsim: cannot write %s\n", path.c_str());
        }
        return file_ != nullptr;
    }
    CReceivedLog() = default;
    CReceivedLog(const CReceivedLog&) = delete;
    CReceivedLog& operator=(const CReceivedLog&) = delete;
    ~CReceivedLog() {
        if (file_ != nullptr) {
            std::fclose(file_);
        }
    }

    // Brings the file up to date.
    void Update(ModemSim::CModem& modem) {
        if (file_ == nullptr) {
            return;
        }
        const std::string received = modem.Port().Received();
        if (received.size() > logged_) {
            std::fwrite(received.data() + logged_, 1, received.size() - logged_, file_);
            std::fflush(file_);
            logged_ = received.size();
        }
    }

private:
    std::FILE* file_ = nullptr;
    std::size_t logged_ = 0;
};

// Prints the link and answers until one of `stopSignals` comes: 0, or 2 when the log or
// the control FIFO cannot be opened.
int Serve(const SimOptions& o, ModemSim::CModem& modem, const sigset_t& stopSignals) {
    CReceivedLog log;
    if (!log.Open(o.logPath)) {
        return 2;
    }
    CControl control;
    if (!o.controlPath.empty() && !control.Open(o.controlPath)) {
        return 2;
    }
    std::printf("%s\n", modem.Port().LinkPath().c_str());
    std::fflush(stdout);
    // The log is brought up to date every step, and once more at the end.
    const timespec step = {o.logStepMs / 1000, (o.logStepMs % 1000) * 1000L * 1000L};
    while (sigtimedwait(&stopSignals, nullptr, &step) < 0) {
        log.Update(modem);
        control.Poll(modem);
    }
    log.Update(modem);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    SimOptions options;
    if (const int code = ParseArgs({argv + 1, argv + argc}, options); code != kGoOn) {
        return code;
    }
    std::optional<ModemSim::ModemProfile> profile = ChosenProfile(options);
    if (!profile) {
        return 2;
    }
    // Blocked before the port's thread starts, so that only Serve's sigtimedwait takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        ApplyOptions(options, *profile);
        ModemSim::CModem modem(options.dir, options.port, std::move(*profile));
        SetUpModem(options, modem);
        return Serve(options, modem, stopSignals);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvik-modemsim: %s\n", e.what());
        return 1;
    }
}
