// How `tarvik` reads the modem's replies and writes what it prints; no library calls, so
// the tests take it directly.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace TarvikCli {

// A received message as it is printed: a message of its own, or a long one joined.
struct Received {
    std::string number;
    std::string time;
    std::string text;
    std::string key;
    int parts = 1;             // more than one: a long message
    std::vector<int> missing;  // the parts of a long message that did not come
    std::vector<std::string> partKeys;
};

// A message as `receive` prints it: tab-separated text, or a JSON line.
std::string TextLine(const Received& message);
std::string JsonLine(const Received& message);

// A modem reply or last-error text as one line: the modem's line ends become single spaces.
std::string OneLine(std::string_view text);

// True when the library's reason for a failed start is the SIM's, one that only a person
// can mend: a refused PIN, a PIN kept back for the last try, the PUK, no SIM. A SIM still
// starting up is not: a later start may find it ready.
bool StartFailedAtSim(std::string_view libraryReason);

// Empty when the library can address `number` behind `prefix` (none: no prefix); else why
// not, for the user.
std::string NumberProblem(const std::string& number, const std::optional<std::string>& prefix);

// The non-empty lines of a reply.
std::vector<std::string> ReplyLines(std::string_view reply);
bool IsErrorResult(const std::string& line);

// The answer to the query `command` ("AT+CGMM") in `reply`: the text behind the query's
// own tag, or for an untagged answer the first line that is neither the echo, a result nor
// a status line of the modem's own. Empty unless the reply ends in OK; `status` gets the
// final result ("OK", "ERROR", ...), empty when none came.
std::string AnswerOf(const std::string& command, std::string_view reply, std::string& status);

// "0,2,\"46000\",7" -> "46000": the operator field, in whatever form the modem gives it.
std::string OperatorOf(const std::string& answer);
// "23,99" -> "23 (-67 dBm)"; 99 is the modem's "not known".
std::string SignalOf(const std::string& answer);

}  // namespace TarvikCli
