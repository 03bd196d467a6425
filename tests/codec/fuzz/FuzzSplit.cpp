#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "codec/Listing.h"

// The first byte picks the delimiter's length (1 to 3) from the bytes after it; the pieces
// joined with the delimiter must give the text back.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t length = std::min<std::size_t>(1 + data[0] % 3, input.size());
    const std::string_view delimiter = input.substr(0, length);
    const std::string_view text = input.substr(length);
    const auto pieces = GSM::Split(text, delimiter);
    std::string joined;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        joined += (i == 0 ? "" : std::string(delimiter)) + pieces[i];
    }
    if (pieces.empty() || joined != text) {
        std::abort();
    }
    return 0;
}
