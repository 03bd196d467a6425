// A profile read from a plain-text file, one row a line, so that a modem seen in the field
// can be simulated without building anything. The format is in simulator/PROFILES.md.
#pragma once

#include <istream>
#include <optional>
#include <string>
#include <string_view>

#include "Profiles.h"

namespace ModemSim {

// The text of a value in double quotes, with the escapes \r \n \t \" \\, \xHH and up to
// three octal digits (as strace shows the bytes of a dialogue); none, with the reason, when
// it does not close, goes on after the closing quote or holds an unknown escape.
std::optional<std::string> Unquote(std::string_view quoted, std::string& reason);

// The profile the rows of `in` describe; none, with `error` naming `source` and the line,
// when a row cannot be used.
std::optional<ModemProfile> ReadProfile(std::istream& in, const std::string& source,
                                        std::string& error);
// The same for the file at `path`.
std::optional<ModemProfile> LoadProfile(const std::string& path, std::string& error);

}  // namespace ModemSim
