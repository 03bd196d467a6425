// A profile read from a plain-text file, one row a line, so that a modem seen in the field
// can be simulated without building anything. The format is in simulator/PROFILES.md.
#pragma once

#include <istream>
#include <optional>
#include <string>

#include "Profiles.h"

namespace ModemSim {

// The profile the rows of `in` describe; none, with `error` naming `source` and the line,
// when a row cannot be used.
std::optional<ModemProfile> ReadProfile(std::istream& in, const std::string& source,
                                        std::string& error);
// The same for the file at `path`.
std::optional<ModemProfile> LoadProfile(const std::string& path, std::string& error);

}  // namespace ModemSim
