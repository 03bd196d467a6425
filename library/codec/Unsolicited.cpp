#include "codec/Unsolicited.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>
#include <utility>

#include "codec/Reply.h"
#include "codec/Text.h"

namespace GSM {

namespace {

constexpr std::string_view kLineEnd = "\r\n";

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool IsNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

// Status words without a tag, as modules send them on their own.
constexpr std::array<std::string_view, 8> kStatusWords = {
    "RING", "NO CARRIER", "RDY", "SMS Ready", "Call Ready", "SMS DONE", "PB DONE", "POWERED DOWN"};

// Announcements of a module that has just started.
constexpr std::array<std::string_view, 4> kRestartWords = {"RDY", "^SYSSTART", "SMS Ready",
                                                           "SMS DONE"};

// "+NAME:" or "^NAME:" for a tagged line, "^NAME" for a tag without a colon; empty when the
// line carries no tag (a name must begin with a letter, so "+8613..." is a number).
std::string_view TagOf(std::string_view line) {
    if (line.size() < 2 || (line[0] != '+' && line[0] != '^') ||
        std::isalpha(static_cast<unsigned char>(line[1])) == 0) {
        return {};
    }
    std::size_t end = 1;
    while (end < line.size() && IsNameChar(line[end])) {
        ++end;
    }
    if (end < line.size() && line[end] == ':') {
        return line.substr(0, end + 1);
    }
    return end == line.size() ? line : std::string_view();
}

bool Expected(std::string_view tag, ReplyTags expected) {
    return std::any_of(expected.begin(), expected.end(), [&](std::string_view wanted) {
        return !wanted.empty() && (tag == wanted || StartsWith(tag, wanted));
    });
}

bool IsWord(std::string_view line, std::string_view word) {
    return line == word || (StartsWith(line, word) && line.size() > word.size() &&
                            (line[word.size()] == ' ' || line[word.size()] == ':'));
}

}  // namespace

std::string TagOfCommand(std::string_view command) {
    if (command.size() < 4 || std::toupper(static_cast<unsigned char>(command[0])) != 'A' ||
        std::toupper(static_cast<unsigned char>(command[1])) != 'T' ||
        (command[2] != '+' && command[2] != '^')) {
        return {};
    }
    std::size_t end = 3;
    while (end < command.size() && IsNameChar(command[end])) {
        ++end;
    }
    if (end == 3) {
        return {};
    }
    std::string tag(command.substr(2, end - 2));
    for (char& c : tag) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return tag + ":";
}

bool IsUnsolicitedLine(std::string_view line, ReplyTags expected) {
    if (line.empty() || IsFinalResultLine(line)) {
        return false;
    }
    for (std::string_view word : kStatusWords) {
        if (IsWord(line, word)) {
            return true;
        }
    }
    const std::string_view tag = TagOf(line);
    return !tag.empty() && !Expected(tag, expected);
}

bool IsRestartLine(std::string_view line) {
    return std::any_of(kRestartWords.begin(), kRestartWords.end(),
                       [&](std::string_view word) { return IsWord(line, word); });
}

bool IsReportLine(std::string_view line) {
    return StartsWith(line, "+CDS:") || StartsWith(line, "+CDSI:");
}

bool AnnouncesUnit(std::string_view line) {
    for (std::string_view tag : {"+CDS:", "+CMT:", "+CBM:"}) {
        if (StartsWith(line, tag)) {
            std::string_view rest = line.substr(tag.size());
            rest.remove_prefix(std::min(rest.find_first_not_of(" ,"), rest.size()));
            return !rest.empty() && std::all_of(rest.begin(), rest.end(), [](char c) {
                return std::isdigit(static_cast<unsigned char>(c)) != 0;
            });
        }
    }
    return false;
}

bool ShowsLostSetup(std::string_view reply) {
    return reply.find("+CMS ERROR: 302") != std::string_view::npos;
}

namespace {

// Whether `out` ends in the carriage return of a command's echo, which is the echo's own:
// a line feed behind it begins the next line.
bool EndsInEcho(std::string_view out) {
    if (out.empty() || out.back() != '\r') {
        return false;
    }
    const std::size_t start = out.find_last_of('\n', out.size() - 1);
    const std::string_view line = out.substr(start == std::string_view::npos ? 0 : start + 1);
    return line.size() > 2 && std::toupper(static_cast<unsigned char>(line[0])) == 'A' &&
           std::toupper(static_cast<unsigned char>(line[1])) == 'T';
}

// The line a line feed at `at` opens, when it is a status line framed by bare line feeds
// ("\n+CREG: 1\n", or closed by "\r\n"): its text, and where its closing line feed is.
std::optional<std::pair<std::string_view, std::size_t>> LfFramedLine(std::string_view text,
                                                                     std::size_t at,
                                                                     ReplyTags expected) {
    const std::size_t close = text.find('\n', at + 1);
    if (text[at] != '\n' || close == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view line = text.substr(at + 1, close - at - 1);
    if (!line.empty() && line.back() == '\r') {
        if (at > 0 && text[at - 1] == '\r') {
            return std::nullopt;  // carriage returns and line feeds: the rule below takes it
        }
        line.remove_suffix(1);
    }
    if (line.empty() || line.find('\r') != std::string_view::npos ||
        !IsUnsolicitedLine(line, expected)) {
        return std::nullopt;
    }
    return std::make_pair(line, close);
}

// Takes out the status lines that some modules frame with bare line feeds, which the
// carriage-return-and-line-feed rule below never sees as lines: "\n+CREG: 1\n\r\n> " is
// the prompt. Entries' bodies are left as they are: a free text may hold line feeds.
CleanedReply DropLfFramedLines(std::string_view text, ReplyTags expected, bool entryBodies) {
    CleanedReply cleaned;
    std::string& out = cleaned.text;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        if (entryBodies && (at == 0 || text[at - 1] == '\n')) {
            const std::size_t headerEnd = text.find(kLineEnd, at);
            const std::string_view tag = headerEnd == std::string_view::npos
                                             ? std::string_view()
                                             : TagOf(text.substr(at, headerEnd - at));
            if (!tag.empty() && Expected(tag, expected)) {
                const std::size_t bodyEnd = text.find(kLineEnd, headerEnd + kLineEnd.size());
                const std::size_t next =
                    bodyEnd == std::string_view::npos ? text.size() : bodyEnd + kLineEnd.size();
                out.append(text.substr(at, next - at));
                at = next;
                continue;
            }
        }
        auto framed = LfFramedLine(text, at, expected);
        if (!framed) {
            out.push_back(text[at++]);
            continue;
        }
        // A line feed behind a carriage return that ended a line of the reply is that
        // line's end and stays; behind a blank line's or an echo's, it framed the status line.
        if (at > 0 && text[at - 1] == '\r' && !EndsInEcho(out)) {
            if (out.size() == 1 || out[out.size() - 2] == '\n') {
                out.pop_back();
            } else {
                out.push_back('\n');
            }
        }
        // Status lines one after another may share their line feeds.
        while (framed) {
            cleaned.removed = true;
            cleaned.restarted = cleaned.restarted || IsRestartLine(framed->first);
            at = framed->second;
            framed = LfFramedLine(text, at, expected);
        }
        ++at;  // the closing line feed of the last one
    }
    return cleaned;
}

CleanedReply StripOnce(std::string_view text, ReplyTags expected, bool entryBodies) {
    CleanedReply cleaned;
    cleaned.text.reserve(text.size());
    std::string& out = cleaned.text;
    bool body = false;    // the next line is an entry's body
    bool prompt = false;  // the last line kept is the prompt, which has no line end of its own
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find(kLineEnd, at);
        if (end == std::string_view::npos) {
            out.append(text.substr(at));  // not ended yet: a later read completes it
            break;
        }
        const std::string_view line = text.substr(at, end - at);
        at = end + kLineEnd.size();
        if (body || !IsUnsolicitedLine(line, expected)) {
            body = entryBodies && !body && !TagOf(line).empty() && Expected(TagOf(line), expected);
            out.append(line).append(kLineEnd);
            // A blank line behind a bare prompt opens the next status line: the prompt
            // stays the last line.
            prompt = line == "> " || (line.empty() && prompt);
            continue;
        }
        cleaned.removed = true;
        cleaned.restarted = cleaned.restarted || IsRestartLine(line);
        // The line end in front of the line framed it, unless it ended a line of the reply
        // (a command's echo ends in its own carriage return, so that one framed it too).
        const std::size_t n = out.size();
        if (n >= 2 && out.compare(n - 2, 2, kLineEnd) == 0 &&
            (n == 2 || out[n - 3] == '\n' || out[n - 3] == '\r' || prompt)) {
            out.resize(n - 2);
        } else {
            prompt = false;
        }
        std::string report = IsReportLine(line) ? std::string(line) : std::string();
        if (AnnouncesUnit(line)) {
            const std::size_t unitEnd = text.find(kLineEnd, at);
            if (unitEnd != std::string_view::npos && IsHexText(text.substr(at, unitEnd - at))) {
                if (!report.empty()) {
                    report.append(kLineEnd).append(text.substr(at, unitEnd - at));
                }
                at = unitEnd + kLineEnd.size();
            }
        }
        if (!report.empty()) {
            cleaned.reports.push_back(std::move(report));
        }
    }
    return cleaned;
}

}  // namespace

CleanedReply StripUnsolicited(std::string_view text, ReplyTags expected, bool entryBodies) {
    CleanedReply cleaned;
    cleaned.text = std::string(text);
    std::vector<std::string> reports;
    // A line end dropped in front of a line may join a carriage return and a line feed into
    // a new line end, or leave a line framed by bare line feeds: strip again until nothing
    // more goes (each pass that removes something removes bytes).
    for (;;) {
        const CleanedReply bare = DropLfFramedLines(cleaned.text, expected, entryBodies);
        CleanedReply again = StripOnce(bare.text, expected, entryBodies);
        if (!bare.removed && !again.removed) {
            cleaned.reports = std::move(reports);
            return cleaned;
        }
        reports.insert(reports.end(), again.reports.begin(), again.reports.end());
        again.removed = true;
        again.restarted = again.restarted || bare.restarted || cleaned.restarted;
        cleaned = std::move(again);
    }
}

}  // namespace GSM
