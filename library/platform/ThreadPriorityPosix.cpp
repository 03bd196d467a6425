#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/ThreadPriority.h"

namespace NorvaneBase32 {

void SetCurrentThreadPriority(int32_t priority) {
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), priority);
}

}  // namespace NorvaneBase32
