// The serial ports the system has registered.
#pragma once

#include <string>
#include <vector>

// The port names of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM in the registry's order, UTF-8. A
// name needs at most five characters (its data fits 6 bytes with the terminator); longer,
// empty or unterminated ones are left out. Empty when the key is missing or holds none.
std::vector<std::string> RegisteredSerialPorts();
