// Process-wide state that the engine writes and the exports read: the identified model and
// the text of the most recent failure.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace GSM {

// The model code of the attached module; 9 until the first identification.
inline constexpr int32_t kModelCodeAtLoad = 9;
extern std::atomic<int32_t> modelCode;

inline constexpr int kLastErrorCapacity = 1024;

// Replaces the last-error text (cut to 1023 bytes). Success never clears it.
void SetLastError(const char* text);
// The same for bytes that may hold NULs, such as a modem's reply taken as it came.
void SetLastError(const char* text, std::size_t length);
// Copies the text without a terminator into `out` (1024 bytes suffice; null copies nothing)
// and returns its length. Text and length always belong to the same failure.
int32_t CopyLastError(char* out);

}  // namespace GSM
