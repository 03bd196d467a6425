#include <cstdint>
#include <string_view>

#include "FieldCheck.h"
#include "codec/Listing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    GSM::MsgRecord record = CodecFuzz::Dirty();
    if (GSM::ParseUcs2ListEntry(std::string_view(reinterpret_cast<const char*>(data), size),
                                record)) {
        CodecFuzz::RequireTerminated(record);
    }
    return 0;
}
