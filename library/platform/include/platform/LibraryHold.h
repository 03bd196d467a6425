// Keeps the library's own code loaded while its worker runs in it: a caller that unloads
// the library without a stop must not unmap the code under a running thread.
#pragma once

namespace platform {

// Taken before the worker starts; false when the library cannot hold itself.
bool HoldLibrary();
// Given back once the worker has ended.
void ReleaseLibrary();

}  // namespace platform
