// Storage: the messages the modem keeps, their listing in each dialect, reading by index
// and deletion.
#include <algorithm>

#include "Formats.h"
#include "Modem.h"
#include "ReplyText.h"

namespace ModemSim {

namespace {

// Statuses a listing command names: PDU mode by number, text mode by name.
std::optional<std::vector<MessageStatus>> ListFilter(const std::string& arg, bool pduMode) {
    using S = MessageStatus;
    const std::vector<S> all = {S::ReceivedUnread, S::ReceivedRead, S::StoredUnsent, S::StoredSent};
    if (pduMode) {
        const auto stat = arg.empty() ? std::optional<int>(0) : WholeNumber(arg);
        if (!stat || *stat < 0 || *stat > 4) {
            return std::nullopt;
        }
        return *stat == 4 ? all : std::vector<S>{static_cast<S>(*stat)};
    }
    static const std::map<std::string, std::vector<S>> kNames = {
        {"", {S::ReceivedUnread}},          {"\"REC UNREAD\"", {S::ReceivedUnread}},
        {"\"UREAD\"", {S::ReceivedUnread}}, {"\"REC READ\"", {S::ReceivedRead}},
        {"\"READ\"", {S::ReceivedRead}},    {"\"STO UNSENT\"", {S::StoredUnsent}},
        {"\"STO SENT\"", {S::StoredSent}},  {"\"ALL\"", all},
    };
    const auto it = kNames.find(arg);
    if (it == kNames.end()) {
        return std::nullopt;
    }
    return it->second;
}

}  // namespace

int CModem::StoreMessage(const StoredMessage& message) {
    std::lock_guard lock(mutex_);
    const int index = StoreLocked(message);
    if (index >= 0 && profile_.indicateNewMessages) {
        port_.Send(Line("+CMTI: \"" + profile_.storageName + "\"," + std::to_string(index)));
    }
    return index;
}

std::vector<StoredMessage> CModem::Storage() const {
    std::lock_guard lock(mutex_);
    std::vector<StoredMessage> messages;
    for (const auto& [index, message] : storage_) {
        messages.push_back(message);
    }
    return messages;
}

void CModem::ClearStorage() {
    std::lock_guard lock(mutex_);
    storage_.clear();
}

int CModem::StoreLocked(StoredMessage message) {
    if (static_cast<int>(storage_.size()) >= profile_.capacity ||
        !UnitOf(message, ServiceCentreDigits())) {
        return -1;
    }
    if (message.index < 0) {
        message.index = profile_.firstIndex;
        while (storage_.count(message.index) != 0) {
            ++message.index;
        }
    } else if (storage_.count(message.index) != 0) {
        return -1;
    }
    const int index = message.index;
    storage_[index] = std::move(message);
    return index;
}

std::string CModem::ServiceCentreDigits() const {
    const std::string& line = profile_.serviceCentreLine;
    const std::size_t open = line.find('"');
    const std::size_t close = open == std::string::npos ? open : line.find('"', open + 1);
    if (close == std::string::npos) {
        return {};
    }
    std::string digits = line.substr(open + 1, close - open - 1);
    if (!digits.empty() && digits.front() == '+') {
        digits.erase(0, 1);
    }
    return digits;
}

CModem::Pieces CModem::AnswerList(const std::string& line) {
    const bool pduMode = messageFormat_ == 0;
    const std::string arg = line.size() > 8 ? line.substr(8) : "";
    const auto filter = ListFilter(arg, pduMode);
    if (!filter) {
        const bool textForm = pduMode && !arg.empty() && arg.front() == '"';
        return {Burst{Line(textForm ? "+CMS ERROR: 302" : kError), 0}};
    }
    if (readStorage_ == "SR") {
        return AnswerReportList(pduMode);
    }
    // A listing is what a gap between loopback parts is counted in.
    if (!loopbackQueue_.empty() && loopbackQueue_.front().first > 0) {
        --loopbackQueue_.front().first;
    }
    ReleaseLoopbackLocked();
    const bool oneEntryPerBurst = !pduMode && profile_.indexDialect;
    const std::string serviceCentre = ServiceCentreDigits();
    Pieces pieces;
    for (auto& [index, message] : storage_) {
        if (std::find(filter->begin(), filter->end(), message.status) == filter->end()) {
            continue;
        }
        std::string entry;
        if (pduMode) {
            const auto unit = UnitOf(message, serviceCentre);
            if (!unit) {
                continue;
            }
            entry = PduEntry(profile_.listTag, index, message.status, *unit,
                             profile_.blankLineAfterListHeader);
        } else if (profile_.indexDialect) {
            entry = IndexDialectEntry(message, index);
        } else {
            entry = TextEntry(message, index, characterSet_ == "UCS2");
        }
        // Listing a received message marks it read, as reading it does.
        if (message.status == MessageStatus::ReceivedUnread) {
            message.status = MessageStatus::ReceivedRead;
        }
        const int pause = oneEntryPerBurst && !pieces.empty() ? profile_.burstPauseMs : 0;
        const std::string lead = pieces.empty() ? "\r\n" : "";
        const std::size_t bodyAt = entry.rfind("\r\n");
        if ((profile_.listingPauseMs > 0 || !profile_.lineInsideEntries.empty()) &&
            bodyAt != std::string::npos) {
            // Header and body as the SIM hands them over, one line at a time.
            const int slow = profile_.listingPauseMs;
            pieces.push_back(Burst{lead + entry.substr(0, bodyAt + 2), std::max(pause, slow)});
            if (!profile_.lineInsideEntries.empty()) {
                pieces.push_back(Burst{Line(profile_.lineInsideEntries), 0});
            }
            pieces.push_back(Burst{entry.substr(bodyAt + 2) + "\r\n", slow});
        } else {
            pieces.push_back(Burst{lead + entry + "\r\n", pause});
        }
    }
    const int pause = oneEntryPerBurst && !pieces.empty() ? profile_.burstPauseMs : 0;
    pieces.push_back(Burst{Line(kOk), pause});
    return pieces;
}

// Report memory listed: the kept units, in PDU mode only.
CModem::Pieces CModem::AnswerReportList(bool pduMode) const {
    if (!pduMode) {
        return {Burst{Line("+CMS ERROR: 302"), 0}};
    }
    std::string entries;
    for (const auto& [index, unit] : reportMemory_) {
        entries += Line("+CMGL: " + std::to_string(index) + ",0,," +
                        std::to_string(unit.size() / 2 - 1) + "\r\n" + unit);
    }
    return {Burst{entries + Line(kOk), 0}};
}

CModem::Pieces CModem::AnswerRead(const std::string& line) {
    const auto index = WholeNumber(line.substr(8));
    if (readStorage_ == "SR") {
        const auto report = index ? reportMemory_.find(*index) : reportMemory_.end();
        if (report == reportMemory_.end() || messageFormat_ != 0) {
            return {Burst{Line("+CMS ERROR: 321"), 0}};
        }
        const std::string& unit = report->second;
        return {Burst{
            Line("+CMGR: 0,," + std::to_string(unit.size() / 2 - 1) + "\r\n" + unit) + Line(kOk),
            0}};
    }
    const auto it = index ? storage_.find(*index) : storage_.end();
    if (it == storage_.end()) {
        return {Burst{Line("+CMS ERROR: 321"), 0}};
    }
    StoredMessage& message = it->second;
    std::string entry;
    if (messageFormat_ == 0) {
        const auto unit = UnitOf(message, ServiceCentreDigits());
        if (!unit) {
            return {Burst{Line("+CMS ERROR: 321"), 0}};
        }
        entry = "+CMGR: " + std::to_string(static_cast<int>(message.status)) + ",," +
                std::to_string(unit->tpduOctets) + "\r\n" + unit->hex;
    } else if (profile_.indexDialect) {
        entry = IndexDialectEntry(message, -1);
    } else {
        entry = TextEntry(message, -1, characterSet_ == "UCS2");
    }
    if (message.status == MessageStatus::ReceivedUnread) {
        message.status = MessageStatus::ReceivedRead;
    }
    return {Burst{Line(entry) + Line(kOk), 0}};
}

CModem::Pieces CModem::AnswerDelete(const std::string& line) {
    const std::string arg = line.substr(8);
    const std::size_t comma = arg.find(',');
    const auto index = WholeNumber(arg.substr(0, comma));
    const auto flag =
        comma == std::string::npos ? std::optional<int>(0) : WholeNumber(arg.substr(comma + 1));
    if (!index || !flag || *flag < 0 || *flag > 4) {
        return {Burst{Line(kError), 0}};
    }
    if (readStorage_ == "SR") {
        return {Burst{Line(reportMemory_.erase(*index) == 0 ? kError : kOk), 0}};
    }
    if (*flag == 0) {
        if (storage_.erase(*index) == 0) {
            return {Burst{Line(kError), 0}};
        }
        return {Burst{Line(kOk), 0}};
    }
    // 1 read, 2 also sent, 3 also unsent, 4 everything.
    std::erase_if(storage_, [&](const auto& item) {
        switch (item.second.status) {
            case MessageStatus::ReceivedRead:
                return true;
            case MessageStatus::StoredSent:
                return *flag >= 2;
            case MessageStatus::StoredUnsent:
                return *flag >= 3;
            case MessageStatus::ReceivedUnread:
                return *flag >= 4;
        }
        return false;
    });
    return {Burst{Line(kOk), 0}};
}

}  // namespace ModemSim
