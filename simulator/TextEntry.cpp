// Text entry: "AT+CMGS" opens it (after a prompt, or at once for the modems that take the
// body unprompted), the text up to Ctrl-Z or ESC fills it, and the result or the report
// closes it. A message to the modem's own number comes back into storage.
#include "Formats.h"
#include "Modem.h"
#include "ReplyText.h"
#include "pdu/Alphabet.h"

namespace ModemSim {

namespace {

// Digits without a leading "+" or the country code, for comparing numbers.
std::string NationalNumber(std::string number, const std::string& countryCode) {
    if (!number.empty() && number.front() == '+') {
        number.erase(0, 1);
    }
    if (!countryCode.empty() && StartsWith(number, countryCode) &&
        number.size() > countryCode.size() + 6) {
        number.erase(0, countryCode.size());
    }
    return number;
}

// Latin-1 bytes as UTF-8.
std::string FromLatin1(std::string_view bytes) {
    std::string text;
    for (char c : bytes) {
        Pdu::AppendUtf8(text, static_cast<unsigned char>(c));
    }
    return text;
}

std::optional<std::string> FromUtf16(std::string_view octets) {
    std::string text;
    const std::vector<uint8_t> units(octets.begin(), octets.end());
    if (!Pdu::Utf16ToUtf8(units, text)) {
        return std::nullopt;
    }
    return text;
}

std::optional<std::string> FromHexUtf16(std::string_view hex) {
    const auto octets = FromHex(hex);
    return octets ? FromUtf16(std::string(octets->begin(), octets->end())) : std::nullopt;
}

}  // namespace

CModem::Pieces CModem::AnswerSubmit(const std::string& line) {
    const Pieces error = {Burst{Line(kError), 0}};
    const std::string arg = line.substr(8);
    EntryState entry;
    if (messageFormat_ == 0) {
        if (!arg.empty() && arg.front() == '"') {
            return {Burst{Line("+CMS ERROR: 302"), 0}};  // a text-mode address in PDU mode
        }
        const auto length = WholeNumber(arg);
        if (!length || *length < 1 || *length > 164) {
            return error;
        }
        entry.method = SubmitMethod::Pdu;
        entry.announced = *length;
    } else {
        const std::size_t close = arg.find('"', 1);
        if (arg.empty() || arg.front() != '"' || close == std::string::npos) {
            return error;
        }
        entry.destination = arg.substr(1, close - 1);
        if (characterSet_ == "UCS2") {
            const auto number = FromHexUtf16(entry.destination);
            if (!number || number->empty()) {
                return error;
            }
            entry.destination = *number;
            entry.method = SubmitMethod::Ucs2Text;
        }
        if (profile_.unpromptedSubmit) {
            entry.method = SubmitMethod::Unprompted;
            entry.ucs2 = rawUcs2_;
            entry_ = std::move(entry);
            return {};
        }
    }
    entry_ = std::move(entry);
    entryReady_ = std::chrono::steady_clock::now() +
                  std::chrono::milliseconds(profile_.replyLatencyMs + profile_.promptReadyMs);
    return {Burst{profile_.prompt, 0}};
}

void CModem::TakeBody() {
    EntryState& entry = *entry_;
    if (entry.method == SubmitMethod::Unprompted && entry.ucs2) {
        // Raw UTF-16: only a whole unit 00 1A ends the body, 00 1B cancels it.
        entry.body += pending_;
        pending_.clear();
        for (std::size_t i = 0; i + 1 < entry.body.size(); i += 2) {
            if (entry.body[i] == '\0' &&
                (entry.body[i + 1] == kCtrlZ || entry.body[i + 1] == kEsc)) {
                const bool cancelled = entry.body[i + 1] == kEsc;
                pending_ = entry.body.substr(i + 2);
                entry.body.resize(i);
                FinishEntry(cancelled);
                return;
            }
        }
        return;
    }
    if (entry.method != SubmitMethod::Unprompted && entry.body.empty()) {
        // The line feed of a command ended with "\r\n" is not text.
        pending_.erase(0, pending_.find_first_not_of('\n'));
    }
    const std::size_t end = pending_.find_first_of(std::string{kCtrlZ, kEsc});
    entry.body += pending_.substr(0, end);
    if (end == std::string::npos) {
        pending_.clear();
        return;
    }
    const bool cancelled = pending_[end] == kEsc;
    pending_.erase(0, end + 1);
    FinishEntry(cancelled);
}

void CModem::FinishEntry(bool cancelled) {
    const EntryState entry = std::move(*entry_);
    entry_.reset();
    if (cancelled) {
        if (!profile_.cancelReply.empty()) {
            Play({Burst{profile_.cancelReply, 0}});
        }
        return;
    }
    std::string error;
    std::optional<Submission> submission = ReadSubmission(entry, error);
    if (!submission) {
        Play({Burst{error, 0}});
        return;
    }
    ResultSwitch used;
    for (auto it = resultSwitches_.begin(); it != resultSwitches_.end(); ++it) {
        if (it->skip > 0) {
            --it->skip;
            break;
        }
        used = *it;
        if (it->uses > 0 && --it->uses == 0) {
            resultSwitches_.erase(it);
        }
        break;
    }
    if (used.failure) {
        Play({Burst{*used.failure, 0}});
        return;
    }

    nextReference_ = (nextReference_ + 1) % 256;
    submission->reference = nextReference_;
    submitted_.push_back(*submission);
    const std::string result = Line("+CMGS: " + std::to_string(nextReference_)) + Line(kOk);
    Script script;
    const int confirmMs = profile_.networkDelayMs;
    if (used.bursts > 1) {
        const std::size_t size = (result.size() + used.bursts - 1) / used.bursts;
        for (std::size_t at = 0; at < result.size(); at += size) {
            script.push_back(Burst{result.substr(at, size), at == 0 ? confirmMs : used.pauseMs});
        }
    } else {
        script.push_back(Burst{result, confirmMs});
    }
    if (entry.method == SubmitMethod::Unprompted) {
        // These modems tell the outcome with a status report once the network took it.
        const std::string stamp = TextStamp(TimeNow());
        script.push_back(
            Burst{Line("+CDS: 6," + std::to_string(nextReference_) + ",\"" +
                       submission->destination + "\",129,\"" + stamp + "\",\"" + stamp + "\",0"),
                  profile_.reportPauseMs});
    }
    if (IsOwnNumber(submission->destination)) {
        LoopBackLocked(*submission, script);
    }
    ReportLocked(*submission);
    Play(std::move(script));
}

std::optional<Submission> CModem::ReadSubmission(const EntryState& entry,
                                                 std::string& error) const {
    Submission submission;
    submission.method = entry.method;
    submission.destination = entry.destination;
    submission.body = entry.body;
    std::optional<std::string> ucs2Text;
    switch (entry.method) {
        case SubmitMethod::Text:
            submission.statusReport = (submitFirstOctet_ & 0x20) != 0;
            submission.text =
                characterSet_ == "GSM"
                    ? Pdu::FromGsmCodes(std::vector<uint8_t>(entry.body.begin(), entry.body.end()))
                    : FromLatin1(entry.body);
            return submission;
        case SubmitMethod::Ucs2Text:
        case SubmitMethod::Unprompted: {
            if (entry.method == SubmitMethod::Unprompted && !entry.ucs2) {
                submission.text = FromLatin1(entry.body);
                return submission;
            }
            std::string_view body = entry.body;
            // The NUL written before the Ctrl-Z of a hex body is no hex digit; it is ignored.
            if (entry.method == SubmitMethod::Ucs2Text && !body.empty() && body.back() == '\0') {
                body.remove_suffix(1);
            }
            const auto text =
                entry.method == SubmitMethod::Ucs2Text ? FromHexUtf16(body) : FromUtf16(body);
            if (!text) {
                error = Line("+CMS ERROR: 305");
                return std::nullopt;
            }
            submission.text = *text;
            submission.coding = Coding::Ucs2;
            return submission;
        }
        case SubmitMethod::Pdu: {
            const auto unit = Pdu::DecodeSubmit(entry.body);
            if (!unit || static_cast<int>(unit->tpduOctets) != entry.announced) {
                error = Line("+CMS ERROR: 304");
                return std::nullopt;
            }
            submission.destination =
                (unit->numberType == Pdu::kInternational ? "+" : "") + unit->number;
            submission.text = unit->text;
            submission.coding = unit->alphabet;
            submission.header = unit->header;
            submission.statusReport = (unit->firstOctet & 0x20) != 0;
            return submission;
        }
    }
    return std::nullopt;
}

bool CModem::IsOwnNumber(const std::string& destination) const {
    const std::string own = NationalNumber(profile_.ownNumber, profile_.countryCode);
    return !own.empty() && NationalNumber(destination, profile_.countryCode) == own;
}

}  // namespace ModemSim
