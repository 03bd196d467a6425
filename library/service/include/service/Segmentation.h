// The cutting of one outgoing text into parts that each fit one short message.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "service/MsgRecord.h"

namespace GSM {

// The parts of `text` for `number` behind `prefix` (may be null) on a modem of `modelCode`,
// in order, each carrying `serviceCentre` (and the form it came in) and tag 0. Empty when the input
// is unusable: a null or empty text, a number that is not digits after an optional "+", a prefix
// that is not digits, a destination over 29 characters, or more parts than a store can take.
std::vector<OutgoingPart> CutMessage(const char* text, const char* number, const char* prefix,
                                     int32_t modelCode, std::string_view serviceCentre,
                                     bool serviceCentreInternational = true);

// Whether `text` must go as UCS2 on a modem of `modelCode`: the plain alphabet has exactly
// the printable ASCII characters that survive the submission's mapping.
bool NeedsUcs2(std::string_view text, int32_t modelCode);

}  // namespace GSM
