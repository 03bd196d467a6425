// What the engine fuzzers assert after every operation, whatever the modem sent.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/ProcessState.h"
#include "service/MsgRecord.h"

namespace EngineFuzz {

inline void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

template <std::size_t N>
void RequireTerminated(const char (&field)[N], const char* what) {
    Require(std::memchr(field, '\0', N) != nullptr, what);
}

inline void RequireTerminated(const GSM::MsgRecord& record) {
    RequireTerminated(record.serviceCentre, "record.serviceCentre terminated");
    RequireTerminated(record.number, "record.number terminated");
    RequireTerminated(record.timestamp, "record.timestamp terminated");
    RequireTerminated(record.text, "record.text terminated");
}

// A record full of non-NUL bytes, so that a field the engine forgets shows.
inline void Dirty(GSM::MsgRecord& record) {
    std::memset(&record, 'x', sizeof record);
}

inline void RequireLastErrorInRange() {
    char text[GSM::kLastErrorCapacity];
    const int32_t length = GSM::CopyLastError(text);
    Require(length >= 0 && length < GSM::kLastErrorCapacity, "last-error length in 0..1023");
}

}  // namespace EngineFuzz
