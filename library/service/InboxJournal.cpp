#include "service/InboxJournal.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>

#include "codec/Fields.h"
#include "codec/MessageKey.h"

namespace GSM {

namespace {

constexpr char kHex[] = "0123456789abcdef";
constexpr std::size_t kLineBuffer = 8192;

void AppendHex(std::string& out, std::string_view bytes) {
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out += kHex[byte >> 4];
        out += kHex[byte & 0x0F];
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

// The bytes of a hex field no longer than `capacity` - 1; nothing when it is not one.
std::optional<std::string> FromHex(std::string_view hex, std::size_t capacity) {
    if (hex.size() % 2 != 0 || hex.size() / 2 >= capacity) {
        return std::nullopt;
    }
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexDigit(hex[i]);
        const int low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0 || (high == 0 && low == 0)) {
            return std::nullopt;
        }
        bytes += static_cast<char>((high << 4) | low);
    }
    return bytes;
}

std::vector<std::string_view> Words(std::string_view line) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while (at <= line.size()) {
        const std::size_t end = std::min(line.find(' ', at), line.size());
        words.push_back(line.substr(at, end - at));
        at = end + 1;
    }
    return words;
}

bool IsKey(std::string_view word) {
    return word.size() == 16 && word.find_first_not_of(kHex) == std::string_view::npos;
}

constexpr uint8_t kFlagInternational = 1;
constexpr uint8_t kFlagConcat = 2;
constexpr uint8_t kFlagWide = 4;
constexpr uint8_t kFlagSeptets = 8;

// What joining needs beyond the record; empty for a message that has none of it.
std::string PartBytes(const Tarvik::ReceivedPart& part) {
    const uint8_t flags = (part.internationalSender ? kFlagInternational : 0) |
                          (part.concat ? kFlagConcat : 0) |
                          (part.concat && part.concat->wideReference ? kFlagWide : 0) |
                          (part.septets ? kFlagSeptets : 0);
    if (flags == 0 && part.units.empty()) {
        return {};
    }
    const Tarvik::ConcatHeader concat = part.concat.value_or(Tarvik::ConcatHeader{});
    std::string bytes{static_cast<char>(flags), static_cast<char>(concat.reference >> 8),
                      static_cast<char>(concat.reference & 0xFF), static_cast<char>(concat.count),
                      static_cast<char>(concat.number)};
    for (const char16_t unit : part.units) {
        bytes += static_cast<char>(unit >> 8);
        bytes += static_cast<char>(unit & 0xFF);
    }
    return bytes;
}

// Any bytes, NUL too; nothing when `hex` is not whole hex.
std::optional<std::string> HexBytes(std::string_view hex) {
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int high = HexDigit(hex[i]);
        const int low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes += static_cast<char>((high << 4) | low);
    }
    return bytes;
}

bool ReadPartBytes(std::string_view hex, Tarvik::ReceivedPart& part) {
    const std::optional<std::string> read = HexBytes(hex);
    if (!read || read->size() < 5 || read->size() % 2 != 1) {
        return false;
    }
    const std::string& bytes = *read;
    const auto octet = [&](std::size_t at) { return static_cast<uint8_t>(bytes[at]); };
    const uint8_t flags = octet(0);
    part.internationalSender = (flags & kFlagInternational) != 0;
    part.septets = (flags & kFlagSeptets) != 0;
    if ((flags & kFlagConcat) != 0) {
        part.concat = Tarvik::ConcatHeader{static_cast<uint16_t>(octet(1) << 8 | octet(2)),
                                           octet(3), octet(4), (flags & kFlagWide) != 0};
    }
    for (std::size_t at = 5; at + 1 < bytes.size(); at += 2) {
        part.units.push_back(static_cast<char16_t>(octet(at) << 8 | octet(at + 1)));
    }
    return true;
}

std::string MessageLine(const Tarvik::ReceivedPart& part) {
    const RecvMsg& message = part.message;
    std::string line = "\nM " + Tarvik::PartKey(part) + ' ';
    AppendHex(line, Fields::View(message.number));
    line += ' ';
    AppendHex(line, Fields::View(message.timestamp));
    line += ' ';
    AppendHex(line, Fields::View(message.text));
    if (const std::string extra = PartBytes(part); !extra.empty()) {
        line += ' ';
        AppendHex(line, extra);
    }
    line += '\n';
    return line;
}

// A report's fields, apart by a unit separator no field holds.
constexpr char kFieldSeparator = '\x1F';

std::string ReportRecord(const Tarvik::StatusReport& report) {
    const std::string fields = std::to_string(report.reference) + kFieldSeparator +
                               std::to_string(report.status) + kFieldSeparator +
                               (report.internationalRecipient ? "1" : "0") + kFieldSeparator +
                               report.recipient + kFieldSeparator + report.serviceCentreTime +
                               kFieldSeparator + report.dischargeTime;
    std::string line = "\nD " + Tarvik::ReportKey(report) + ' ';
    AppendHex(line, fields);
    line += '\n';
    return line;
}

std::optional<Tarvik::StatusReport> ReadReport(std::string_view hex) {
    const std::optional<std::string> bytes = HexBytes(hex);
    if (!bytes) {
        return std::nullopt;
    }
    std::vector<std::string> fields;
    std::size_t at = 0;
    for (std::size_t end = bytes->find(kFieldSeparator); end != std::string::npos;
         end = bytes->find(kFieldSeparator, at)) {
        fields.push_back(bytes->substr(at, end - at));
        at = end + 1;
    }
    fields.push_back(bytes->substr(at));
    const auto number = [](const std::string& field) {
        return !field.empty() && field.size() <= 3 &&
                       field.find_first_not_of("0123456789") == std::string::npos
                   ? std::stoi(field)
                   : -1;
    };
    if (fields.size() != 6 || number(fields[0]) < 0 || number(fields[1]) < 0 ||
        (fields[2] != "0" && fields[2] != "1")) {
        return std::nullopt;
    }
    Tarvik::StatusReport report;
    report.reference = number(fields[0]);
    report.status = number(fields[1]);
    report.internationalRecipient = fields[2] == "1";
    report.recipient = fields[3];
    report.serviceCentreTime = fields[4];
    report.dischargeTime = fields[5];
    return report;
}

// A message record's words read back; nothing when it is damaged.
std::optional<Tarvik::ReceivedPart> ReadMessage(const std::vector<std::string_view>& words) {
    Tarvik::ReceivedPart part;
    if (words.size() == 6 && !ReadPartBytes(words[5], part)) {
        return std::nullopt;
    }
    RecvMsg& message = part.message;
    const auto number = FromHex(words[2], sizeof message.number);
    const auto time = FromHex(words[3], sizeof message.timestamp);
    const auto text = FromHex(words[4], sizeof message.text);
    if (!number || !time || !text) {
        return std::nullopt;
    }
    Fields::Copy(message.number, *number);
    Fields::Copy(message.timestamp, *time);
    Fields::Copy(message.text, *text);
    if (Tarvik::PartKey(part) != words[1]) {
        return std::nullopt;
    }
    return part;
}

// Records in the order they came, each gone once acknowledged; a record given again
// before its acknowledgement counts once.
template <typename Record>
class Pending {
public:
    void Add(const std::string& key, Record record) {
        if (order_.emplace(key, records_.size()).second) {
            records_.emplace_back(std::move(record));
        }
    }
    void Acknowledge(const std::string& key) {
        if (const auto it = order_.find(key); it != order_.end()) {
            records_[it->second].reset();
            order_.erase(it);
        }
    }
    std::vector<Record> Left() const {
        std::vector<Record> left;
        for (const auto& record : records_) {
            if (record) {
                left.push_back(*record);
            }
        }
        return left;
    }

private:
    std::map<std::string, std::size_t> order_;  // key -> position of its record
    std::vector<std::optional<Record>> records_;
};

// The unacknowledged messages and reports of a journal's text, in the order they came.
// Only whole, well-formed lines count: a line cut off by a crash is no record.
JournalContent Unacknowledged(const std::string& content) {
    Pending<Tarvik::ReceivedPart> messages;
    Pending<Tarvik::StatusReport> reports;
    std::size_t at = 0;
    while (at < content.size()) {
        const std::size_t end = content.find('\n', at);
        if (end == std::string::npos) {
            break;
        }
        const std::vector<std::string_view> words =
            Words(std::string_view(content).substr(at, end - at));
        at = end + 1;
        if (words.size() < 2 || !IsKey(words[1])) {
            continue;
        }
        const std::string key(words[1]);
        if (words.size() == 2 && words[0] == "A") {
            messages.Acknowledge(key);
            reports.Acknowledge(key);
        } else if (words.size() == 3 && words[0] == "D") {
            const std::optional<Tarvik::StatusReport> report = ReadReport(words[2]);
            if (report && Tarvik::ReportKey(*report) == key) {
                reports.Add(key, *report);
            }
        } else if ((words.size() == 5 || words.size() == 6) && words[0] == "M") {
            // Five words as journals always had them, six with what joining needs.
            if (std::optional<Tarvik::ReceivedPart> part = ReadMessage(words)) {
                messages.Add(key, std::move(*part));
            }
        }
    }
    return {messages.Left(), reports.Left()};
}

std::optional<std::string> ReadWhole(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return errno == ENOENT ? std::optional<std::string>(std::string()) : std::nullopt;
    }
    std::string content;
    char buffer[8192];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        content.append(buffer, count);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    return failed ? std::nullopt : std::optional<std::string>(content);
}

bool WriteAll(std::FILE* file, const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
}

}  // namespace

std::string InboxKey(const RecvMsg& message) {
    return MessageKey(Fields::View(message.number), Fields::View(message.timestamp),
                      Fields::View(message.text));
}

CInboxJournal::CInboxJournal(std::string path, std::vector<Tarvik::ReceivedPart>& replayed,
                             std::vector<Tarvik::StatusReport>& replayedReports)
    : path_(std::move(path)) {
    const std::optional<std::string> content = ReadWhole(path_);
    if (!content) {
        return;
    }
    JournalContent waiting = Unacknowledged(*content);
    // Rewritten whole: the acknowledged records go, and so does any torn last line, which
    // would otherwise run into the next record appended.
    const std::string fresh = path_ + ".new";
    std::FILE* rewrite = std::fopen(fresh.c_str(), "wb");
    if (rewrite == nullptr) {
        return;
    }
    bool written = true;
    for (const Tarvik::ReceivedPart& part : waiting.parts) {
        written = written && WriteAll(rewrite, MessageLine(part));
    }
    for (const Tarvik::StatusReport& report : waiting.reports) {
        written = written && WriteAll(rewrite, ReportRecord(report));
    }
    written = written && SyncStream(rewrite);
    written = (std::fclose(rewrite) == 0) && written;
    if (!written || !ReplaceJournalFile(fresh, path_)) {
        std::remove(fresh.c_str());
        return;
    }
    file_ = std::fopen(path_.c_str(), "ab");
    if (file_ != nullptr) {
        // Room for the longest record, so that each goes out in one write.
        std::setvbuf(file_, nullptr, _IOFBF, kLineBuffer);
        replayed = std::move(waiting.parts);
        replayedReports = std::move(waiting.reports);
    }
}

CInboxJournal::~CInboxJournal() {
    if (file_ != nullptr) {
        std::fclose(file_);
    }
}

bool CInboxJournal::Record(const Tarvik::ReceivedPart& part) {
    return Append(MessageLine(part));
}

bool CInboxJournal::RecordReport(const Tarvik::StatusReport& report) {
    return Append(ReportRecord(report));
}

bool CInboxJournal::Append(const std::string& line) {
    if (file_ == nullptr) {
        return false;
    }
    // One write of the whole line: a reader appending its acknowledgements at the same
    // time never splits it.
    return std::fwrite(line.data(), 1, line.size(), file_) == line.size() &&
           std::fflush(file_) == 0 && SyncStream(file_);
}

}  // namespace GSM
