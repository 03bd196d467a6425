#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "FieldCheck.h"
#include "codec/Pdu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    GSM::MsgRecord record = CodecFuzz::Dirty();
    const auto result =
        GSM::ParseDeliverPdu(std::string_view(reinterpret_cast<const char*>(data), size), record);
    CodecFuzz::RequireTerminated(record);
    if (result.textLength >= sizeof record.text || (!result.parsed && result.textLength != 0)) {
        std::abort();
    }
    return 0;
}
