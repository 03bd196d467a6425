// Reading a record's fields the way a caller would: up to the NUL, which must be inside.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "service/MsgRecord.h"

namespace CodecTest {

template <std::size_t N>
std::string Field(const char (&field)[N]) {
    const void* end = std::memchr(field, '\0', N);
    EXPECT_NE(end, nullptr) << "field not terminated";
    return end == nullptr ? std::string(field, N)
                          : std::string(field, static_cast<const char*>(end) - field);
}

inline GSM::MsgRecord Cleared() {
    GSM::MsgRecord record;
    std::memset(&record, 0, sizeof record);
    return record;
}

}  // namespace CodecTest
