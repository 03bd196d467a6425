#include "Messages.h"

#include <cctype>
#include <charconv>
#include <ctime>

#include "LocalTime.h"

namespace ModemSim {

const char* StatusText(MessageStatus status) {
    switch (status) {
        case MessageStatus::ReceivedUnread:
            return "REC UNREAD";
        case MessageStatus::ReceivedRead:
            return "REC READ";
        case MessageStatus::StoredUnsent:
            return "STO UNSENT";
        case MessageStatus::StoredSent:
            return "STO SENT";
    }
    return "";
}

MessageTime TimeNow() {
    const LocalTime now = LocalTimeNow();
    const std::tm& local = now.fields;
    MessageTime t;
    t.year = local.tm_year % 100;
    t.month = local.tm_mon + 1;
    t.day = local.tm_mday;
    t.hour = local.tm_hour;
    t.minute = local.tm_min;
    t.second = local.tm_sec;
    t.zoneQuarters = static_cast<int>(now.offsetSeconds / 900);
    return t;
}

std::string ToHex(std::string_view octets) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(octets.size() * 2);
    for (char c : octets) {
        const auto octet = static_cast<unsigned char>(c);
        hex.push_back(kDigits[octet >> 4]);
        hex.push_back(kDigits[octet & 0x0F]);
    }
    return hex;
}

std::optional<std::vector<uint8_t>> FromHex(std::string_view hex) {
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<uint8_t> octets(hex.size() / 2);
    for (std::size_t i = 0; i < octets.size(); ++i) {
        const char* pair = hex.data() + 2 * i;
        if (!std::isxdigit(static_cast<unsigned char>(pair[0])) ||
            std::from_chars(pair, pair + 2, octets[i], 16).ptr != pair + 2) {
            return std::nullopt;
        }
    }
    return octets;
}

}  // namespace ModemSim
