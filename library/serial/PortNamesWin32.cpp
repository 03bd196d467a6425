#include "serial/PortNames.h"

namespace serial {

// On Windows a port number is its device name; the system numbers its ports itself.
std::string DefaultPortDevice(int port) {
    if (port < kFirstPort || port > kLastPort) {
        return {};
    }
    return "\\\\.\\COM" + std::to_string(port);
}

std::string PortDevicePath(int port) {
    return DefaultPortDevice(port);
}

}  // namespace serial
