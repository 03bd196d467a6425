// Which other programs hold a serial device open, so that a port that will not open can
// say who has it (on a desktop, often a modem manager probing new ttys).
#pragma once

#include <string>

namespace TarvikCli {

// When another program keeps `devicePath` to itself (locked or exclusive): "name (pid N)"
// for each other process that has it open, joined by ", ". Empty otherwise, or when the
// system cannot tell.
std::string PortHolders(const std::string& devicePath);

}  // namespace TarvikCli
