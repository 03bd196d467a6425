#include "PortProbe.h"

#include "PortHolder.h"
#include "serial/CSXCom.h"

namespace TarvikCli {

namespace {

// A device is asked only briefly: a tty with nothing behind it must not hold up the list.
constexpr int kProbeFirstByteMs = 800;
constexpr int kProbeGapMs = 150;

}  // namespace

std::string Ask(CSXCom& com, const std::string& command) {
    const std::string line = command + "\r\n";
    com.Write(line.data(), static_cast<int>(line.size()));
    char reply[1024] = {};
    const int count = com.Read(reply, sizeof reply - 1, BurstRule::Quiet);
    return std::string(reply, count > 0 ? static_cast<std::size_t>(count) : 0);
}

Probe ProbeDevice(const std::string& path, int baud,
                  const std::function<void(CSXCom&, Probe&)>& more) {
    Probe probe;
    // Another program's port is not touched: a modem manager in the middle of its own
    // dialogue would take our bytes for answers.
    probe.heldBy = PortHolders(path);
    if (!probe.heldBy.empty()) {
        return probe;
    }
    CSXCom com;
    serial::SerialTiming timing = serial::kDefaultTiming;
    timing.firstByteWaitMs = kProbeFirstByteMs;
    timing.burstGapMs = kProbeGapMs;
    com.SetTiming(timing);
    probe.opened = com.OpenDevice(path, baud) == 1;
    if (probe.opened) {
        // Twice: a modem that slept through the first AT wakes on it.
        for (int attempt = 0; attempt < 2 && !probe.answers; ++attempt) {
            probe.answers = Ask(com, "AT").find("OK") != std::string::npos;
        }
        if (probe.answers && more) {
            more(com, probe);
        }
    }
    com.Close();
    return probe;
}

}  // namespace TarvikCli
