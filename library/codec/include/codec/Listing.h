// Parsers of the two text-mode listing dialects: the "+CMGR:" reply of a read by index and
// one entry of a UCS2 "+CMGL:" listing. Each fills one record.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/MessageRecord.h"

namespace GSM {

// The pieces of `text` between occurrences of `delimiter`, empty ones kept: one piece more
// than there are occurrences. An empty delimiter gives the whole text as one piece.
std::vector<std::string> Split(std::string_view text, std::string_view delimiter);

// `reply`: every byte read from just after "+CMGR:" to the end of the burst (a raw UCS2
// body may hold NULs). Fills number, timestamp and text and clears the other fields but the
// tag. False, with the record untouched, when the reply has no line end after its header,
// and false when the plain body has no line end of its own.
bool ParseReadReply(std::string_view reply, MsgRecord& record);

// `entry`: one entry from "+CMGL:" through the CR LF that ends its body line. Fills number,
// timestamp, text and tag (the storage index) and clears the other fields. False, with the
// record untouched, when the entry has no line end or its body is not UCS2 hex.
bool ParseUcs2ListEntry(std::string_view entry, MsgRecord& record);

// One entry of a listing: its header line from the tag on, and the line behind it (a PDU
// or a UCS2 body).
struct ListedEntry {
    std::string_view header;  // from the tag to the header's line end
    std::string_view body;    // without its line end
    std::size_t end = 0;      // behind the body's line end, where the next entry is sought
};

// Frames the entry whose tag (`tagSize` characters) starts at `at`: the header ends at the
// first `headerEnd` ("\r\n", or "\r\n\r\n" for a dialect that puts an empty line behind
// it), the body at the next CR LF. None when either line end has not arrived: the listing
// was cut there.
std::optional<ListedEntry> FrameEntry(std::string_view text, std::size_t at, std::size_t tagSize,
                                      std::string_view headerEnd = "\r\n");

// The status field of an entry header "<tag> <index>,<status>,...".
std::string_view StatusField(std::string_view header);

// Whether a status is one of a received message: "REC UNREAD" and "REC READ" (0 and 1 in PDU
// mode); the rest were written on the modem and are not the caller's.
bool IsReceivedStatus(std::string_view status);

// Whether the unit holds the octets its entry header announces (the last field: the octets
// behind the service-centre part). A header without a length passes.
bool HoldsAnnouncedOctets(std::string_view header, std::string_view unit);

// Whether a final result follows the entry that starts at `entry` in a burst of an index
// listing: a line of its own behind the entry's header and body lines (a body may itself
// read "OK").
bool FinalAfterEntry(std::string_view burst, std::size_t entry);

}  // namespace GSM
