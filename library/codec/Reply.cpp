#include "codec/Reply.h"

#include <algorithm>
#include <cctype>
#include <string>

namespace GSM {

namespace {

constexpr std::string_view kPrompt = "\r\n> ";

bool Holds(std::string_view text, std::string_view word) {
    return text.find(word) != std::string_view::npos;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool IsHex(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
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

std::string DecodeUcs2Number(std::string_view text) {
    if (text.size() < 8 || text.size() % 4 != 0) {
        return std::string(text);
    }
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); i += 4) {
        if (text[i] != '0' || text[i + 1] != '0' || !IsHex(text[i + 2]) || !IsHex(text[i + 3])) {
            return std::string(text);
        }
        char c = static_cast<char>(std::stoi(std::string(text.substr(i + 2, 2)), nullptr, 16));
        if (!std::isdigit(static_cast<unsigned char>(c)) && c != '+') {
            return std::string(text);
        }
        decoded.push_back(c);
    }
    return decoded;
}

bool ParseServiceCentre(std::string_view reply, std::span<char> number, bool* international) {
    const std::size_t tag = reply.find("+CSCA:");
    if (tag == std::string_view::npos) {
        return false;
    }
    const std::string_view line = reply.substr(tag, reply.find_first_of("\r\n", tag) - tag);
    const std::size_t open = line.find('"');
    if (open == std::string_view::npos) {
        return false;
    }
    const std::size_t close = line.find('"', open + 1);
    if (close == std::string_view::npos) {
        return false;
    }
    std::string digits = DecodeUcs2Number(line.substr(open + 1, close - open - 1));
    const bool plus = !digits.empty() && digits.front() == '+';
    if (plus) {
        digits.erase(0, 1);
    }
    if (digits.empty() || digits.size() >= number.size()) {
        return false;
    }
    // The type of number follows the closing quote: 145 is international.
    std::string_view type = line.substr(close + 1);
    type.remove_prefix(std::min(type.find_first_not_of(", "), type.size()));
    std::fill(number.begin(), number.end(), '\0');
    std::copy(digits.begin(), digits.end(), number.begin());
    if (international != nullptr) {
        *international = plus || type.substr(0, 3) == "145";
    }
    return true;
}

std::string_view SubscriberIdentity(std::string_view reply) {
    constexpr std::string_view kDigits = "0123456789";
    for (std::size_t at = reply.find_first_of(kDigits); at != std::string_view::npos;) {
        const std::size_t end = std::min(reply.find_first_not_of(kDigits, at), reply.size());
        if (end - at >= 5) {
            return reply.substr(at, end - at);
        }
        at = reply.find_first_of(kDigits, end);
    }
    return {};
}

}  // namespace GSM
