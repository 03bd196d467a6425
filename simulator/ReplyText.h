// The pieces every room of the modem answers with: result lines and the parsing of command
// arguments.
#pragma once

#include <charconv>
#include <optional>
#include <string>
#include <string_view>

namespace ModemSim {

inline const std::string kOk = "OK";
inline const std::string kError = "ERROR";
inline constexpr char kCtrlZ = '\x1A';
inline constexpr char kEsc = '\x1B';

inline bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

inline std::string Line(const std::string& text) {
    return "\r\n" + text + "\r\n";
}

// A line the modem sends on its own. One that brings its own framing (some modules end
// status lines with bare line feeds: "\n+CREG: 1\n") goes as it is given.
inline std::string StatusLine(const std::string& text) {
    return !text.empty() && (text.front() == '\n' || text.front() == '\r') ? text : Line(text);
}

// A whole number that fills `text`, nothing else.
inline std::optional<int> WholeNumber(std::string_view text) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

}  // namespace ModemSim
