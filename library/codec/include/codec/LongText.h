// A text longer than one short message, cut into the parts of one concatenated message and
// each part's SMS-SUBMIT unit (3GPP TS 23.040 9.2.3.24.1, TS 23.038).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "codec/MessageRecord.h"

namespace GSM {

// Room for text in a part behind an 8-bit concatenation element, and in a message of one part.
inline constexpr std::size_t kConcatSeptets = 153;
inline constexpr std::size_t kConcatUcs2Units = 67;
inline constexpr std::size_t kSingleSeptets = 160;
inline constexpr std::size_t kSingleUcs2Units = 70;

// The parts of a text: in the GSM alphabet when `gsm` (an escape pair counts two septets and
// stays whole), else in UCS2 (neither a surrogate pair nor a grapheme cluster such as a flag,
// a joined emoji or a letter with its combining marks is cut, unless the cluster alone is
// longer than a part). One part, with no header, when the whole text fits one message.
std::vector<std::u16string> SplitLongText(std::u16string_view units, bool gsm);

// The SMS-SUBMIT unit of one part, as upper-case hex text, service-centre part first (as
// BuildSubmitPdu writes it); `concat` adds the 8-bit concatenation element. Empty when a
// number is not digits, "*" and "#", or the text does not fit one part.
struct SubmitUnit {
    std::string_view serviceCentre;
    bool serviceCentreInternational = true;
    std::string_view number;
    uint8_t protocolId = 0;
    std::u16string_view text;
    bool gsm = true;
    std::optional<ConcatHeader> concat;
    bool statusReport = false;  // ask for a delivery report
};
std::string BuildLongSubmitPdu(const SubmitUnit& unit);

}  // namespace GSM
