#include <cstdlib>

#include "platform/Environment.h"

namespace platform {

std::string EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

}  // namespace platform
