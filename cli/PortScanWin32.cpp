#include "PortScan.h"

namespace TarvikCli {

std::vector<SerialEntry> ScanSerialDevices(const std::vector<std::string>&, std::string& why) {
    why = "listing ports is not supported on Windows: the Device Manager lists the COM ports";
    return {};
}

}  // namespace TarvikCli
