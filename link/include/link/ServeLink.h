// What tarvikd and `tarvik serve` say to each other: one JSON object per line, requests to
// serve on its standard input, events back on its standard output. Both programs build
// their lines here and read the other's here, so that neither guesses at the other's text.
// Strings are UTF-8; unknown fields are ignored, a known field of the wrong kind is an error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace TarvikLink {

// Kept in insertion order: the events' fields come in the order users have always seen.
using Json = nlohmann::ordered_json;

// Raised whenever a reader must change to follow; `ready` carries it. Before it existed,
// `ready` had no version (read as 0).
inline constexpr int kVersion = 1;
// The versions the daemon drives.
inline constexpr int kOldestVersion = 1;
inline bool Speaks(int version) {
    return version >= kOldestVersion && version <= kVersion;
}

// Why a request ended without being sent, for a program to decide on; `error` beside it is
// for people.
enum class Code {
    None,
    InvalidRequest,  // the request itself is wrong: sending it again changes nothing
    TooLong,         // more parts than the library's queue holds
    NotQueued,       // never reached the library's queue: it may be sent again safely
    Refused,         // the modem refused a part (a report's code)
    Stopped,         // queued, but the service stopped before every part was reported
    StartFailed,     // the service did not start
    DeviceGone,      // the device went away while serve ran; serve ends (kExitDeviceGone)
    SimLocked,       // the start failed at the SIM (a refused PIN, its last try, the PUK, no
                     // SIM): starting again by itself changes nothing, a person must act
    NotWritten,      // with confirmed writes: the part's body was never written, so sending
                     // it again is safe
    Other,           // a code this side does not know
};
const char* CodeName(Code code);
Code CodeNamed(std::string_view name);

// serve's exit code when its device went away: the same device may come back under its
// stable path, and a new serve on it goes on where this one ended.
inline constexpr int kExitDeviceGone = 5;

// Where serve finds its modem: the device's path when given (best a stable link under
// /dev/serial/by-id), else the port number.
struct ServeTarget {
    int port = 0;
    std::string device;
    int baud = 115200;
};
// serve's arguments for it, its own name first: serve, --device PATH or --port N, --baud B.
std::vector<std::string> ServeArguments(const ServeTarget& target);

enum class Op { Send, At, Ack, Status, Stop, Write };

struct Request {
    Op op = Op::Stop;
    Json id;  // null when none: a string or an integer, echoed in every event about it
    // send
    std::string number;
    std::string text;
    bool prefixGiven = false;           // absent: serve's default prefix
    std::optional<std::string> prefix;  // given as null: no prefix
    bool separate = false;              // a long text as independent parts
    std::optional<int> maxParts;        // "max_parts": absent, serve's own limit
    // A retry of a concatenated message: its reference again, and the part numbers (of the
    // text's split, from 1) still to send, so that the phone completes the message it holds.
    std::optional<int> reference;
    std::vector<int> onlyParts;  // "only_parts": empty, every part
    // "confirm_writes": before each part's body goes to the modem serve says `writing` and
    // waits for a `write` request naming the part; without it the part is not written.
    bool confirmWrites = false;
    // "status_report": ask the network for a delivery report of each part, where the modem
    // routes reports; each becomes a `status_report` event.
    bool statusReport = false;
    // at
    std::string command;
    int waitMs = 0;
    // ack
    std::string key;
    // write: the part whose body may now go (the send's id in `id`)
    int part = 0;
};

enum class EventKind {
    Ready,
    Modem,
    Queued,
    Writing,
    Report,
    Sent,
    Error,
    Message,
    Reply,
    Stopped,
    StatusReport,  // a delivery report; `report` is a part's outcome at the modem
    Other
};

// What the modem says of itself, as serve asked it.
struct ModemInfo {
    std::string model;     // the AT+CGMM answer
    std::string revision;  // the AT+CGMR answer
    std::string signal;    // the +CSQ answer, such as "23,99"
    std::optional<int> rssi;
    int code = 0;  // the model code the library took it for (its dialect)
};

// How the modem is, beside the modem event's first fields; each absent when the modem did
// not tell it.
struct ModemHealth {
    std::optional<std::string> registration;  // home, roaming, searching, denied, ...
    std::optional<std::string> operatorName;  // "operator" on the wire
    std::optional<std::string> access;        // gsm, umts, lte, ...
    std::optional<int> dbm;
    std::optional<int> quality;  // 0 to 5
    std::optional<std::string> imsi;
    std::optional<std::string> iccid;
    std::optional<std::string> sim;  // ready, pin, puk, ...
    std::optional<int> storageUsed;
    std::optional<int> storageTotal;
};

// Adds the fields of `health` that are known to an object, under the names the modem event
// gives them.
void AddHealth(const ModemHealth& health, Json& line);

struct Event {
    EventKind kind = EventKind::Other;
    Json id;
    int port = 0;        // ready
    std::string device;  // ready: the device's path when serve was given one
    int version = 0;     // ready
    int sequence = 0;
    int part = 0;                        // writing, report
    bool accepted = false;               // report
    std::optional<int> reference;        // report: the network's reference of an accepted part
    std::optional<int> concatReference;  // queued: a concatenated message's own reference
    int parts = 0;                       // queued, sent; message: a long one's count of parts
    int acceptedParts = 0;               // sent
    bool concatenated = false;           // queued, sent: one message whose parts a phone joins
    // queued: the parts ask for delivery reports (false where the modem cannot route them)
    bool statusReport = false;
    std::string error;       // error; a refused report's reason
    Code code = Code::None;  // error, a refused report
    std::string key;         // message
    // A long message (parts given): whether every part came, those that did not, and the
    // keys of the parts it holds. Its key acknowledges them all.
    std::optional<bool> complete;
    std::vector<int> missing;
    std::vector<std::string> keys;
    std::string number;              // message
    std::string time;                // message
    std::string text;                // message
    std::string reply;               // reply
    ModemInfo modem;                 // modem
    ModemHealth health;              // modem
    std::optional<int64_t> unacked;  // stopped, with --ack
    // status_report: the part's network reference in `reference`, its recipient in
    // `number` ("+" and digits when international), the status code (TP-ST: 0-31
    // delivered, 32-63 still tried, else failed), the centre's and the delivery's times.
    std::optional<int> status;
    std::string scTime;
    std::string dischargeTime;
};

// The stable key of a received message, the library's own (codec/MessageKey.h): the inbox
// journal names its messages by it, so that an acknowledgement finds its message after a
// restart.
std::string MessageKey(std::string_view number, std::string_view time, std::string_view text);

// The rssi of a +CSQ answer ("23,99" -> 23); nothing when it is not a level (99 included).
std::optional<int> RssiOf(std::string_view answer);

// Each with its line end.
std::string RequestLine(const Request& request);
std::string EventLine(const Event& event);

// Nothing when the line is no request: `why` says what is wrong, and `id` holds the id when
// that much could be read.
std::optional<Request> ParseRequest(std::string_view line, std::string& why, Json& id);
// Nothing when the line is no event; an event of an unknown kind is EventKind::Other.
std::optional<Event> ParseEvent(std::string_view line, std::string& why);

Event ErrorEvent(const Json& id, Code code, std::string error);

}  // namespace TarvikLink
