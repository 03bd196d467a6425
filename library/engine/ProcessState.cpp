#include "engine/ProcessState.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace GSM {

std::atomic<int32_t> modelCode{kModelCodeAtLoad};

namespace {

// The worker writes failures while callers read them on their own threads; one lock keeps
// the text and its length together.
std::mutex lastErrorLock;
char lastErrorText[kLastErrorCapacity] = {};
int32_t lastErrorLength = 0;

}  // namespace

void SetLastError(const char* text) {
    if (text == nullptr) {
        return;
    }
    SetLastError(text, ::strnlen(text, kLastErrorCapacity - 1));
}

void SetLastError(const char* text, std::size_t length) {
    length = std::min<std::size_t>(length, kLastErrorCapacity - 1);
    std::lock_guard lock(lastErrorLock);
    std::memcpy(lastErrorText, text, length);
    std::memset(lastErrorText + length, 0, kLastErrorCapacity - length);
    lastErrorLength = static_cast<int32_t>(length);
}

int32_t CopyLastError(char* out) {
    std::lock_guard lock(lastErrorLock);
    if (out != nullptr) {
        std::memcpy(out, lastErrorText, static_cast<std::size_t>(lastErrorLength));
    }
    return lastErrorLength;
}

}  // namespace GSM
