#include "ProfileFile.h"

#include <fstream>
#include <map>
#include <variant>
#include <vector>

#include "Messages.h"

namespace ModemSim {

namespace {

using Text = std::string ModemProfile::*;
using Number = int ModemProfile::*;
using Switch = bool ModemProfile::*;
using List = std::vector<std::string> ModemProfile::*;
using Field = std::variant<Text, Number, Switch, List>;

// Every key but "model", "answer" and "reply", which are read on their own.
const std::map<std::string, Field, std::less<>>& Fields() {
    static const std::map<std::string, Field, std::less<>> kFields = {
        {"echo", &ModemProfile::echo},
        {"baud-rate", &ModemProfile::baudRate},
        {"imsi", &ModemProfile::imsi},
        {"imei", &ModemProfile::imei},
        {"iccid", &ModemProfile::iccid},
        {"registration", &ModemProfile::registration},
        {"sim-pin", &ModemProfile::simPin},
        {"service-centre", &ModemProfile::serviceCentreLine},
        {"own-number", &ModemProfile::ownNumber},
        {"country-code", &ModemProfile::countryCode},
        {"prompt", &ModemProfile::prompt},
        {"cancel-reply", &ModemProfile::cancelReply},
        {"unprompted-submit", &ModemProfile::unpromptedSubmit},
        {"report-pause-ms", &ModemProfile::reportPauseMs},
        {"first-index", &ModemProfile::firstIndex},
        {"capacity", &ModemProfile::capacity},
        {"storage", &ModemProfile::storageName},
        {"indicate-new-messages", &ModemProfile::indicateNewMessages},
        {"list-tag", &ModemProfile::listTag},
        {"blank-line-after-list-header", &ModemProfile::blankLineAfterListHeader},
        {"index-dialect", &ModemProfile::indexDialect},
        {"burst-pause-ms", &ModemProfile::burstPauseMs},
        {"listing-pause-ms", &ModemProfile::listingPauseMs},
        {"line-inside-entries", &ModemProfile::lineInsideEntries},
        {"network-delay-ms", &ModemProfile::networkDelayMs},
        {"boot-line", &ModemProfile::bootLines},
        {"reply-latency-ms", &ModemProfile::replyLatencyMs},
        {"generic", &ModemProfile::generic},
        {"mode-switch-probe", &ModemProfile::modeSwitchProbes},
    };
    return kFields;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view TrimFront(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    return text;
}

// A value as the rest of a line holds it: bare, as it stands up to its last non-blank, or
// quoted.
bool ReadValue(std::string_view rest, std::string& value, std::string& reason) {
    rest = TrimFront(rest);
    while (!rest.empty() && IsBlank(rest.back())) {
        rest.remove_suffix(1);
    }
    if (rest.empty() || rest.front() != '"') {
        value = std::string(rest);
        return true;
    }
    const auto text = Unquote(rest, reason);
    if (!text) {
        return false;
    }
    value = *text;
    return true;
}

// A row's value into its field.
bool Assign(ModemProfile& profile, const Field& field, const std::string& value, bool first,
            std::string& reason) {
    if (const auto* text = std::get_if<Text>(&field)) {
        profile.*(*text) = value;
    } else if (const auto* number = std::get_if<Number>(&field)) {
        if (value.empty() || value.size() > 9 ||
            value.find_first_not_of("0123456789") != std::string::npos) {
            reason = "\"" + value + "\" is not a number from 0 to 999999999";
            return false;
        }
        profile.*(*number) = std::stoi(value);
    } else if (const auto* on = std::get_if<Switch>(&field)) {
        if (value != "yes" && value != "no") {
            reason = "\"" + value + "\" is neither yes nor no";
            return false;
        }
        profile.*(*on) = value == "yes";
    } else if (const auto* list = std::get_if<List>(&field)) {
        // The rows of a list replace the built-in one; an empty value adds nothing, so that
        // one empty row makes the list empty.
        if (first) {
            (profile.*(*list)).clear();
        }
        if (!value.empty()) {
            (profile.*(*list)).push_back(value);
        }
    }
    return true;
}

}  // namespace

namespace {

// Up to three octal digits from quoted[i], as strace writes the bytes it shows no other
// way; `i` is left on the last digit.
bool ReadOctal(std::string_view quoted, std::size_t& i, std::string& value, std::string& reason) {
    int octet = 0;
    std::size_t digits = 0;
    for (; digits < 3 && i + digits < quoted.size(); ++digits) {
        const char digit = quoted[i + digits];
        if (digit < '0' || digit > '7') {
            break;
        }
        octet = octet * 8 + (digit - '0');
    }
    if (octet > 0xFF) {
        reason = "an octal escape above \\377";
        return false;
    }
    value += static_cast<char>(octet);
    i += digits - 1;
    return true;
}

// The escape whose letter is at quoted[i]; `i` is left on its last character.
bool ReadEscape(std::string_view quoted, std::size_t& i, std::string& value, std::string& reason) {
    const char escape = quoted[i];
    if (escape >= '0' && escape <= '7') {
        return ReadOctal(quoted, i, value, reason);
    }
    switch (escape) {
        case 'r':
            value += '\r';
            return true;
        case 'n':
            value += '\n';
            return true;
        case 't':
            value += '\t';
            return true;
        case '"':
        case '\\':
            value += escape;
            return true;
        case 'x': {
            const auto octet = FromHex(quoted.substr(i + 1, 2));
            if (!octet || octet->size() != 1) {
                reason = "\\x needs two hex digits";
                return false;
            }
            value += static_cast<char>(octet->front());
            i += 2;
            return true;
        }
        default:
            reason = std::string("unknown escape \\") + escape;
            return false;
    }
}

// One row of a profile: its key, and for a per-command row the command it answers.
struct Row {
    std::string key;
    std::string command;    // "answer" and "reply" rows
    std::string slot;       // what may be given once: the key, or the command's answer
    std::string_view rest;  // the value as the line holds it
};

std::optional<Row> SplitRow(std::string_view row, std::string& reason) {
    const std::size_t keyEnd = std::min(row.find_first_of(" \t"), row.size());
    Row split{std::string(row.substr(0, keyEnd)), {}, {}, row.substr(keyEnd)};
    split.slot = split.key;
    if (split.key == "answer" || split.key == "reply") {
        // One row per command line, whichever of the two keys gives it.
        split.rest = TrimFront(split.rest);
        const std::size_t commandEnd = std::min(split.rest.find_first_of(" \t"), split.rest.size());
        split.command = std::string(split.rest.substr(0, commandEnd));
        if (split.command.empty()) {
            reason = split.key + " needs a command line and what it answers";
            return std::nullopt;
        }
        split.rest = split.rest.substr(commandEnd);
        split.slot = "the answer to " + split.command;
    }
    return split;
}

// A row's value into the profile; false with `reason` when it does not fit.
bool Apply(ModemProfile& profile, const Row& row, const std::string& value, bool first, bool anyRow,
           std::string& reason) {
    if (row.key == "model") {
        // The built-in row of a model as the base: it must come first.
        if (anyRow) {
            reason = "model must be the first row";
            return false;
        }
        auto known = KnownProfile(value);
        if (!known) {
            reason = "unknown model \"" + value + "\"; known: " + KnownModelNames();
            return false;
        }
        profile = std::move(*known);
    } else if (!row.command.empty()) {
        // A row replaces what the base model answered to the same command either way.
        profile.identity.erase(row.command);
        profile.replies.erase(row.command);
        (row.key == "answer" ? profile.identity : profile.replies)[row.command] = value;
    } else if (!Assign(profile, Fields().at(row.key), value, first, reason)) {
        reason = row.key + ": " + reason;
        return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> Unquote(std::string_view quoted, std::string& reason) {
    if (quoted.empty() || quoted.front() != '"') {
        reason = "a quoted value begins with \"";
        return std::nullopt;
    }
    std::string value;
    for (std::size_t i = 1; i < quoted.size(); ++i) {
        const char c = quoted[i];
        if (c == '"') {
            if (i + 1 != quoted.size()) {
                reason = "text after the closing quote";
                return std::nullopt;
            }
            return value;
        }
        if (c != '\\') {
            value += c;
            continue;
        }
        if (++i == quoted.size()) {
            break;
        }
        if (!ReadEscape(quoted, i, value, reason)) {
            return std::nullopt;
        }
    }
    reason = "the quoted value does not close";
    return std::nullopt;
}

std::optional<ModemProfile> ReadProfile(std::istream& in, const std::string& source,
                                        std::string& error) {
    ModemProfile profile;
    std::map<std::string, int, std::less<>> seen;  // key, or "answer COMMAND": its line
    bool anyRow = false;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::string reason;
        const auto fail = [&](const std::string& why) {
            error = source + ":" + std::to_string(number) + ": " + why;
            return std::nullopt;
        };
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::string_view text = TrimFront(line);
        if (text.empty() || text.front() == '#') {
            continue;
        }
        const auto row = SplitRow(text, reason);
        if (!row) {
            return fail(reason);
        }
        const auto field = Fields().find(row->key);
        if (row->command.empty() && row->key != "model" && field == Fields().end()) {
            return fail("unknown key \"" + row->key + "\"");
        }
        const bool list = field != Fields().end() && std::holds_alternative<List>(field->second);
        const auto [earlier, first] = seen.emplace(row->slot, number);
        if (!first && !list) {
            return fail(row->slot + " is given twice (first on line " +
                        std::to_string(earlier->second) + ")");
        }
        std::string value;
        if (!ReadValue(row->rest, value, reason) ||
            !Apply(profile, *row, value, first, anyRow, reason)) {
            return fail(reason);
        }
        anyRow = true;
    }
    if (in.bad()) {
        error = source + ": cannot be read";
        return std::nullopt;
    }
    return profile;
}

std::optional<ModemProfile> LoadProfile(const std::string& path, std::string& error) {
    std::ifstream file(path);
    if (!file) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    return ReadProfile(file, path, error);
}

}  // namespace ModemSim
