// A message to the modem's own number comes back as the network would deliver it; a long
// text's parts, when asked, out of order, one lost or repeated, with listings between them.
#include <algorithm>
#include <random>

#include "Modem.h"
#include "ReplyText.h"

namespace ModemSim {

namespace {

struct ConcatElement {
    int reference = 0;
    int count = 0;
    int number = 0;
};

// The 8- or 16-bit concatenation element of a header (without its length octet).
std::optional<ConcatElement> FindConcat(const std::vector<uint8_t>& header) {
    for (std::size_t at = 0; at + 2 <= header.size();) {
        const uint8_t id = header[at];
        const std::size_t length = header[at + 1];
        if (at + 2 + length > header.size()) {
            return std::nullopt;
        }
        const uint8_t* data = header.data() + at + 2;
        if (id == 0x00 && length == 3) {
            return ConcatElement{data[0], data[1], data[2]};
        }
        if (id == 0x08 && length == 4) {
            return ConcatElement{data[0] << 8 | data[1], data[2], data[3]};
        }
        at += 2 + length;
    }
    return std::nullopt;
}

}  // namespace

void CModem::LoopBackLocked(const Submission& submission, Script& script) {
    StoredMessage received;
    received.number = profile_.ownNumber;
    received.time = TimeNow();
    received.text = submission.text;
    received.coding = submission.coding;
    // A part of a long text comes back as the part it was, header and all.
    received.header = submission.header;
    const auto concat = FindConcat(submission.header);
    const bool shaped = profile_.loopbackShuffle || profile_.loopbackLose > 0 ||
                        profile_.loopbackRepeat > 0 || profile_.loopbackGapListings > 0;
    if (!concat || !shaped) {
        const int index = StoreLocked(received);
        if (index >= 0 && profile_.indicateNewMessages) {
            script.push_back(
                Burst{Line("+CMTI: \"" + profile_.storageName + "\"," + std::to_string(index)), 0});
        }
        return;
    }
    auto& set = loopbackSets_[{concat->reference, concat->count}];
    set[concat->number] = received;
    if (static_cast<int>(set.size()) < concat->count) {
        return;
    }
    std::vector<int> order;
    for (const auto& [number, part] : set) {
        if (number != profile_.loopbackLose) {
            order.push_back(number);
        } else {
            loopbackLost_.push_back(part);
        }
        if (number == profile_.loopbackRepeat) {
            order.push_back(number);
        }
    }
    if (profile_.loopbackShuffle) {
        // Seeded by the reference: a case sees the same order every run.
        std::mt19937 shuffle(static_cast<unsigned>(concat->reference + 1));
        std::shuffle(order.begin(), order.end(), shuffle);
    }
    for (std::size_t i = 0; i < order.size(); ++i) {
        loopbackQueue_.emplace_back(i == 0 ? 0 : profile_.loopbackGapListings, set[order[i]]);
    }
    loopbackSets_.erase({concat->reference, concat->count});
    ReleaseLoopbackLocked();
}

void CModem::ReleaseLoopbackLocked() {
    while (!loopbackQueue_.empty() && loopbackQueue_.front().first == 0) {
        StoreLocked(loopbackQueue_.front().second);
        loopbackQueue_.pop_front();
    }
}

void CModem::DeliverLostParts() {
    std::vector<StoredMessage> lost;
    {
        std::lock_guard lock(mutex_);
        lost.swap(loopbackLost_);
    }
    for (StoredMessage& part : lost) {
        part.time = TimeNow();
        StoreMessage(part);
    }
}

}  // namespace ModemSim
