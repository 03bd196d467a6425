#include <windows.h>

#include <atomic>

#include "platform/LibraryHold.h"

namespace platform {

namespace {

// One hold at most: a start holds, the stop that ends its worker lets go.
std::atomic<HMODULE> held{nullptr};

}  // namespace

bool HoldLibrary() {
    if (held.load() != nullptr) {
        return true;
    }
    HMODULE self = nullptr;
    // A reference of the library's own, counted like a caller's LoadLibrary.
    if (!::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                              reinterpret_cast<LPCSTR>(&HoldLibrary), &self)) {
        return false;
    }
    HMODULE expected = nullptr;
    if (!held.compare_exchange_strong(expected, self)) {
        ::FreeLibrary(self);
    }
    return true;
}

void ReleaseLibrary() {
    // The caller of the stop runs in the library too and holds it loaded: this cannot be the
    // last reference while code of ours still runs.
    if (HMODULE self = held.exchange(nullptr)) {
        ::FreeLibrary(self);
    }
}

}  // namespace platform
