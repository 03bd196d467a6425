// A received message and a submission report as the library hands them out.
#pragma once

#include <cstring>

#include "Tarvik.h"

namespace stub_records {

template <std::size_t N>
void Put(char (&field)[N], const char* text) {
    std::strncpy(field, text, N - 1);
}

}  // namespace stub_records

inline RecvMsg Message(const char* timestamp, const char* number, const char* text) {
    RecvMsg message{};
    stub_records::Put(message.timestamp, timestamp);
    stub_records::Put(message.number, number);
    stub_records::Put(message.text, text);
    return message;
}

inline SendReport Report(int32_t result, const char* number, const char* text) {
    SendReport report{};
    report.result = result;
    stub_records::Put(report.number, number);
    stub_records::Put(report.text, text);
    return report;
}
