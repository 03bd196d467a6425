#include "TarvikLibrary.h"

#include <dlfcn.h>

namespace {

// The base name Tarvik as the platform spells its file; the versioned name serves an
// installation that carries no development link.
const char* const kFileNames[] = {"libTarvik.so", "libTarvik.so.1"};

void* Open(const QByteArray& file) {
    return ::dlopen(file.constData(), RTLD_NOW | RTLD_LOCAL);
}

}  // namespace

CTarvikLibrary::CTarvikLibrary(const QString& ownFolder) {
    if (!ownFolder.isEmpty()) {
        for (const char* name : kFileNames) {
            handle_ = Open(QString(ownFolder + '/' + QLatin1String(name)).toLocal8Bit());
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
