// The command line of `tarvik`: a subcommand, its options and its words.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace TarvikCli {

enum class Verb { Send, Receive, Serve, At, Identify, Ports, Help, Version };

// The prefix the library puts before a number that does not begin with "+".
inline constexpr const char* kDefaultPrefix = "86";
inline constexpr int kDefaultBaud = 115200;
inline constexpr int kDefaultIdleS = 5;
inline constexpr int kDefaultReportWaitS = 120;
inline constexpr int kDefaultReassemblyTimeoutMs = 24 * 3600 * 1000;
inline constexpr int kMaxReassemblyTimeoutMs = 7 * 24 * 3600 * 1000;

struct Options {
    Verb verb = Verb::Help;
    std::string verbName;  // for help: the subcommand asked about, if any
    int port = 0;
    std::string device;  // instead of a port number: the device's path
    int baud = kDefaultBaud;
    // The library's own pacing (the full silence after every reply) instead of quick
    // replies, which tarvik turns on by default.
    bool paced = false;
    // The SIM's PIN, entered once at the start when the SIM asks for it; none: the
    // environment's TARVIK_PIN, if any.
    std::optional<std::string> pin;
    std::optional<std::string> prefix = std::string(kDefaultPrefix);  // none: --no-prefix
    int timeoutS = 0;  // 0: wait as long as each part may take
    // send and serve: a long text as independent parts rather than one concatenated
    // message; refused over maxParts parts.
    bool separate = false;
    int maxParts = 10;
    // send: ask for delivery reports and wait up to reportWaitS seconds for each part's.
    bool report = false;
    int reportWaitS = kDefaultReportWaitS;
    bool follow = false;
    bool ack = false;            // serve: each message is held until the reader acknowledges it
    bool ackReports = false;     // serve: and each delivery report
    bool cancelPending = false;  // serve: ESC to the port first, ending a body it waits for
    bool json = false;
    int idleS = kDefaultIdleS;
    // How long the parts of a long message wait for the rest before it goes as it stands.
    int reassemblyTimeoutMs = kDefaultReassemblyTimeoutMs;
    int waitMs = 0;
    std::string receivedPath;  // where messages received meanwhile go; empty: stderr
    std::vector<std::string> words;
};

struct ParsedOptions {
    std::optional<Options> options;
    std::string error;  // when options is empty
};

ParsedOptions ParseOptions(const std::vector<std::string>& args);

// "port 3" or "device /dev/serial/by-id/...", for the user.
std::string LineName(const Options& options);

// The help of one subcommand, or the overview when `verbName` names none.
std::string UsageText(const std::string& verbName);

}  // namespace TarvikCli
