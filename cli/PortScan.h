// The serial devices of the system, for `tarvik ports`: each with the stable links udev
// gives it.
#pragma once

#include <string>
#include <vector>

namespace TarvikCli {

struct SerialEntry {
    std::string path;                // as given, or as found under /dev
    std::string device;              // what it resolves to
    std::vector<std::string> links;  // the links under /dev/serial/by-id and by-path to it
};

// The paths in `extra` first, then every serial device the system has, each device once.
// Empty with `why` set where the system cannot be scanned.
std::vector<SerialEntry> ScanSerialDevices(const std::vector<std::string>& extra, std::string& why);

}  // namespace TarvikCli
