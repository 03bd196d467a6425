#include <dlfcn.h>
#include <cstdlib>

#include "TarvikLibrary.h"

namespace {

// The base name Tarvik as the platform spells its file; the versioned name serves an
// installation that carries no development link.
const char* const kFileNames[] = {"libTarvik.so", "libTarvik.so.1"};

void* Open(const std::string& file) {
    return ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

CTarvikLibrary::CTarvikLibrary(const std::string& ownFolder) {
    if (!ownFolder.empty()) {
        for (const char* name : kFileNames) {
            handle_ = Open(ownFolder + '/' + name);
            if (handle_ != nullptr) {
                return;
            }
        }
    }
    for (const char* name : kFileNames) {
        handle_ = Open(name);
        if (handle_ != nullptr) {
            return;
        }
    }
}

void* CTarvikLibrary::Symbol(const char* name) const {
    return handle_ != nullptr ? ::dlsym(handle_, name) : nullptr;
}

// The library's local code page is UTF-8 here.
std::string CTarvikLibrary::ToLocal(std::string_view utf8) {
    return std::string(utf8);
}

std::string CTarvikLibrary::FromLocal(std::string_view local) {
    return std::string(local);
}

void CTarvikLibrary::SetEnvironment(const char* name, const char* value) {
    ::setenv(name, value, 1);
}
