#include "Options.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace TarvikCli {

namespace {

const char kOverview[] =
    "usage: tarvik COMMAND --port N [OPTION]... [ARGUMENT]...\n"
    "Sends and receives SMS through the modem on port N, through the Tarvik library.\n"
    "\n"
    "Commands:\n"
    "  send      send a text and wait for the modem's report of every part\n"
    "  receive   print the messages the modem has received\n"
    "  serve     take JSON requests on standard input, write JSON events to standard output\n"
    "  at        pass one raw command to the modem and print its reply\n"
    "  identify  print the modem's maker, model, revision, network and signal\n"
    "\n"
    "Options of every command:\n"
    "  --port N            the modem's port, 1 to 1024 (COM<N>; on Linux the entry COM<N>\n"
    "                      of $TARVIK_PORT_DIR, else /dev/ttyS, ttyUSB or ttyACM)\n"
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
    "3 the start failed; 4 gave up waiting (time-out or interrupt).\n"
    "'tarvik COMMAND --help' shows a command's own options; 'man tarvik' has examples.\n";

const char kSendUsage[] =
    "usage: tarvik send --port N [--baud B] [--prefix P | --no-prefix] [--timeout S]\n"
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
    "  --received FILE     append messages that arrive meanwhile to FILE as JSON lines\n"
    "                      (default: print them on standard error)\n"
    "\n"
    "Exit codes: 0 every part accepted; 1 a part refused; 2 bad usage, an empty text, an\n"
    "unusable number or a text that is not valid in the local code page; 3 the start\n"
    "failed; 4 gave up before every part was reported.\n";

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
    "when receive ends is printed as it stands: its parts have left the modem.\n";

const char kServeUsage[] =
    "usage: tarvik serve --port N [--baud B] [--ack] [--cancel-pending]\n"
    "                    [--reassembly-timeout-ms MS]\n"
    "Runs one modem for another program: reads requests from standard input and writes\n"
    "events to standard output, one JSON object per line, until standard input ends or a\n"
    "stop request, SIGINT or SIGTERM comes.\n"
    "\n"
    "Requests (\"id\", a string or an integer, is optional and comes back in the events):\n"
    "  {\"op\":\"send\",\"id\":1,\"number\":\"+8613800138000\",\"text\":\"hi\"}   also "
    "\"prefix\":\"86\"\n"
    "                                                        or \"prefix\":null\n"
    "  {\"op\":\"at\",\"id\":2,\"command\":\"AT+CSQ\",\"wait\":0}\n"
    "  {\"op\":\"ack\",\"key\":\"0123456789abcdef\"}     with --ack: the message is kept\n"
    "  {\"op\":\"status\"}                          the modem event again, signal refreshed\n"
    "  {\"op\":\"stop\"}\n"
    "Events: ready (port, version), modem (model, revision, signal, rssi), queued (its\n"
    "sequence), report (each part: accepted or refused, with the error and code), sent\n"
    "(every part reported), message (key, number, time, text; a long message once, joined,\n"
    "with parts, complete, missing and the keys of its parts), reply, error (with a code),\n"
    "stopped.\n"
    "\n"
    "A long message missing a part --reassembly-timeout-ms after its first part came\n"
    "(default a day) is given as it stands, \"complete\":false with the numbers \"missing\";\n"
    "a part that comes later (within a day at least) gives it again, under the same key.\n"
    "Acknowledging its key acknowledges every part it holds; with the journal, the parts of\n"
    "one still missing a part stay there until it is whole or given up on.\n"
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
    "usage: tarvik identify --port N [--baud B] [--received FILE]\n"
    "Prints the modem's answers to AT+CGMI, AT+CGMM, AT+CGMR, AT+COPS? and AT+CSQ as\n"
    "manufacturer, model, revision, operator and signal. Exit code 1 when none answered.\n";

struct VerbInfo {
    const char* name;
    Verb verb;
    const char* usage;
};

constexpr std::array<VerbInfo, 5> kVerbs = {{
    {"send", Verb::Send, kSendUsage},
    {"receive", Verb::Receive, kReceiveUsage},
    {"serve", Verb::Serve, kServeUsage},
    {"at", Verb::At, kAtUsage},
    {"identify", Verb::Identify, kIdentifyUsage},
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
    if (option == "--port" || option == "--baud" || option == "--paced" || option == "--pin") {
        return true;
    }
    switch (verb) {
        case Verb::Send:
            return option == "--prefix" || option == "--no-prefix" || option == "--timeout" ||
                   option == "--received";
        case Verb::Receive:
            return option == "--follow" || option == "--format" || option == "--idle" ||
                   option == "--reassembly-timeout-ms";
        case Verb::At:
            return option == "--wait" || option == "--received";
        case Verb::Identify:
            return option == "--received";
        case Verb::Serve:
            return option == "--ack" || option == "--cancel-pending" ||
                   option == "--reassembly-timeout-ms";
        case Verb::Help:
        case Verb::Version:
            return false;
    }
    return false;
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
    ParsedOptions parsed;
    const auto fail = [&](std::string why) {
        parsed.options.reset();
        parsed.error = std::move(why);
        return parsed;
    };
    Options options;
    if (args.empty()) {
        return fail("a command is missing");
    }
    const std::string& first = args[0];
    if (first == "-h" || first == "--help" || first == "help") {
        options.verb = Verb::Help;
        options.verbName = args.size() > 1 ? args[1] : "";
        parsed.options = options;
        return parsed;
    }
    if (first == "--version") {
        options.verb = Verb::Version;
        parsed.options = options;
        return parsed;
    }
    const auto info = std::find_if(kVerbs.begin(), kVerbs.end(),
                                   [&](const VerbInfo& v) { return first == v.name; });
    if (info == kVerbs.end()) {
        return fail("unknown command '" + first + "'");
    }
    options.verb = info->verb;
    options.verbName = info->name;

    bool prefixGiven = false;
    bool noPrefix = false;
    bool wordsOnly = false;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (wordsOnly || arg.size() < 2 || arg[0] != '-' || (arg[1] != '-' && arg != "-h")) {
            options.words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            wordsOnly = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            options.verb = Verb::Help;
            parsed.options = options;
            return parsed;
        }
        if (!Allowed(options.verb, arg)) {
            return fail("'" + options.verbName + "' has no option " + arg);
        }
        if (arg == "--no-prefix") {
            noPrefix = true;
            continue;
        }
        if (arg == "--follow") {
            options.follow = true;
            continue;
        }
        if (arg == "--paced") {
            options.paced = true;
            continue;
        }
        if (arg == "--ack") {
            options.ack = true;
            continue;
        }
        if (arg == "--cancel-pending") {
            options.cancelPending = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            return fail(arg + " needs a value");
        }
        const std::string& value = args[++i];
        if (arg == "--port") {
            options.port = NumberIn(value, 1, 1024);
            if (options.port < 0) {
                return fail("--port takes a number from 1 to 1024, not '" + value + "'");
            }
        } else if (arg == "--baud") {
            options.baud = NumberIn(value, 1, 99999999);
            if (options.baud < 0) {
                return fail("--baud takes a rate such as 9600 or 115200, not '" + value + "'");
            }
        } else if (arg == "--pin") {
            if (value.size() < 4 || value.size() > 8 ||
                value.find_first_not_of("0123456789") != std::string::npos) {
                return fail("--pin takes the SIM's PIN, 4 to 8 digits");
            }
            options.pin = value;
        } else if (arg == "--prefix") {
            if (value.empty() || value.size() > 8 ||
                value.find_first_not_of("0123456789") != std::string::npos) {
                return fail("--prefix takes digits, such as 86, not '" + value + "'");
            }
            prefixGiven = true;
            options.prefix = value;
        } else if (arg == "--timeout") {
            options.timeoutS = NumberIn(value, 1, 86400);
            if (options.timeoutS < 0) {
                return fail("--timeout takes seconds from 1 to 86400, not '" + value + "'");
            }
        } else if (arg == "--idle") {
            options.idleS = NumberIn(value, 1, 3600);
            if (options.idleS < 0) {
                return fail("--idle takes seconds from 1 to 3600, not '" + value + "'");
            }
        } else if (arg == "--reassembly-timeout-ms") {
            options.reassemblyTimeoutMs = NumberIn(value, 1, kMaxReassemblyTimeoutMs);
            if (options.reassemblyTimeoutMs < 0) {
                return fail("--reassembly-timeout-ms takes milliseconds from 1 to " +
                            std::to_string(kMaxReassemblyTimeoutMs) + ", not '" + value + "'");
            }
        } else if (arg == "--wait") {
            options.waitMs = NumberIn(value, 0, 600000);
            if (options.waitMs < 0) {
                return fail("--wait takes milliseconds from 0 to 600000, not '" + value + "'");
            }
        } else if (arg == "--format") {
            if (value != "text" && value != "json") {
                return fail("--format takes text or json, not '" + value + "'");
            }
            options.json = value == "json";
        } else if (arg == "--received") {
            if (value.empty()) {
                return fail("--received needs a file name");
            }
            options.receivedPath = value;
        }
    }
    if (prefixGiven && noPrefix) {
        return fail("--prefix and --no-prefix exclude each other");
    }
    if (noPrefix) {
        options.prefix.reset();
    }
    if (options.port == 0) {
        return fail("--port is missing: the number N of the modem's port COM<N>");
    }
    switch (options.verb) {
        case Verb::Send:
            if (options.words.empty()) {
                return fail("the NUMBER to send to is missing");
            }
            break;
        case Verb::At:
            if (options.words.empty()) {
                return fail("the COMMAND is missing");
            }
            break;
        case Verb::Receive:
        case Verb::Serve:
        case Verb::Identify:
            if (!options.words.empty()) {
                return fail("'" + options.verbName + "' takes no argument '" +
                            options.words.front() + "'");
            }
            break;
        case Verb::Help:
        case Verb::Version:
            break;
    }
    parsed.options = options;
    return parsed;
}

}  // namespace TarvikCli
