#include "Modem.h"

#include <algorithm>
#include <charconv>
#include <random>

#include "Formats.h"
#include "engine/ModelTable.h"
#include "pdu/Alphabet.h"

namespace ModemSim {

namespace {

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

const std::string kOk = "OK";
const std::string kError = "ERROR";
constexpr char kCtrlZ = '\x1A';
constexpr char kEsc = '\x1B';

std::string Line(const std::string& text) {
    return "\r\n" + text + "\r\n";
}

// A whole number that fills `text`, nothing else.
std::optional<int> WholeNumber(std::string_view text) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// The model families whose dialect differs. A model is known by the code the library's
// table gives its name; the dialect of each family is the simulator's own.
enum class Family { Common, Index, BlankLine, AltTag };

Family FamilyOf(const std::string& model) {
    switch (GSM::CodeOfReply(model)) {
        case GSM::kModelMC8332:
        case GSM::kModelMC8618:
            return Family::Index;
        case GSM::kModelA8500:
            return Family::BlankLine;
        case GSM::kModelCEM630:
            return Family::AltTag;
        default:
            return Family::Common;
    }
}

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

ModemProfile ProfileFor(const std::string& model) {
    ModemProfile profile;
    profile.identity["AT+GMM"] = model;
    profile.identity["AT+CGMM"] = model;
    profile.identity["AT+CGMR"] = "Revision: " + model + "_V1.00";
    profile.identity["AT+CGMI"] = "SIMULATED";
    switch (FamilyOf(model)) {
        case Family::Index:
            profile.unpromptedSubmit = true;
            profile.indexDialect = true;
            profile.storageName = "MT";
            break;
        case Family::BlankLine:
            profile.blankLineAfterListHeader = true;
            break;
        case Family::AltTag:
            profile.listTag = "^HCMGL:";
            break;
        case Family::Common:
            break;
    }
    return profile;
}

CModem::CModem(std::string linkDir, int port, ModemProfile profile)
    : profile_(std::move(profile)), port_(std::move(linkDir), port) {
    port_.SetHandler([this](CPtyPort&, std::string_view chunk) { OnInput(chunk); });
}

CModem::~CModem() {
    StopChatter();
    port_.SetHandler(nullptr);
}

void CModem::StartChatter(std::vector<std::string> lines, int periodMs, int jitterMs) {
    StopChatter();
    if (lines.empty() || periodMs <= 0) {
        return;
    }
    {
        std::lock_guard lock(chatterMutex_);
        chatterStop_ = false;
    }
    jitterMs = std::clamp(jitterMs, 0, periodMs - 1);
    chatter_ = std::thread([this, lines = std::move(lines), periodMs, jitterMs] {
        // The same sequence of pauses for the same port, so that a failing run can be repeated.
        std::minstd_rand random(static_cast<unsigned>(port_.PortNumber()));
        std::uniform_int_distribution<int> jitter(-jitterMs, jitterMs);
        std::unique_lock lock(chatterMutex_);
        for (std::size_t next = 0;; ++next) {
            const auto pause = std::chrono::milliseconds(periodMs + jitter(random));
            if (chatterChanged_.wait_for(lock, pause, [this] { return chatterStop_; })) {
                return;
            }
            port_.Interject(Line(lines[next % lines.size()]));
        }
    });
}

void CModem::StopChatter() {
    {
        std::lock_guard lock(chatterMutex_);
        chatterStop_ = true;
    }
    chatterChanged_.notify_all();
    if (chatter_.joinable()) {
        chatter_.join();
    }
}

void CModem::Restart(bool announce) {
    std::lock_guard lock(mutex_);
    profile_.echo = true;
    messageFormat_ = 0;
    characterSet_ = "IRA";
    rawUcs2_ = false;
    entry_.reset();
    pending_.clear();
    if (announce) {
        std::string boot;
        for (const std::string& line : profile_.bootLines) {
            boot += Line(line);
        }
        port_.Send(boot);
    }
}

void CModem::FailCommand(const std::string& prefix, std::string reply, int uses) {
    ReplyTo(prefix, Script{Burst{std::move(reply), 0}}, uses);
}

void CModem::SilenceCommand(const std::string& prefix, int uses) {
    ReplyTo(prefix, {}, uses);
}

void CModem::ReplyTo(const std::string& prefix, Script script, int uses) {
    std::lock_guard lock(mutex_);
    overrides_.push_back(Override{prefix, OverrideKind::Replace, std::move(script), 0, 0, uses});
}

void CModem::SplitReply(const std::string& prefix, int pauseMs, int uses) {
    std::lock_guard lock(mutex_);
    overrides_.push_back(Override{prefix, OverrideKind::Split, {}, pauseMs, 0, uses});
}

void CModem::CutReply(const std::string& prefix, int pauseMs, int uses) {
    std::lock_guard lock(mutex_);
    overrides_.push_back(Override{prefix, OverrideKind::Cut, {}, pauseMs, 0, uses});
}

void CModem::DelayReply(const std::string& prefix, int delayMs, int uses) {
    std::lock_guard lock(mutex_);
    overrides_.push_back(Override{prefix, OverrideKind::Delay, {}, delayMs, 0, uses});
}

void CModem::SplitListing(const std::string& prefix, int entries, int pauseMs, int uses) {
    std::lock_guard lock(mutex_);
    overrides_.push_back(
        Override{prefix, OverrideKind::Bursts, {}, pauseMs, entries < 1 ? 1 : entries, uses});
}

void CModem::SendUnsolicited(const std::string& line) {
    port_.Send(Line(line));
}

void CModem::UnsolicitedAround(const std::string& prefix, std::string line, bool before, int uses) {
    std::lock_guard lock(mutex_);
    overrides_.push_back(Override{prefix, before ? OverrideKind::Before : OverrideKind::After,
                                  Script{Burst{Line(line), 0}}, 0, 0, uses});
}

void CModem::UnsolicitedInside(const std::string& prefix, std::string line, int uses) {
    std::lock_guard lock(mutex_);
    overrides_.push_back(
        Override{prefix, OverrideKind::Inside, Script{Burst{Line(line), 0}}, 0, 0, uses});
}

void CModem::FailSubmission(std::string reply, int uses) {
    std::lock_guard lock(mutex_);
    resultSwitches_.push_back(ResultSwitch{std::move(reply), 0, 0, uses});
}

void CModem::SplitSubmitResult(int bursts, int pauseMs, int uses) {
    std::lock_guard lock(mutex_);
    resultSwitches_.push_back(ResultSwitch{std::nullopt, bursts, pauseMs, uses});
}

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

std::vector<Submission> CModem::Submitted() const {
    std::lock_guard lock(mutex_);
    return submitted_;
}

void CModem::ClearLogs() {
    {
        std::lock_guard lock(mutex_);
        submitted_.clear();
        commands_.clear();
    }
    port_.ClearReceived();
}

std::vector<std::string> CModem::Commands() const {
    std::lock_guard lock(mutex_);
    return commands_;
}

int CModem::MessageFormat() const {
    std::lock_guard lock(mutex_);
    return messageFormat_;
}

std::string CModem::CharacterSet() const {
    std::lock_guard lock(mutex_);
    return characterSet_;
}

bool CModem::Echo() const {
    std::lock_guard lock(mutex_);
    return profile_.echo;
}

bool CModem::InTextEntry() const {
    std::lock_guard lock(mutex_);
    return entry_.has_value();
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

bool CModem::IsOwnNumber(const std::string& destination) const {
    const std::string own = NationalNumber(profile_.ownNumber, profile_.countryCode);
    return !own.empty() && NationalNumber(destination, profile_.countryCode) == own;
}

void CModem::OnInput(std::string_view chunk) {
    std::lock_guard lock(mutex_);
    if (profile_.baudRate != 0 && port_.LineSpeed() != profile_.baudRate) {
        return;
    }
    if (profile_.echo) {
        port_.Send(std::string(chunk));
    }
    pending_.append(chunk);
    for (;;) {
        if (entry_) {
            TakeBody();
            if (entry_) {
                return;
            }
            continue;
        }
        // A command ends at its carriage return; the line feed some commands add is skipped.
        const std::size_t end = pending_.find('\r');
        if (end == std::string::npos) {
            return;
        }
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        // Line feeds, and a Ctrl-Z or ESC that found no text entry, are not part of a command.
        line.erase(0, line.find_first_not_of(std::string("\n") + kCtrlZ + kEsc));
        HandleCommand(line);
        if (!entry_ && !pending_.empty() && pending_.front() == '\n') {
            pending_.erase(0, 1);
        }
    }
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
        StoredMessage received;
        received.number = profile_.ownNumber;
        received.time = TimeNow();
        received.text = submission->text;
        received.coding = submission->coding;
        const int index = StoreLocked(received);
        if (index >= 0 && profile_.indicateNewMessages) {
            script.push_back(
                Burst{Line("+CMTI: \"" + profile_.storageName + "\"," + std::to_string(index)), 0});
        }
    }
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
            return submission;
        }
    }
    return std::nullopt;
}

void CModem::HandleCommand(const std::string& line) {
    if (line.empty()) {
        return;  // a bare line end is no command
    }
    commands_.push_back(line);
    Script before;
    Script inside;
    Script after;
    const Override* shaping = nullptr;
    Override chosen;
    for (auto it = overrides_.begin(); it != overrides_.end();) {
        const bool around = it->kind == OverrideKind::Before || it->kind == OverrideKind::Inside ||
                            it->kind == OverrideKind::After;
        if (!StartsWith(line, it->prefix) || (!around && shaping != nullptr)) {
            ++it;
            continue;
        }
        if (around) {
            Script& target = it->kind == OverrideKind::Before   ? before
                             : it->kind == OverrideKind::Inside ? inside
                                                                : after;
            target.insert(target.end(), it->script.begin(), it->script.end());
        } else {
            chosen = *it;
            shaping = &chosen;
        }
        if (it->uses > 0 && --it->uses == 0) {
            it = overrides_.erase(it);
        } else {
            ++it;
        }
    }

    Script script;
    if (shaping != nullptr && shaping->kind == OverrideKind::Replace) {
        script = shaping->script;
    } else {
        Pieces pieces = Answer(line);
        if (!inside.empty() && !pieces.empty()) {
            pieces.insert(pieces.end() - 1, inside.begin(), inside.end());
        }
        if (shaping != nullptr && shaping->kind == OverrideKind::Split) {
            std::string info;
            for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
                info += pieces[i].bytes;
            }
            script = {Burst{info, 0},
                      Burst{pieces.empty() ? "" : pieces.back().bytes, shaping->pauseMs}};
        } else {
            if (shaping != nullptr && shaping->kind == OverrideKind::Bursts) {
                for (std::size_t i = 0; i < pieces.size(); ++i) {
                    pieces[i].pauseMs = i % shaping->entries == 0 && i > 0 ? shaping->pauseMs : 0;
                }
            }
            if (shaping != nullptr && shaping->kind == OverrideKind::Delay && !pieces.empty()) {
                pieces.front().pauseMs += shaping->pauseMs;
            }
            // Pieces without a pause go out in the burst before them.
            for (const Burst& piece : pieces) {
                if (script.empty() || piece.pauseMs > 0) {
                    script.push_back(piece);
                } else {
                    script.back().bytes += piece.bytes;
                }
            }
        }
    }
    if (shaping != nullptr && shaping->kind == OverrideKind::Cut) {
        Script halves;
        for (const Burst& burst : script) {
            const std::size_t middle = burst.bytes.size() / 2;
            halves.push_back(Burst{burst.bytes.substr(0, middle), burst.pauseMs});
            halves.push_back(Burst{burst.bytes.substr(middle), shaping->pauseMs});
        }
        script = std::move(halves);
    }
    script.insert(script.begin(), before.begin(), before.end());
    script.insert(script.end(), after.begin(), after.end());
    if (!script.empty()) {
        Play(std::move(script));
    }
}

void CModem::Play(Script script) {
    if (!script.empty()) {
        script.front().pauseMs += profile_.replyLatencyMs;
    }
    port_.Reply(script);
}

CModem::Pieces CModem::Answer(const std::string& line) {
    const auto reply = [](const std::string& info, const std::string& result) {
        Pieces pieces;
        if (!info.empty()) {
            pieces.push_back(Burst{Line(info), 0});
        }
        pieces.push_back(Burst{Line(result), 0});
        return pieces;
    };
    if (line == "AT") {
        return reply("", kOk);
    }
    if (line == "ATE0" || line == "ATE1") {
        profile_.echo = line == "ATE1";
        return reply("", kOk);
    }
    if (auto it = profile_.identity.find(line); it != profile_.identity.end()) {
        return reply(it->second, kOk);
    }
    if (line == "AT+GMM" || line == "AT+CGMM" || line == "AT+CGMR") {
        return reply("", kError);
    }
    if (line == "AT+CPIN?") {
        return reply("+CPIN: READY", kOk);
    }
    if (line == "AT+CIMI") {
        return reply(profile_.imsi, kOk);
    }
    // What a user asks first of a modem: the signal, and the network it is registered on
    // (named by the SIM's network code).
    if (line == "AT+CSQ") {
        return reply("+CSQ: 23,99", kOk);
    }
    if (line == "AT+COPS?") {
        return reply("+COPS: 0,2,\"" + profile_.imsi.substr(0, 5) + "\",7", kOk);
    }
    if (line == "AT+CSCA?") {
        return reply(profile_.serviceCentreLine, kOk);
    }
    if (StartsWith(line, "AT+CSCA=\"")) {
        profile_.serviceCentreLine = "+CSCA: " + line.substr(8) + ",145";
        return reply("", kOk);
    }
    if (StartsWith(line, "AT+CMGF=") && (line == "AT+CMGF=0" || line == "AT+CMGF=1")) {
        messageFormat_ = line.back() - '0';
        return reply("", kOk);
    }
    // The standard queries a general-purpose peer asks before it trusts a modem.
    if (line == "AT+CSCS?") {
        return reply("+CSCS: \"" + characterSet_ + "\"", kOk);
    }
    if (line == "AT+CSCS=?") {
        return reply("+CSCS: (\"IRA\",\"GSM\",\"UCS2\")", kOk);
    }
    if (line == "AT+CMGF=?") {
        return reply("+CMGF: (0,1)", kOk);
    }
    if (line == "AT+CPMS=?") {
        const std::string name = "\"" + profile_.storageName + "\"";
        return reply("+CPMS: (" + name + "),(" + name + "),(" + name + ")", kOk);
    }
    if (line == "AT+CPMS?") {
        const std::string used = std::to_string(storage_.size());
        const std::string total = std::to_string(profile_.capacity);
        const std::string name = "\"" + profile_.storageName + "\"," + used + "," + total;
        return reply("+CPMS: " + name + "," + name + "," + name, kOk);
    }
    if (StartsWith(line, "AT+CSCS=\"") && line.size() > 10 && line.back() == '"') {
        characterSet_ = line.substr(9, line.size() - 10);
        return reply("", kOk);
    }
    if (StartsWith(line, "AT+CPMS=")) {
        const std::string used = std::to_string(storage_.size());
        const std::string total = std::to_string(profile_.capacity);
        return reply(
            "+CPMS: " + used + "," + total + "," + used + "," + total + "," + used + "," + total,
            kOk);
    }
    if (StartsWith(line, "AT+ZMSGL=")) {
        // The second value names the coding of unprompted bodies: 4 for raw UCS2.
        const std::size_t comma = line.find(',');
        rawUcs2_ = comma != std::string::npos && WholeNumber(line.substr(comma + 1)) == 4;
        return reply("", kOk);
    }
    if (StartsWith(line, "AT+CNMI=") || StartsWith(line, "AT+CSMP=")) {
        return reply("", kOk);
    }
    if (StartsWith(line, "AT+CMGS=")) {
        return AnswerSubmit(line);
    }
    if (line == "AT+CMGL" || StartsWith(line, "AT+CMGL=")) {
        return AnswerList(line);
    }
    if (StartsWith(line, "AT+CMGR=")) {
        return AnswerRead(line);
    }
    if (StartsWith(line, "AT+CMGD=")) {
        return AnswerDelete(line);
    }
    if (profile_.generic) {
        const bool probe =
            std::any_of(profile_.modeSwitchProbes.begin(), profile_.modeSwitchProbes.end(),
                        [&](const std::string& prefix) { return StartsWith(line, prefix); });
        return reply("", probe ? kError : kOk);
    }
    return reply("", kError);
}

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
    return {Burst{profile_.prompt, 0}};
}

CModem::Pieces CModem::AnswerList(const std::string& line) {
    const bool pduMode = messageFormat_ == 0;
    const std::string arg = line.size() > 8 ? line.substr(8) : "";
    const auto filter = ListFilter(arg, pduMode);
    if (!filter) {
        const bool textForm = pduMode && !arg.empty() && arg.front() == '"';
        return {Burst{Line(textForm ? "+CMS ERROR: 302" : kError), 0}};
    }
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

CModem::Pieces CModem::AnswerRead(const std::string& line) {
    const auto index = WholeNumber(line.substr(8));
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
