#include <glob.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "PortScan.h"

namespace TarvikCli {

namespace {

std::string Resolved(const std::string& path) {
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), std::free);
    return real ? std::string(real.get()) : std::string();
}

std::vector<std::string> Matching(const char* pattern) {
    glob_t found{};
    std::vector<std::string> paths;
    if (::glob(pattern, 0, nullptr, &found) == 0) {
        paths.assign(found.gl_pathv, found.gl_pathv + found.gl_pathc);
    }
    ::globfree(&found);
    return paths;
}

// The kernel makes a ttyS for every possible legacy port; only those with a port type
// have hardware behind them.
bool HasHardware(const std::string& path) {
    const std::string name = path.substr(path.rfind('/') + 1);
    std::ifstream type("/sys/class/tty/" + name + "/type");
    std::string value;
    return !(type >> value) || value != "0";
}

}  // namespace

std::vector<SerialEntry> ScanSerialDevices(const std::vector<std::string>& extra,
                                           std::string& /*why*/) {
    std::vector<std::string> candidates = extra;
    for (const char* pattern : {"/dev/ttyUSB*", "/dev/ttyACM*", "/dev/ttyS*"}) {
        for (const std::string& path : Matching(pattern)) {
            if (path.rfind("/dev/ttyS", 0) != 0 || HasHardware(path)) {
                candidates.push_back(path);
            }
        }
    }
    std::vector<std::string> stable = Matching("/dev/serial/by-id/*");
    const std::vector<std::string> byPath = Matching("/dev/serial/by-path/*");
    stable.insert(stable.end(), byPath.begin(), byPath.end());

    std::vector<SerialEntry> entries;
    for (const std::string& path : candidates) {
        SerialEntry entry{path, Resolved(path), {}};
        const bool seen = std::any_of(entries.begin(), entries.end(), [&](const SerialEntry& e) {
            return !entry.device.empty() && e.device == entry.device;
        });
        if (seen) {
            continue;
        }
        for (const std::string& link : stable) {
            if (!entry.device.empty() && Resolved(link) == entry.device) {
                entry.links.push_back(link);
            }
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

}  // namespace TarvikCli
