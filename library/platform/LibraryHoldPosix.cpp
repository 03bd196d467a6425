#include "platform/LibraryHold.h"

namespace platform {

// dlclose runs the static destructors, which stop the service and end the worker before the
// code goes: nothing needs holding.
bool HoldLibrary() {
    return true;
}

void ReleaseLibrary() {}

}  // namespace platform
