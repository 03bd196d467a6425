// Log lines on standard error; under the journal each carries its priority as <N>.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace Tarvikd {

enum class Level { Error = 3, Warning = 4, Info = 6, Debug = 7 };

void Log(Level level, const std::string& text);

// Runs `call` on the store; false, its failure logged, when it throws.
template <typename Call>
bool StoreCall(Call&& call) {
    try {
        call();
        return true;
    } catch (const std::exception& e) {
        Log(Level::Error, std::string("store: ") + e.what());
        return false;
    }
}

// Milliseconds since the epoch, the store's time.
int64_t NowMs();

}  // namespace Tarvikd
