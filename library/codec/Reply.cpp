#include "codec/Reply.h"

namespace GSM {

namespace {

constexpr std::string_view kPrompt = "\r\n> ";

bool Holds(std::string_view text, std::string_view word) {
    return text.find(word) != std::string_view::npos;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

ReplyKind ClassifyReply(std::string_view reply, Precedence precedence) {
    const bool ok = Holds(reply, "OK");
    const bool error = Holds(reply, "ERROR");
    if (ok && (!error || precedence == Precedence::OkFirst)) {
        return ReplyKind::Ok;
    }
    if (error) {
        return ReplyKind::Error;
    }
    return reply == kPrompt ? ReplyKind::Prompt : ReplyKind::None;
}

bool IsFinalResultLine(std::string_view line) {
    return line == "OK" || line == "ERROR" || StartsWith(line, "+CMS ERROR") ||
           StartsWith(line, "+CME ERROR");
}

bool ShowsPrompt(std::string_view burst, std::string_view command) {
    const std::size_t echo = burst.find(command);
    // Only what the echo is followed by at once counts, whatever comes behind the prompt.
    const std::string_view answer =
        echo == std::string_view::npos
            ? burst
            : burst.substr(echo + command.size()).substr(0, kPrompt.size());
    return ClassifyReply(answer) == ReplyKind::Prompt;
}

}  // namespace GSM
