#include "service/Joiner.h"

#include <algorithm>

#include "codec/Fields.h"
#include "codec/MessageKey.h"
#include "codec/Text.h"
#include "service/InboxJournal.h"

namespace Tarvik {

namespace {

constexpr std::chrono::milliseconds kLatePartWait = std::chrono::hours(24);

// The digits of a number and whether it was written with its country code.
struct Digits {
    std::string digits;
    bool international = false;
};

std::optional<Digits> DigitsOf(std::string_view number) {
    Digits out;
    if (number.starts_with('+')) {
        number.remove_prefix(1);
        out.international = true;
    } else if (number.starts_with("00")) {
        number.remove_prefix(2);
        out.international = true;
    }
    if (number.empty() || number.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    out.digits = number;
    return out;
}

// A part of its own: no element, or one that no set can hold.
bool StandsAlone(const ReceivedPart& part) {
    const auto& concat = part.concat;
    return !concat || concat->count <= 1 || concat->number == 0 || concat->number > concat->count;
}

JoinedMessage Single(const ReceivedPart& part) {
    JoinedMessage message;
    message.key = PartKey(part);
    message.first = part.message;
    message.sender = SenderOf(part);
    message.text = GSM::Fields::View(part.message.text);
    message.partKeys = {message.key};
    return message;
}

}  // namespace

bool SameSender(const std::string& one, const std::string& other) {
    if (one == other) {
        return true;
    }
    const auto a = DigitsOf(one);
    const auto b = DigitsOf(other);
    if (!a || !b) {
        return false;  // an alphanumeric sender is only ever itself
    }
    if (a->international == b->international) {
        return a->digits == b->digits;
    }
    const std::string& full = a->international ? a->digits : b->digits;
    const std::string& local = a->international ? b->digits : a->digits;
    // The national form drops the country code (1 to 3 digits) and may add a trunk "0".
    const std::string national = local.substr(std::min(local.find_first_not_of('0'), local.size()));
    return national.size() >= 6 && full.size() > national.size() &&
           full.size() - national.size() <= 3 && full.ends_with(national);
}

CJoiner::Set* CJoiner::Find(const ReceivedPart& part, const std::string& sender,
                            const std::string& modem) {
    const ConcatHeader& concat = *part.concat;
    const std::string key = PartKey(part);
    for (Set& set : sets_) {
        if (set.modem != modem || set.concat.wideReference != concat.wideReference ||
            set.concat.reference != concat.reference || set.concat.count != concat.count ||
            !SameSender(set.sender, sender)) {
            continue;
        }
        const bool seen = std::find(set.keys.begin(), set.keys.end(), key) != set.keys.end();
        // A finished set takes only copies of its own parts; anything else is a new set
        // that uses the reference again.
        if (set.state != Set::State::Finished || seen) {
            return &set;
        }
    }
    return nullptr;
}

CJoiner::Set& CJoiner::Open(const ReceivedPart& part, const std::string& sender,
                            const std::string& modem, Clock::time_point now) {
    Set set;
    set.modem = modem;
    set.sender = sender;
    set.concat = *part.concat;
    set.parts.resize(set.concat.count);
    set.since = now;
    // Named by what every part of it shares, and by its first part's time, so that the
    // reference used again another day makes another key.
    const std::string what = modem + '\x1F' + (set.concat.wideReference ? "16:" : "8:") +
                             std::to_string(set.concat.reference) + ':' +
                             std::to_string(set.concat.count);
    set.key = GSM::MessageKey(sender, GSM::Fields::View(part.message.timestamp), what);
    sets_.push_back(std::move(set));
    return sets_.back();
}

bool CJoiner::Whole(const Set& set) {
    return std::all_of(set.parts.begin(), set.parts.end(),
                       [](const ReceivedPart& part) { return part.concat.has_value(); });
}

namespace {

// Septets through the GSM alphabet; an escape and its character are one, whichever parts
// they came in.
std::string SeptetsToLocal(std::u16string_view septets) {
    std::vector<uint8_t> codes;
    codes.reserve(septets.size());
    for (const char16_t septet : septets) {
        codes.push_back(static_cast<uint8_t>(septet & 0x7F));
    }
    // No GSM character takes more than four bytes in any local code page.
    std::string text(4 * codes.size() + 1, '\0');
    text.resize(GSM::GsmToLocal(codes, text));
    return text;
}

}  // namespace

JoinedMessage CJoiner::Joined(const Set& set) {
    JoinedMessage message;
    message.key = set.key;
    message.parts = set.concat.count;
    message.partKeys = set.keys;
    bool firstFound = false;
    // Parts of one coding in a row, decoded together: UCS2 units, or 7-bit septets.
    std::u16string units;
    bool septets = false;
    const auto flush = [&] {
        message.text += septets ? SeptetsToLocal(units) : GSM::Utf16ToLocal(units);
        units.clear();
    };
    for (std::size_t i = 0; i < set.parts.size(); ++i) {
        const ReceivedPart& part = set.parts[i];
        if (!part.concat) {
            flush();  // never a pair across a gap
            message.missing.push_back(static_cast<int>(i + 1));
            continue;
        }
        if (!firstFound) {
            message.first = part.message;
            message.sender = SenderOf(part);
            firstFound = true;
        }
        if (!part.units.empty()) {
            if (part.septets != septets) {
                flush();
                septets = part.septets;
            }
            units += part.units;
        } else {
            flush();
            message.text += GSM::Fields::View(part.message.text);
        }
    }
    flush();
    return message;
}

std::vector<JoinedMessage> CJoiner::Add(const ReceivedPart& part, Clock::time_point now,
                                        const std::string& modem) {
    if (StandsAlone(part)) {
        return {Single(part)};
    }
    const std::string sender = SenderOf(part);
    Set* found = Find(part, sender, modem);
    Set& set = found != nullptr ? *found : Open(part, sender, modem, now);
    const std::string key = PartKey(part);
    if (std::find(set.keys.begin(), set.keys.end(), key) != set.keys.end()) {
        // Listed again after a deletion that failed.
        if (set.state != Set::State::Waiting) {
            spent_.push_back(key);
        }
        return {};
    }
    set.keys.push_back(key);
    ReceivedPart& slot = set.parts[part.concat->number - 1u];
    if (!slot.concat) {
        slot = part;  // a second copy of a part under another key keeps the first
    }
    if (set.state == Set::State::Waiting && !Whole(set)) {
        return {};
    }
    set.state = Whole(set) ? Set::State::Finished : Set::State::Delivered;
    set.since = now;
    return {Joined(set)};
}

std::vector<JoinedMessage> CJoiner::Expire(Clock::time_point now) {
    std::vector<JoinedMessage> due;
    for (Set& set : sets_) {
        if (set.state == Set::State::Waiting && now - set.since >= timeout_) {
            set.state = Set::State::Delivered;
            set.since = now;
            due.push_back(Joined(set));
        }
    }
    // A delivered set waits a day at least for a late part, a finished one as long as
    // the time-out for copies.
    std::erase_if(sets_, [&](const Set& set) {
        const auto wait = set.state == Set::State::Delivered
                              ? std::max<std::chrono::milliseconds>(timeout_, kLatePartWait)
                              : timeout_;
        const bool over = set.state != Set::State::Waiting && now - set.since >= wait;
        if (over && set.state == Set::State::Delivered) {
            forgotten_.push_back(set.key);
        }
        return over;
    });
    return due;
}

std::vector<JoinedMessage> CJoiner::Flush() {
    std::vector<JoinedMessage> held;
    for (Set& set : sets_) {
        if (set.state == Set::State::Waiting) {
            set.state = Set::State::Delivered;
            held.push_back(Joined(set));
        }
    }
    return held;
}

std::size_t CJoiner::Waiting() const {
    return static_cast<std::size_t>(std::count_if(sets_.begin(), sets_.end(), [](const Set& set) {
        return set.state == Set::State::Waiting;
    }));
}

}  // namespace Tarvik
