#include "codec/Listing.h"

#include <array>
#include <cstdint>
#include <cstring>

#include "codec/Fields.h"
#include "codec/Text.h"

namespace GSM {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// The field less its first and last character (the quotes); empty when it cannot carry both.
std::string_view Unquote(std::string_view field) {
    return field.size() < 2 ? std::string_view() : field.substr(1, field.size() - 2);
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
    const auto fields = Split(reply.substr(0, headerEnd), ",");
    long coding = 2;
    if (fields.size() >= 5) {
        Fields::Copy(record.number, Unquote(fields[1]));
        const auto stamp = Split(Unquote(fields[2]), " ");
        if (stamp.size() >= 2) {
            const auto date = Split(stamp[0], "/");
            // A four-digit year gives its last two digits.
            WriteDateTime(record, From(date[0], 2), date, stamp[1]);
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
        const std::string_view date = From(fields[3], 1);
        const std::string_view time =
            fields.size() > 4 ? std::string_view(fields[4]).substr(0, 8) : std::string_view();
        const auto datePieces = Split(date, "/");
        WriteDateTime(record, datePieces[0], datePieces, time);
    }
    std::array<uint8_t, kMaxUcs2InputBytes> body{};
    const std::size_t bodyBytes = HexStringToBytes(lines[1], body);
    Ucs2ToLocal(std::span(body).first(bodyBytes), record.text);
    return true;
}

}  // namespace GSM
