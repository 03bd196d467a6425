// The process environment as the caller set it, read through the platform's own call: a
// caller on Windows sets it with the system's function, not the C runtime's copy.
#pragma once

#include <string>

namespace platform {

// The value of `name`; empty when it is not set.
std::string EnvironmentValue(const char* name);

}  // namespace platform
