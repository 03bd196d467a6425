// Sets the priority of the calling thread; each platform has a file of its own.
#pragma once

#include <cstdint>

namespace NorvaneBase32 {

// `priority` in the POSIX nice sense: 0 normal, negative higher, positive lower.
void SetCurrentThreadPriority(int32_t priority);

}  // namespace NorvaneBase32
