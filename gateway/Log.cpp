#include "Log.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace Tarvikd {

void Log(Level level, const std::string& text) {
    static const bool journal = std::getenv("JOURNAL_STREAM") != nullptr;
    static std::mutex lock;
    std::lock_guard hold(lock);
    if (journal) {
        std::fprintf(stderr, "<%d>%s\n", static_cast<int>(level), text.c_str());
    } else {
        std::fprintf(stderr, "tarvikd: %s\n", text.c_str());
    }
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace Tarvikd
