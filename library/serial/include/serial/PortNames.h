// Port numbers to device paths. One table for the library and the test program alike.
#pragma once

#include <string>

namespace serial {

inline constexpr int kFirstPort = 1;
inline constexpr int kLastPort = 1024;
// Names the folder whose entries COM<n> override the default table.
inline constexpr const char* kPortDirVariable = "TARVIK_PORT_DIR";

// The default device of port n: COM1-32 ttyS0-31, COM33-64 ttyUSB0-31, COM65-96
// ttyACM0-31. Empty for every other number.
std::string DefaultPortDevice(int port);

// The device that port n opens: the entry COM<n> of $TARVIK_PORT_DIR when it exists, else
// the default device. Empty when the number has no device.
std::string PortDevicePath(int port);

}  // namespace serial
