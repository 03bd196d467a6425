// The lines a modem sends on its own: signal and registration changes, new-message and
// status-report indications, rings, boot announcements. They may arrive before, inside or
// after any reply and are never part of it. Pure functions, no I/O.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace GSM {

// The tags a reply under collection may itself contain ("+CMGL:", "+CMGS:"). A final
// result ("OK", "ERROR", "+CMS ERROR:", "+CME ERROR:") is always part of the reply.
using ReplyTags = std::initializer_list<std::string_view>;

// The tag of a command's own information lines: "+CSCA:" for "AT+CSCA?", "^HCMGL:" for
// "AT^HCMGL"; empty for commands that have none ("AT", "ATE0").
std::string TagOfCommand(std::string_view command);

// Whether `line` (without its line end) is one the modem sent on its own rather than a
// line of a reply that may hold the tags `expected`: a known status word ("RING", "RDY",
// "SMS Ready") or a line tagged "+NAME:" or "^NAME" whose tag is not expected.
bool IsUnsolicitedLine(std::string_view line, ReplyTags expected);

// Whether the line announces that the modem has just started, so that the settings it
// was given are gone.
bool IsRestartLine(std::string_view line);

// Whether a reply refuses an operation in a way that means the modem lost the modes its
// set-up chose ("+CMS ERROR: 302", operation not allowed).
bool ShowsLostSetup(std::string_view reply);

struct CleanedReply {
    std::string text;        // the reply without the modem's own lines
    bool removed = false;    // some line was taken out
    bool restarted = false;  // one of them announced a restart
    // Delivery-report lines among them, as they came: "+CDSI: ..." or "+CDS: ...", a
    // PDU-mode one with "\r\n" and its unit behind it.
    std::vector<std::string> reports;
};

// Whether a status line hands over or announces a delivery report.
bool IsReportLine(std::string_view line);

// "+CDS: 25", "+CMT: ,25", "+CBM: 88": a PDU-mode indication whose unit follows on the next
// line.
bool AnnouncesUnit(std::string_view line);

// Takes every complete unsolicited line out of `text`, with the line end in front of it,
// so that "\r\n+CREG: 1\r\n\r\n> " becomes the prompt "\r\n> ". A line not yet ended is
// left for a later read to complete. A PDU-mode indication ("+CDS: 25") goes with the hex
// line that follows it. With `entryBodies`, the line behind an expected tag is the entry's
// body and stays, whatever it holds (free text may begin like a status line).
CleanedReply StripUnsolicited(std::string_view text, ReplyTags expected, bool entryBodies = false);

}  // namespace GSM
