// Log lines on standard error; under the journal each carries its priority as <N>.
#pragma once

#include <cstdint>
#include <string>

namespace Tarvikd {

enum class Level { Error = 3, Warning = 4, Info = 6, Debug = 7 };

void Log(Level level, const std::string& text);

// Milliseconds since the epoch, the store's time.
int64_t NowMs();

}  // namespace Tarvikd
