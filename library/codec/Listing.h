// Parsers of the two text-mode listing dialects: the "+CMGR:" reply of a read by index and
// one entry of a UCS2 "+CMGL:" listing. Each fills one record.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "service/MsgRecord.h"

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

}  // namespace GSM
