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

// Every key but "model" and "answer", which are read on their own.
const std::map<std::string, Field, std::less<>>& Fields() {
    static const std::map<std::string, Field, std::less<>> kFields = {
        {"echo", &ModemProfile::echo},
        {"baud-rate", &ModemProfile::baudRate},
        {"imsi", &ModemProfile::imsi},
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

// A value as the rest of a line holds it: in double quotes with the escapes \r \n \t \"
// \\ and \xHH, so that line ends and blanks at either end can be written; or bare, as it
// stands up to its last non-blank. False, with the reason, for a quoted value that does
// not close or holds an unknown escape.
bool ReadValue(std::string_view rest, std::string& value, std::string& reason) {
    rest = TrimFront(rest);
    while (!rest.empty() && IsBlank(rest.back())) {
        rest.remove_suffix(1);
    }
    if (rest.empty() || rest.front() != '"') {
        value = std::string(rest);
        return true;
    }
    value.clear();
    for (std::size_t i = 1; i < rest.size(); ++i) {
        const char c = rest[i];
        if (c == '"') {
            if (i + 1 != rest.size()) {
                reason = "text after the closing quote";
                return false;
            }
            return true;
        }
        if (c != '\\') {
            value += c;
            continue;
        }
        if (++i == rest.size()) {
            break;
        }
        switch (rest[i]) {
            case 'r':
                value += '\r';
                break;
            case 'n':
                value += '\n';
                break;
            case 't':
                value += '\t';
                break;
            case '"':
            case '\\':
                value += rest[i];
                break;
            case 'x': {
                const auto octet = FromHex(rest.substr(i + 1, 2));
                if (!octet || octet->size() != 1) {
                    reason = "\\x needs two hex digits";
                    return false;
                }
                value += static_cast<char>(octet->front());
                i += 2;
                break;
            }
            default:
                reason = std::string("unknown escape \\") + rest[i];
                return false;
        }
    }
    reason = "the quoted value does not close";
    return false;
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

std::optional<ModemProfile> ReadProfile(std::istream& in, const std::string& source,
                                        std::string& error) {
    ModemProfile profile;
    std::map<std::string, int, std::less<>> seen;  // key, or "answer COMMAND": its line
    bool anyRow = false;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const auto fail = [&](const std::string& reason) {
            error = source + ":" + std::to_string(number) + ": " + reason;
            return std::nullopt;
        };
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::string_view row = TrimFront(line);
        if (row.empty() || row.front() == '#') {
            continue;
        }
        const std::size_t keyEnd = std::min(row.find_first_of(" \t"), row.size());
        const std::string key(row.substr(0, keyEnd));
        std::string_view rest = row.substr(keyEnd);

        std::string slot = key;
        if (key == "answer") {
            rest = TrimFront(rest);
            const std::size_t commandEnd = std::min(rest.find_first_of(" \t"), rest.size());
            const std::string command(rest.substr(0, commandEnd));
            if (command.empty()) {
                return fail("answer needs a command line and its information text");
            }
            rest = rest.substr(commandEnd);
            slot += " " + command;
        }
        const auto field = Fields().find(key);
        if (key != "answer" && key != "model" && field == Fields().end()) {
            return fail("unknown key \"" + key + "\"");
        }
        const bool list = field != Fields().end() && std::holds_alternative<List>(field->second);
        const auto [earlier, first] = seen.emplace(slot, number);
        if (!first && !list) {
            return fail(slot + " is given twice (first on line " + std::to_string(earlier->second) +
                        ")");
        }

        std::string value;
        std::string reason;
        if (!ReadValue(rest, value, reason)) {
            return fail(reason);
        }
        if (key == "model") {
            // The built-in row of a model as the base: it must come first.
            if (anyRow) {
                return fail("model must be the first row");
            }
            auto known = KnownProfile(value);
            if (!known) {
                return fail("unknown model \"" + value + "\"; known: " + KnownModelNames());
            }
            profile = std::move(*known);
        } else if (key == "answer") {
            profile.identity[slot.substr(7)] = value;
        } else if (!Assign(profile, field->second, value, first, reason)) {
            return fail(key + ": " + reason);
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
