// What a modem's reply amounts to: its final result, the prompt for a message body, and
// the pieces of information replies the engine relies on. Pure functions, no I/O.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace GSM {

enum class ReplyKind {
    None,    // no final result yet (or no answer the engine knows)
    Ok,      // "OK" anywhere
    Error,   // "ERROR" anywhere, so also "+CMS ERROR: n" and "+CME ERROR: n"
    Prompt,  // the reply is the prompt for a message body and nothing else
};

// Which word decides when a reply holds both. A modem's own reply never does; an echo, an
// entry body or an earlier burst left in the buffer can.
enum class Precedence {
    OkFirst,     // the rule of a command that waits for its final result
    ErrorFirst,  // where any "ERROR" means the answer sought will not come
};

// Searches the words anywhere in the text, case-sensitively, as the modems' replies need:
// some put information or an echo on the same line.
ReplyKind ClassifyReply(std::string_view reply, Precedence precedence = Precedence::OkFirst);

// Whether a line, without its line end, is a final result on its own: "OK", "ERROR" or an
// extended error.
bool IsFinalResultLine(std::string_view line);

// Whether a burst answers `command` with the prompt: the prompt alone, or behind an echo
// of the command.
bool ShowsPrompt(std::string_view burst, std::string_view command);

// A number as a modem in the UCS2 character set gives it, in hex groups of four
// ("002B0038..."), turned back into its digits and "+". Anything else, a group that is not
// a digit or "+" included, is returned unchanged: the modem gave the number as it stands.
std::string DecodeUcs2Number(std::string_view text);

// The service-centre number of a "+CSCA:" reply: what stands between the quotes on the
// tag's line, its "+" dropped, a number in UCS2 hex groups decoded. The whole of `number`
// is cleared and the digits copied in with room for a NUL; `international` (when given)
// tells whether the number had the "+" or its type is 145. False, with nothing written,
// for a reply without the tag, without both quotes on the line, or with no digits or more
// than the field holds.
bool ParseServiceCentre(std::string_view reply, std::span<char> number, bool* international);

// The subscriber identity in an AT+CIMI reply: the first run of at least five digits, as
// far as the run goes (its first five are the country and network codes); empty when there
// is none.
std::string_view SubscriberIdentity(std::string_view reply);

}  // namespace GSM
