#include <windows.h>

#include "platform/ThreadPriority.h"

namespace NorvaneBase32 {

void SetCurrentThreadPriority(int32_t priority) {
    // Nice values mapped onto the thread priority levels: lower is more urgent.
    int level = THREAD_PRIORITY_NORMAL;
    if (priority <= -10) {
        level = THREAD_PRIORITY_HIGHEST;
    } else if (priority < 0) {
        level = THREAD_PRIORITY_ABOVE_NORMAL;
    } else if (priority >= 10) {
        level = THREAD_PRIORITY_LOWEST;
    } else if (priority > 0) {
        level = THREAD_PRIORITY_BELOW_NORMAL;
    }
    ::SetThreadPriority(::GetCurrentThread(), level);
}

}  // namespace NorvaneBase32
