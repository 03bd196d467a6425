#include "Options.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace TarvikCli {

namespace {

const char kOverview[] =
    "usage: tarvik COMMAND (--port N | --device PATH) [OPTION]... [ARGUMENT]...\n"
    "Sends and receives SMS through the modem on port N, through the Tarvik library.\n"
    "\n"
    "Commands:\n"
    "  send      send a text and wait for the modem's report of every part\n"
    "  receive   print the messages the modem has received\n"
    "  serve     take JSON requests on standard input, write JSON events to standard output\n"
    "  at        pass one raw command to the modem and print its reply\n"
    "  identify  print the modem's maker, model, revision, network and signal\n"
    "  ports     list the serial devices and what answers on each\n"
    "\n"
    "Options of every command:\n"
    "  --port N            the modem's port, 1 to 1024 (COM<N>; on Linux the entry COM<N>\n"
    "                      of $TARVIK_PORT_DIR, else /dev/ttyS, ttyUSB or ttyACM)\n"
    "  --device PATH       the modem's device instead of a number, best its stable link\n"
    "                      under /dev/serial/by-id, which a replug does not change\n"
    "  --baud B            the line's rate (default 115200)\n"
    "  --paced             wait for the line to fall silent after every reply (300 ms)\n"
    "                      instead of going on as soon as the modem's final result has\n"
    "                      come; for a modem that answers in pieces\n"
    "  --pin PIN           the SIM's PIN (4 to 8 digits), entered once when the SIM asks\n"
    "                      for it; a PIN the SIM refuses is not entered again. The\n"
    "                      environment's TARVIK_PIN serves too, out of sight of ps\n"
    "  -h, --help          show the help of the command\n"
    "\n"
    "Exit codes: 0 done; 1 the modem refused (a part, a command); 2 bad usage or input;\n"
    "3 the start failed; 4 gave up waiting (time-out or interrupt); 5 (serve) the device\n"
    "went away.\n"
    "'tarvik COMMAND --help' shows a command's own options; 'man tarvik' has examples.\n";

const char kSendUsage[] =
    "usage: tarvik send --port N [--baud B] [--prefix P | --no-prefix] [--timeout S]\n"
    "                   [--separate] [--max-parts N] [--report [--report-wait S]]\n"
    "                   [--received FILE] NUMBER [TEXT]...\n"
    "Queues TEXT (the words joined by spaces; standard input when none is given, without\n"
    "its last line end) to NUMBER, waits for the report of every part and prints one line\n"
    "per part: \"part K accepted\" or \"part K refused: REASON\".\n"
    "\n"
    "  --prefix P          put P before a NUMBER that does not begin with \"+\" (default 86)\n"
    "  --no-prefix         put nothing before NUMBER: its first two digits are taken as\n"
    "                      its country code\n"
    "  --timeout S         give up after S seconds in all (default: wait while the modem\n"
    "                      may still answer, up to 300 seconds for each part)\n"
    "  --separate          a text longer than one message goes as independent messages,\n"
    "                      not as one concatenated message (modems in PDU mode)\n"
    "  --max-parts N       refuse a text of more than N parts (default 10)\n"
    "  --report            ask the network for delivery reports, wait for every part's and\n"
    "                      print it: \"part K delivered\" or \"part K not delivered: status\n"
    "                      0xNN\" (a part still being tried is waited for)\n"
    "  --report-wait S     wait S seconds for the reports once every part went (default\n"
    "                      120)\n"
    "  --received FILE     append messages that arrive meanwhile to FILE as JSON lines\n"
    "                      (default: print them on standard error)\n"
    "\n"
    "Exit codes: 0 every part accepted (and with --report delivered); 1 a part refused, or\n"
    "not delivered; 2 bad usage, an empty text, an unusable number or a text that is not\n"
    "valid in the local code page; 3 the start failed; 4 gave up before every part was\n"
    "reported, or (--report) delivered or failed, or the modem gives no reports.\n";

const char kReceiveUsage[] =
    "usage: tarvik receive --port N [--baud B] [--follow] [--format text|json] [--idle S]\n"
    "Prints the messages the modem holds and those that arrive, one per line, until none\n"
    "has come for S seconds (--idle, default 5) and the modem's listing under way is over,\n"
    "or with --follow until SIGINT or SIGTERM. Each message printed is deleted on the\n"
    "modem; at an interrupt, what the library already holds is printed before it stops.\n"
    "\n"
    "  --follow            keep printing until interrupted\n"
    "  --format text       TIME, NUMBER and TEXT separated by tabs; in TEXT a backslash, tab,\n"
    "                      carriage return and line feed read \\\\, \\t, \\r and \\n (default)\n"
    "  --format json       {\"number\":...,\"time\":...,\"text\":...} on each line\n"
    "  --idle S            seconds without a message that end the command (1 to 3600)\n"
    "  --reassembly-timeout-ms MS\n"
    "                      how long the parts of a long message wait for the rest (default\n"
    "                      86400000, a day); then what came is printed as it stands\n"
    "\n"
    "A long message is printed once, its parts joined in order. One still missing a part\n"
    "when receive ends is printed as it stands: its parts have left the modem.\n"
    "A device that goes away (unplugged, reset) ends receive with exit code 5, after every\n"
    "message already taken off the modem.\n";

const char kServeUsage[] =
    "usage: tarvik serve (--port N | --device PATH) [--baud B] [--ack] [--ack-reports]\n"
    "                    [--cancel-pending] [--max-parts N] [--reassembly-timeout-ms MS]\n"
    "Runs one modem for another program: reads requests from standard input and writes\n"
    "events to standard output, one JSON object per line, until standard input ends or a\n"
    "stop request, SIGINT or SIGTERM comes.\n"
    "\n"
    "Requests (\"id\", a string or an integer, is optional and comes back in the events):\n"
    "  {\"op\":\"send\",\"id\":1,\"number\":\"+8613800138000\",\"text\":\"hi\"}   also "
    "\"prefix\":\"86\"\n"
    "                                                        or \"prefix\":null;\n"
    "                            \"separate\":true sends a long text as independent\n"
    "                            parts, \"max_parts\":N refuses more than N\n"
    "  {\"op\":\"at\",\"id\":2,\"command\":\"AT+CSQ\",\"wait\":0}\n"
    "  {\"op\":\"ack\",\"key\":\"0123456789abcdef\"}     with --ack: the message is kept\n"
    "  {\"op\":\"status\"}                          the modem event again, signal refreshed\n"
    "  {\"op\":\"stop\"}\n"
    "Events: ready (port or device, version), modem (model, model_code, revision, signal,\n"
    "rssi, and what the modem tells of its health: registration, operator, access, dbm,\n"
    "quality, imsi, iccid, sim, storage_used, storage_total), queued (its sequence, parts,\n"
    "concatenated), report (each part: accepted or refused, with the error and code), sent\n"
    "(every part reported; parts, accepted, concatenated), message (key, number, time,\n"
    "text; a long message once, joined, with parts, complete, missing and the keys of its\n"
    "parts), reply, error (with a code), stopped.\n"
    "A device that goes away (unplugged, reset) ends serve with the error code\n"
    "\"device_gone\" and exit code 5, after every message already taken off the modem.\n"
    "\n"
    "A text longer than one message goes as one concatenated message on a modem in PDU\n"
    "mode (\"concatenated\":true), as independent parts on the CDMA dialects; a text of\n"
    "more than --max-parts parts (default 10) is refused before anything is queued.\n"
    "\n"
    "A long message missing a part --reassembly-timeout-ms after its first part came\n"
    "(default a day) is given as it stands, \"complete\":false with the numbers \"missing\";\n"
    "a part that comes later (within a day at least) gives it again, under the same key.\n"
    "Acknowledging its key acknowledges every part it holds; with the journal, the parts of\n"
    "one still missing a part stay there until it is whole or given up on.\n"
    "\n"
    "--ack-reports routes delivery reports from the start, so that those of parts an\n"
    "earlier serve sent come too, and holds each (status_report, with a \"key\") the same\n"
    "way until it is acknowledged, giving it again every 10 s; one not acknowledged when\n"
    "serve stops is gone, as the modem no longer keeps it.\n"
    "\n"
    "--cancel-pending writes ESC to the port before the start: it ends a message body the\n"
    "modem still waits for from a program killed in the middle of a send.\n"
    "\n"
    "The key of a message is the same each time the same message is delivered. With --ack\n"
    "a message not acknowledged is given again every 10 s; with TARVIK_INBOX_JOURNAL naming\n"
    "a file, the library writes each message there before deleting it from the modem, the\n"
    "acknowledgement is appended to it, and a later start gives every unacknowledged\n"
    "message again.\n";

const char kAtUsage[] =
    "usage: tarvik at --port N [--baud B] [--wait MS] [--received FILE] COMMAND\n"
    "Passes COMMAND (a carriage return and line feed added) to the modem, waits MS\n"
    "milliseconds (default 0), then prints what came back until the modem falls silent.\n"
    "Exit codes: 0 the reply ends with OK; 1 ERROR or no reply; 2 bad usage; 3 the start\n"
    "failed.\n";

const char kIdentifyUsage[] =
    "usage: tarvik identify (--port N | --device PATH) [--baud B] [--format text|json]\n"
    "                       [--received FILE]\n"
    "Prints the modem's answers to AT+CGMI, AT+CGMM, AT+CGMR, AT+COPS? and AT+CSQ as\n"
    "manufacturer, model, revision, operator and signal, then its health: registration\n"
    "(home, roaming, searching, denied, not searching), operator and access technology,\n"
    "signal in dBm with a quality from 0 to 5, IMSI, ICCID, SIM state and the message\n"
    "storage used and total. What the modem does not answer is left out. Exit code 1 when\n"
    "none answered.\n"
    "  --format json       one JSON object instead of the lines\n";

const char kPortsUsage[] =
    "usage: tarvik ports [--format text|json] [--baud B] [PATH]...\n"
    "Lists the serial devices (on Linux /dev/ttyUSB*, ttyACM*, the ttyS* that have a port\n"
    "behind them, and each PATH given) with their stable links under /dev/serial, and asks\n"
    "each one AT for a moment: one that answers shows its maker, model, revision, IMEI, SIM\n"
    "state and signal. A device another program holds is shown with that program's name\n"
    "and is not touched.\n"
    "  --format json       one JSON object per device and line\n";

struct VerbInfo {
    const char* name;
    Verb verb;
    const char* usage;
};

constexpr std::array<VerbInfo, 6> kVerbs = {{
    {"send", Verb::Send, kSendUsage},
    {"receive", Verb::Receive, kReceiveUsage},
    {"serve", Verb::Serve, kServeUsage},
    {"at", Verb::At, kAtUsage},
    {"identify", Verb::Identify, kIdentifyUsage},
    {"ports", Verb::Ports, kPortsUsage},
}};

// A decimal number from `low` to `high` and nothing else ("7x", "+7" and "" are not), or -1.
int NumberIn(const std::string& value, int low, int high) {
    int number = -1;
    const char* end = value.data() + value.size();
    const auto [stop, error] = std::from_chars(value.data(), end, number);
    const bool whole = error == std::errc() && stop == end && !value.empty() && value[0] != '-';
    return whole && number >= low && number <= high ? number : -1;
}

bool Allowed(Verb verb, const std::string& option) {
    if (verb == Verb::Ports) {
        return option == "--format" || option == "--baud";
    }
    if (option == "--port" || option == "--device" || option == "--baud" || option == "--paced" ||
        option == "--pin") {
        return true;
    }
    switch (verb) {
        case Verb::Send:
            return option == "--prefix" || option == "--no-prefix" || option == "--timeout" ||
                   option == "--received" || option == "--separate" || option == "--max-parts" ||
                   option == "--report" || option == "--report-wait";
        case Verb::Receive:
            return option == "--follow" || option == "--format" || option == "--idle" ||
                   option == "--reassembly-timeout-ms";
        case Verb::At:
            return option == "--wait" || option == "--received";
        case Verb::Identify:
            return option == "--received" || option == "--format";
        case Verb::Serve:
            return option == "--ack" || option == "--ack-reports" || option == "--cancel-pending" ||
                   option == "--max-parts" || option == "--reassembly-timeout-ms";
        case Verb::Ports:
        case Verb::Help:
        case Verb::Version:
            return false;
    }
    return false;
}

// The options as they are taken, with what --prefix and --no-prefix said until both are
// known.
struct Draft : Options {
    bool prefixGiven = false;
    bool noPrefix = false;
};

struct FlagOption {
    const char* name;
    bool Draft::*field;
};

constexpr std::array<FlagOption, 8> kFlags = {{
    {"--no-prefix", &Draft::noPrefix},
    {"--follow", &Draft::follow},
    {"--paced", &Draft::paced},
    {"--ack", &Draft::ack},
    {"--ack-reports", &Draft::ackReports},
    {"--cancel-pending", &Draft::cancelPending},
    {"--separate", &Draft::separate},
    {"--report", &Draft::report},
}};

// An option whose value is a number in a range, refused as "NAME takes UNIT from LOW to
// HIGH, not 'VALUE'".
struct NumberOption {
    const char* name;
    int Draft::*field;
    int low;
    int high;
    const char* unit;
};

constexpr std::array<NumberOption, 7> kNumbers = {{
    {"--port", &Draft::port, 1, 1024, "a number"},
    {"--timeout", &Draft::timeoutS, 1, 86400, "seconds"},
    {"--max-parts", &Draft::maxParts, 1, 255, "a count"},
    {"--report-wait", &Draft::reportWaitS, 1, 86400, "seconds"},
    {"--idle", &Draft::idleS, 1, 3600, "seconds"},
    {"--reassembly-timeout-ms", &Draft::reassemblyTimeoutMs, 1, kMaxReassemblyTimeoutMs,
     "milliseconds"},
    {"--wait", &Draft::waitMs, 0, 600000, "milliseconds"},
}};

bool IsDigits(const std::string& value) {
    return value.find_first_not_of("0123456789") == std::string::npos;
}

// The options whose value is checked on its own: each returns why the value is refused, or
// nothing.
using TakeValue = std::string (*)(Draft& draft, const std::string& value);

std::string TakeDevice(Draft& draft, const std::string& value) {
    if (value.empty()) {
        return "--device needs the device's path";
    }
    draft.device = value;
    return {};
}

std::string TakeBaud(Draft& draft, const std::string& value) {
    draft.baud = NumberIn(value, 1, 99999999);
    if (draft.baud < 0) {
        return "--baud takes a rate such as 9600 or 115200, not '" + value + "'";
    }
    return {};
}

std::string TakePin(Draft& draft, const std::string& value) {
    // The refusal does not repeat the value: it may be a real PIN, mistyped.
    if (value.size() < 4 || value.size() > 8 || !IsDigits(value)) {
        return "--pin takes the SIM's PIN, 4 to 8 digits";
    }
    draft.pin = value;
    return {};
}

std::string TakePrefix(Draft& draft, const std::string& value) {
    if (value.empty() || value.size() > 8 || !IsDigits(value)) {
        return "--prefix takes digits, such as 86, not '" + value + "'";
    }
    draft.prefixGiven = true;
    draft.prefix = value;
    return {};
}

std::string TakeFormat(Draft& draft, const std::string& value) {
    if (value != "text" && value != "json") {
        return "--format takes text or json, not '" + value + "'";
    }
    draft.json = value == "json";
    return {};
}

std::string TakeReceived(Draft& draft, const std::string& value) {
    if (value.empty()) {
        return "--received needs a file name";
    }
    draft.receivedPath = value;
    return {};
}

struct ValueOption {
    const char* name;
    TakeValue take;
};

constexpr std::array<ValueOption, 6> kValues = {{
    {"--device", TakeDevice},
    {"--baud", TakeBaud},
    {"--pin", TakePin},
    {"--prefix", TakePrefix},
    {"--format", TakeFormat},
    {"--received", TakeReceived},
}};

// True when `arg` is a flag, which it then sets.
bool TakeFlag(const std::string& arg, Draft& draft) {
    for (const FlagOption& flag : kFlags) {
        if (arg == flag.name) {
            draft.*flag.field = true;
            return true;
        }
    }
    return false;
}

// Why the value of the option `arg` is refused, or nothing once it is taken.
std::string TakeOptionValue(const std::string& arg, const std::string& value, Draft& draft) {
    for (const NumberOption& number : kNumbers) {
        if (arg == number.name) {
            draft.*number.field = NumberIn(value, number.low, number.high);
            if (draft.*number.field < 0) {
                return arg + " takes " + number.unit + " from " + std::to_string(number.low) +
                       " to " + std::to_string(number.high) + ", not '" + value + "'";
            }
            return {};
        }
    }
    for (const ValueOption& option : kValues) {
        if (arg == option.name) {
            return option.take(draft, value);
        }
    }
    return {};  // Allowed() let through no other option
}

// "-h" and anything beginning with "--"; "-5" and "-" are words.
bool IsOption(const std::string& arg) {
    return arg.size() >= 2 && arg[0] == '-' && (arg[1] == '-' || arg == "-h");
}

// Takes the options and words after the command; why one is refused, or nothing. A help
// option among them makes the draft's verb Help and ends the parse there.
std::string TakeArguments(const std::vector<std::string>& args, Draft& draft) {
    bool wordsOnly = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (wordsOnly || !IsOption(arg)) {
            draft.words.push_back(arg);
        } else if (arg == "--") {
            wordsOnly = true;
        } else if (arg == "-h" || arg == "--help") {
            draft.verb = Verb::Help;
            return {};
        } else if (!Allowed(draft.verb, arg)) {
            return "'" + draft.verbName + "' has no option " + arg;
        } else if (!TakeFlag(arg, draft)) {
            if (i + 1 >= args.size()) {
                return arg + " needs a value";
            }
            if (std::string why = TakeOptionValue(arg, args[++i], draft); !why.empty()) {
                return why;
            }
        }
    }
    return {};
}

// Why the words do not suit the command, or nothing.
std::string WordsProblem(const Options& options) {
    switch (options.verb) {
        case Verb::Send:
            return options.words.empty() ? "the NUMBER to send to is missing" : "";
        case Verb::At:
            return options.words.empty() ? "the COMMAND is missing" : "";
        case Verb::Receive:
        case Verb::Serve:
        case Verb::Identify:
            if (!options.words.empty()) {
                return "'" + options.verbName + "' takes no argument '" + options.words.front() +
                       "'";
            }
            return {};
        case Verb::Ports:
        case Verb::Help:
        case Verb::Version:
            break;
    }
    return {};
}

// Why the options taken together do not go, or nothing.
std::string DraftProblem(const Draft& draft) {
    if (draft.prefixGiven && draft.noPrefix) {
        return "--prefix and --no-prefix exclude each other";
    }
    if (draft.port != 0 && !draft.device.empty()) {
        return "--port and --device exclude each other";
    }
    if (draft.port == 0 && draft.device.empty() && draft.verb != Verb::Ports) {
        return "--port is missing: the number N of the modem's port COM<N>, or --device "
               "and the device's path";
    }
    return WordsProblem(draft);
}

ParsedOptions Refused(std::string why) {
    ParsedOptions parsed;
    parsed.error = std::move(why);
    return parsed;
}

ParsedOptions Accepted(const Options& options) {
    ParsedOptions parsed;
    parsed.options = options;
    return parsed;
}

}  // namespace

std::string UsageText(const std::string& verbName) {
    for (const VerbInfo& info : kVerbs) {
        if (verbName == info.name) {
            return info.usage;
        }
    }
    return kOverview;
}

ParsedOptions ParseOptions(const std::vector<std::string>& args) {
    if (args.empty()) {
        return Refused("a command is missing");
    }
    const std::string& first = args[0];
    Draft draft;
    if (first == "-h" || first == "--help" || first == "help") {
        draft.verb = Verb::Help;
        draft.verbName = args.size() > 1 ? args[1] : "";
        return Accepted(draft);
    }
    if (first == "--version") {
        draft.verb = Verb::Version;
        return Accepted(draft);
    }
    const auto info = std::find_if(kVerbs.begin(), kVerbs.end(),
                                   [&](const VerbInfo& v) { return first == v.name; });
    if (info == kVerbs.end()) {
        return Refused("unknown command '" + first + "'");
    }
    draft.verb = info->verb;
    draft.verbName = info->name;
    if (std::string why = TakeArguments(args, draft); !why.empty()) {
        return Refused(std::move(why));
    }
    if (draft.verb == Verb::Help) {
        return Accepted(draft);
    }
    if (std::string why = DraftProblem(draft); !why.empty()) {
        return Refused(std::move(why));
    }
    if (draft.noPrefix) {
        draft.prefix.reset();
    }
    return Accepted(draft);
}

std::string LineName(const Options& options) {
    return options.device.empty() ? "port " + std::to_string(options.port)
                                  : "device " + options.device;
}

}  // namespace TarvikCli
