// What every fuzz target asserts of a record after a parse: each text field is terminated
// inside its own size, whatever the input was.
#pragma once

#include <cstdlib>
#include <cstring>

#include "service/MsgRecord.h"

namespace CodecFuzz {

template <std::size_t N>
void RequireTerminated(const char (&field)[N]) {
    if (std::memchr(field, '\0', N) == nullptr) {
        std::abort();
    }
}

inline void RequireTerminated(const GSM::MsgRecord& record) {
    RequireTerminated(record.serviceCentre);
    RequireTerminated(record.number);
    RequireTerminated(record.timestamp);
    RequireTerminated(record.text);
}

// A record full of non-NUL bytes, so that a field the parser forgets shows.
inline GSM::MsgRecord Dirty() {
    GSM::MsgRecord record;
    std::memset(&record, 'x', sizeof record);
    return record;
}

}  // namespace CodecFuzz
