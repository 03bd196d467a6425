// The stable key of a received message, the one definition that the inbox journal, `tarvik
// serve` and its acknowledgements share: 16 hex digits of a 64-bit FNV-1a hash over number,
// time and text, each followed by 0x1F.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace GSM {

inline std::string MessageKey(std::string_view number, std::string_view time,
                              std::string_view text) {
    uint64_t hash = 14695981039346656037ULL;
    for (const std::string_view field : {number, time, text}) {
        for (const char c : field) {
            hash ^= static_cast<unsigned char>(c);
            hash *= 1099511628211ULL;
        }
        // A separator no field holds, so that moving bytes between fields changes the key.
        hash ^= 0x1F;
        hash *= 1099511628211ULL;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string key(16, '0');
    for (std::size_t i = 0; i < 16; ++i) {
        key[15 - i] = kHex[(hash >> (4 * i)) & 0x0F];
    }
    return key;
}

}  // namespace GSM
