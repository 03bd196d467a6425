// The cutting of one outgoing text into parts that each fit one short message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
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

// A text cut for the project's own programs: one concatenated message where the model can
// carry the header and the caller asks for it, else as CutMessage cuts it.
struct LongCut {
    std::vector<OutgoingPart> parts;  // each part's reference left for the sender to give
    bool concatenated = false;
    std::string refusal;    // why nothing is to be queued; parts empty
    bool unusable = false;  // refused as CutMessage refuses, not for its length
};
struct LongOptions {
    bool concatenate = true;
    bool statusReport = false;  // ask for a delivery report of every part
    std::size_t maxParts = 10;  // 0: no limit but the queue's
};
LongCut CutLongMessage(const char* text, const char* number, const char* prefix, int32_t modelCode,
                       std::string_view serviceCentre, bool serviceCentreInternational,
                       const LongOptions& options);

// Whether `text` must go as UCS2 on a modem of `modelCode`: the plain alphabet has exactly
// the printable ASCII characters that survive the submission's mapping.
bool NeedsUcs2(std::string_view text, int32_t modelCode);

}  // namespace GSM
