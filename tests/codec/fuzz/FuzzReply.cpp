#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "codec/Listing.h"
#include "codec/Reply.h"

// What the reply functions promise whatever the modem sent: the classifier's two
// precedences differ only where both words appear, the service centre is digits and a NUL
// inside its field, the identity is a run of digits taken from the reply, and an entry is
// framed from bytes that stand in the text in order.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const GSM::ReplyKind okFirst = GSM::ClassifyReply(text);
    const GSM::ReplyKind errorFirst = GSM::ClassifyReply(text, GSM::Precedence::ErrorFirst);
    if (okFirst != errorFirst &&
        (okFirst != GSM::ReplyKind::Ok || errorFirst != GSM::ReplyKind::Error)) {
        std::abort();
    }
    std::array<char, 64> number;
    number.fill('x');
    bool international = false;
    // The engine hands a reply over as terminated text, as its buffer holds it.
    const std::string_view terminated = text.substr(0, text.find('\0'));
    if (GSM::ParseServiceCentre(terminated, number, &international)) {
        const std::string_view digits(number.data());
        if (digits.empty() || digits.size() >= number.size() || number.back() != '\0') {
            std::abort();
        }
    }
    const std::string_view identity = GSM::SubscriberIdentity(text);
    if (!identity.empty() &&
        (identity.size() < 5 || text.find(identity) == std::string_view::npos ||
         identity.find_first_not_of("0123456789") != std::string_view::npos)) {
        std::abort();
    }
    for (std::string_view headerEnd : {"\r\n", "\r\n\r\n"}) {
        const std::size_t at = text.find("+CMGL:");
        if (at == std::string_view::npos) {
            break;
        }
        const auto entry = GSM::FrameEntry(text, at, 6, headerEnd);
        if (entry && text.substr(at, entry->end - at) != std::string(entry->header) +
                                                             std::string(headerEnd) +
                                                             std::string(entry->body) + "\r\n") {
            std::abort();
        }
    }
    return 0;
}
