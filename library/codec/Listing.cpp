#include "codec/Listing.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "codec/Fields.h"
#include "codec/Reply.h"
#include "codec/Text.h"

namespace GSM {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// The field less its first and last character (the quotes); empty when it cannot carry both.
std::string_view Unquote(std::string_view field) {
    return field.size() < 2 ? std::string_view() : field.substr(1, field.size() - 2);
}

bool Holds(std::string_view text, std::string_view word) {
    return text.find(word) != std::string_view::npos;
}

std::string_view From(std::string_view text, std::size_t offset) {
    return offset < text.size() ? text.substr(offset) : std::string_view();
}

// Fills the timestamp from the year, the date's month and day pieces and the time's hour,
// minute and second pieces, when date and time have three pieces each; else it stays empty.
void WriteDateTime(MsgRecord& record, std::string_view year,
                   const std::vector<std::string>& datePieces, std::string_view time) {
    const auto timePieces = Split(time, ":");
    if (datePieces.size() < 3 || timePieces.size() < 3) {
        return;
    }
    Fields::WriteStamp(record.timestamp,
                       {Fields::ReadNumber(year), Fields::ReadNumber(datePieces[1]),
                        Fields::ReadNumber(datePieces[2]), Fields::ReadNumber(timePieces[0]),
                        Fields::ReadNumber(timePieces[1]), Fields::ReadNumber(timePieces[2])});
}

// A body of whole UTF-16 units in hex; anything else (a status line that came between the
// header and the body, a cut entry) is not the message.
bool IsUcs2Hex(std::string_view body) {
    return body.empty() || (body.size() % 4 == 0 && IsHexText(body));
}

void ClearAllButTag(MsgRecord& record) {
    const int8_t tag = record.tag;
    std::memset(&record, 0, sizeof record);
    record.tag = tag;
}

}  // namespace

std::vector<std::string> Split(std::string_view text, std::string_view delimiter) {
    std::vector<std::string> pieces;
    if (delimiter.empty()) {
        pieces.emplace_back(text);
        return pieces;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t found = text.find(delimiter, start);
        if (found == std::string_view::npos) {
            pieces.emplace_back(text.substr(start));
            return pieces;
        }
        pieces.emplace_back(text.substr(start, found - start));
        start = found + delimiter.size();
    }
}

bool ParseReadReply(std::string_view reply, MsgRecord& record) {
    const std::size_t headerEnd = reply.find(kLineEnd);
    if (headerEnd == std::string_view::npos) {
        return false;
    }
    ClearAllButTag(record);
    auto fields = Split(reply.substr(0, headerEnd), ",");
    // A time stamp in the 3GPP form, "yy/MM/dd,hh:mm:ss+zz", holds a comma of its own.
    if (fields.size() > 3 && fields[2].size() > 1 && fields[2].front() == '"' &&
        fields[2].back() != '"') {
        fields[2] += "," + fields[3];
        fields.erase(fields.begin() + 3);
    }
    long coding = 2;
    if (fields.size() >= 5) {
        Fields::Copy(record.number, Unquote(fields[1]));
        const std::string_view stampText = Unquote(fields[2]);
        const auto stamp = Split(stampText, Holds(stampText, ",") ? "," : " ");
        if (stamp.size() >= 2) {
            const auto date = Split(stamp[0], "/");
            // A four-digit year gives its last two digits; a two-digit one is taken whole.
            const std::string_view year = date[0];
            WriteDateTime(record, year.size() > 2 ? From(year, 2) : year, date, stamp[1]);
        }
        coding = Fields::ReadNumber(fields[4]);
    }
    // The body runs to the end of what was read, whatever came before "+CMGR:".
    const std::string_view body = reply.substr(headerEnd + kLineEnd.size());
    if (coding == 4) {
        const auto bytes = std::span(reinterpret_cast<const uint8_t*>(body.data()), body.size());
        Ucs2ToLocal(bytes, record.text, CrLf::Ends);
        return true;
    }
    // Coding 2 and every coding this dialect does not name are plain text.
    const std::size_t bodyEnd = body.find(kLineEnd);
    if (bodyEnd == std::string_view::npos) {
        return false;
    }
    Fields::Copy(record.text, body.substr(0, bodyEnd));
    return true;
}

bool ParseUcs2ListEntry(std::string_view entry, MsgRecord& record) {
    const auto lines = Split(entry, kLineEnd);
    if (lines.size() < 2 || !IsUcs2Hex(lines[1])) {
        return false;
    }
    std::memset(&record, 0, sizeof record);
    const auto fields = Split(lines[0], ",");
    if (fields.size() >= 4) {
        // Field 0 is "+CMGL:" and the index.
        record.tag = static_cast<int8_t>(
            static_cast<uint8_t>(Fields::ReadNumber(From(fields[0], 6)) & 0xFF));
        std::array<uint8_t, 64> number{};
        const std::size_t numberBytes = HexStringToBytes(Unquote(fields[2]), number);
        Ucs2ToLocal(std::span(number).first(numberBytes), record.number);
        // The time stamp's own comma splits it: "yy/mm/dd in field 3, hh:mm:ss+zz" in field 4.
        // A module that sends the standard name field in front of it ("" or a name from the
        // phone book) moves it one field on.
        std::size_t stamp = 3;
        if (fields.size() >= 6 && std::string_view(fields[3]).find('/') == std::string_view::npos) {
            stamp = 4;
        }
        const std::string_view date = From(fields[stamp], 1);
        const std::string_view time = fields.size() > stamp + 1
                                          ? std::string_view(fields[stamp + 1]).substr(0, 8)
                                          : std::string_view();
        const auto datePieces = Split(date, "/");
        WriteDateTime(record, datePieces[0], datePieces, time);
    }
    std::array<uint8_t, kMaxUcs2InputBytes> body{};
    const std::size_t bodyBytes = HexStringToBytes(lines[1], body);
    Ucs2ToLocal(std::span(body).first(bodyBytes), record.text);
    return true;
}

std::optional<ListedEntry> FrameEntry(std::string_view text, std::size_t at, std::size_t tagSize,
                                      std::string_view headerEnd) {
    const std::size_t headerStop = text.find(headerEnd, at + tagSize);
    if (headerStop == std::string_view::npos) {
        return std::nullopt;
    }
    const std::size_t bodyStart = headerStop + headerEnd.size();
    const std::size_t bodyStop = text.find(kLineEnd, bodyStart);
    if (bodyStop == std::string_view::npos) {
        return std::nullopt;
    }
    return ListedEntry{text.substr(at, headerStop - at),
                       text.substr(bodyStart, bodyStop - bodyStart), bodyStop + kLineEnd.size()};
}

bool IsReceivedStatus(std::string_view status) {
    const long value = Fields::ReadNumber(status);
    if (Holds(status, "STO") || Holds(status, "SENT")) {
        return false;
    }
    return Holds(status, "REC") || value == 0 || value == 1;
}

std::string_view StatusField(std::string_view header) {
    const std::size_t comma = header.find(',');
    if (comma == std::string_view::npos) {
        return {};
    }
    const std::string_view rest = header.substr(comma + 1);
    return rest.substr(0, rest.find(','));
}

bool HoldsAnnouncedOctets(std::string_view header, std::string_view unit) {
    const std::size_t comma = header.rfind(',');
    if (comma == std::string_view::npos || unit.size() < 2) {
        return unit.size() >= 2;
    }
    const long announced = Fields::ReadNumber(header.substr(comma + 1));
    uint8_t centre = 0;
    if (HexToBytes(unit.substr(0, 2), std::span<uint8_t>(&centre, 1)) != 1) {
        return false;
    }
    return announced <= 0 || unit.size() >= 2 * (static_cast<std::size_t>(centre) + 1 +
                                                 static_cast<std::size_t>(announced));
}

bool FinalAfterEntry(std::string_view burst, std::size_t entry) {
    std::size_t at = burst.find("\r\n", entry);
    if (at == std::string_view::npos ||
        (at = burst.find("\r\n", at + 2)) == std::string_view::npos) {
        return false;
    }
    for (at += 2; at < burst.size();) {
        const std::size_t end = burst.find("\r\n", at);
        const std::string_view line =
            burst.substr(at, end == std::string_view::npos ? end : end - at);
        if (IsFinalResultLine(line)) {
            return true;
        }
        if (end == std::string_view::npos) {
            break;
        }
        at = end + 2;
    }
    return false;
}

}  // namespace GSM
