// The frames between a simulated port in a Windows program and the relay on the host that
// owns its pseudo-terminal: a kind byte, a 4-byte big-endian length, the payload.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ModemSim::Relay {

enum Kind : char {
    kOpen = 'O',     // to the relay: the port number; back: the device path
    kRefused = 'E',  // back: why the pseudo-terminal or its link could not be made
    kData = 'D',     // bytes on the line, either way
    kPause = 'P',    // to the relay: "1" stops reading the line, "0" reads again
    kSpeed = 'S',    // to the relay: empty; back: the rate the far end set, in decimal
};

struct Frame {
    char kind;
    std::string payload;
};

inline std::string Encode(char kind, std::string_view payload) {
    std::string frame(1, kind);
    const auto size = static_cast<std::uint32_t>(payload.size());
    for (int shift = 24; shift >= 0; shift -= 8) {
        frame.push_back(static_cast<char>((size >> shift) & 0xFF));
    }
    frame.append(payload);
    return frame;
}

// Takes the first whole frame off the front of `buffer`, if there is one.
inline std::optional<Frame> TakeFrame(std::string& buffer) {
    if (buffer.size() < 5) {
        return std::nullopt;
    }
    std::uint32_t size = 0;
    for (int i = 1; i <= 4; ++i) {
        size = (size << 8) | static_cast<unsigned char>(buffer[static_cast<std::size_t>(i)]);
    }
    if (buffer.size() < 5 + static_cast<std::size_t>(size)) {
        return std::nullopt;
    }
    Frame frame{buffer[0], buffer.substr(5, size)};
    buffer.erase(0, 5 + static_cast<std::size_t>(size));
    return frame;
}

}  // namespace ModemSim::Relay
