#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "codec/Unsolicited.h"

// Stripping never adds bytes, and what it leaves holds no complete line of the modem's own:
// stripping again changes nothing. The first byte chooses whether entry bodies stay.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool bodies = (data[0] & 1) != 0;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const auto once = GSM::StripUnsolicited(text, {"+CMGL:"}, bodies);
    if (once.text.size() > text.size() || (once.text.size() < text.size()) != once.removed) {
        std::abort();
    }
    if (!bodies && GSM::StripUnsolicited(once.text, {"+CMGL:"}).text != once.text) {
        std::abort();
    }
    return 0;
}
