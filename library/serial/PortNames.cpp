#include "serial/PortNames.h"

#include <sys/stat.h>

#include <cstdlib>

namespace serial {

namespace {

struct DefaultRange {
    int firstPort;
    const char* prefix;
};

// Each range covers 32 ports.
constexpr DefaultRange kDefaultRanges[] = {
    {1, "/dev/ttyS"},
    {33, "/dev/ttyUSB"},
    {65, "/dev/ttyACM"},
};
constexpr int kRangeSize = 32;

bool EntryExists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;  // follows a symbolic link to its device
}

}  // namespace

std::string DefaultPortDevice(int port) {
    for (const auto& range : kDefaultRanges) {
        if (port >= range.firstPort && port < range.firstPort + kRangeSize) {
            return range.prefix + std::to_string(port - range.firstPort);
        }
    }
    return {};
}

std::string PortDevicePath(int port) {
    if (port < kFirstPort || port > kLastPort) {
        return {};
    }
    const char* dir = std::getenv(kPortDirVariable);
    if (dir != nullptr && *dir != '\0') {
        std::string entry = std::string(dir) + "/COM" + std::to_string(port);
        if (EntryExists(entry)) {
            return entry;
        }
    }
    return DefaultPortDevice(port);
}

}  // namespace serial
