#include <windows.h>

#include "platform/Environment.h"

namespace platform {

std::string EnvironmentValue(const char* name) {
    char value[64] = {};
    const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    // Too long or missing: no value this library reads is that long.
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

}  // namespace platform
