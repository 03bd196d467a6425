#include "service/MsgService.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <utility>

#include "codec/Fields.h"
#include "engine/ProcessState.h"
#include "engine/Reports.h"
#include "platform/Environment.h"

namespace GSM {

namespace {

// Pauses of a pass: after a submission and after its closing mode command; after a
// listing, twice.
constexpr int kAfterSubmitMs = 100;
constexpr int kAfterPartMs = 500;
constexpr int kAfterListingMs = 200;
constexpr int kBetweenListingsMs = 500;
// Quick replies: the parts of a queue go back to back, and a listing comes between every so
// many of them so that received messages never wait behind a long queue.
constexpr int kQuickPartsPerListing = 10;
// A modem may drop its report routing (a reset it does not announce): after this long
// without a report while reports are asked for, the routing is read back.
constexpr auto kReportQuietCheck = std::chrono::seconds(60);

constexpr const char* kTextJournalFailed =
    "INBOX JOURNAL FAILED: a received message could not be written to TARVIK_INBOX_JOURNAL "
    "and stays on the modem";
constexpr const char* kTextReportJournalFailed =
    "INBOX JOURNAL FAILED: a delivery report could not be written to TARVIK_INBOX_JOURNAL";
constexpr const char* kTextJournalUnusable =
    "INBOX JOURNAL FAILED: the file TARVIK_INBOX_JOURNAL names cannot be read and rewritten";

// The reason of a part refused by a modem that had restarted and lost its modes.
constexpr const char* kTextSetupLost = "CMGS FAILED: the modem had restarted and lost its set-up";

}  // namespace

void FormatReceivedStamp(const char* digits, char (&out)[32]) {
    std::memset(out, 0, sizeof out);
    constexpr char kSeparators[] = {'-', '-', ' ', ':', ':'};
    std::size_t used = 0;
    out[used++] = '2';
    out[used++] = '0';
    for (std::size_t pair = 0; pair < 6; ++pair) {
        if (pair > 0) {
            out[used++] = kSeparators[pair - 1];
        }
        for (std::size_t i = 0; i < 2; ++i) {
            const char c = digits[2 * pair + i];
            if (c == '\0') {
                out[used] = '\0';
                return;
            }
            out[used++] = c;
        }
    }
}

CSendMsgThread::CSendMsgThread(CMsgService& service, ModemLink link)
    : service_(service), link_(link) {}

int32_t CSendMsgThread::Run(int32_t /*argument*/) {
    listing_.resize(kMaxListed);
    indexes_.resize(kMaxListed);
    int partsSinceListing = 0;
    while (!StopRequested()) {
        RenewSetup();
        RouteReports();
        OutgoingPart part{};
        const bool listingDue = Quick() && partsSinceListing >= kQuickPartsPerListing;
        if (!listingDue && service_.PopOutgoing(part)) {
            SendPart(part);
            ++partsSinceListing;
            continue;
        }
        // After the last part of a queue the listing keeps the distance the paced pauses
        // give it: a caller that sends and stops has its reports before any message is
        // taken from the modem into a store that the stop empties.
        if (!listingDue && partsSinceListing > 0 && Quick()) {
            Pause(kAfterSubmitMs + kAfterPartMs, Wait::ForWork);
            if (service_.OutgoingCount() > 0) {
                continue;
            }
        }
        ReceivePass();
        partsSinceListing = 0;
    }
    return 0;
}

bool CSendMsgThread::Quick() const {
    return link_.port.QuickReplies();
}

bool CSendMsgThread::Pause(int pacedMs, Wait wait) {
    if (!Quick()) {
        return SleepFor(pacedMs);
    }
    // The next command follows at once: the reply before it already ended with the settle
    // gap that keeps the modem's trailing lines out of the next reply. An idle worker waits
    // for the next queued part or for the next listing.
    if (wait == Wait::None) {
        return !StopRequested();
    }
    // A wake left from a part the worker already took ends a wait early: wait on.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(pacedMs);
    while (service_.OutgoingCount() == 0) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        if (!SleepUntilWoken(static_cast<int>(left.count()))) {
            return false;
        }
    }
    return !StopRequested();
}

bool CSendMsgThread::NeedsSetup() {
    // The engine tells what the modem showed; whether to set it up again is decided here.
    if (link_.engine.notes.TakeLostSetup()) {
        needsSetup_ = true;
    }
    return needsSetup_;
}

bool CSendMsgThread::RenewSetup() {
    if (!NeedsSetup()) {
        return true;
    }
    std::lock_guard hold(link_.lock);
    if (StopRequested()) {
        return false;
    }
    // Its sequence for the model it was identified as; a modem that still boots answers
    // later, and a failure leaves the mark for the next pass.
    if (SetupModem(link_.engine, link_.port, modelCode.load()) != Outcome::Done) {
        return false;
    }
    // A restart its own replies showed is for the next pass to settle.
    needsSetup_ = false;
    // The set-up wrote the row's own indication settings back.
    reportsRouted_ = false;
    reportMemoryUnread_ = true;
    routeAgainAt_ = {};
    return true;
}

void CSendMsgThread::RouteReports() {
    const auto now = std::chrono::steady_clock::now();
    // A modem that refuses the routing is asked again after a quiet period, not every pass.
    if (!reportsAsked_ || reportsRouted_ || now < routeAgainAt_) {
        return;
    }
    std::lock_guard hold(link_.lock);
    if (!StopRequested()) {
        reportsRouted_ =
            GSM::RouteReports(link_.engine, link_.port, modelCode.load()) == Outcome::Done;
        reportsQuietSince_ = now;
        routeAgainAt_ = reportsRouted_ ? now : now + kReportQuietCheck;
    }
}

void CSendMsgThread::CheckReportRouting() {
    const bool due = routingCheckDue_.exchange(false);
    if (!reportsRouted_ ||
        (!due && std::chrono::steady_clock::now() - reportsQuietSince_ < kReportQuietCheck)) {
        return;
    }
    {
        std::lock_guard hold(link_.lock);
        if (StopRequested()) {
            return;
        }
        reportsRouted_ = ReportsStillRouted(link_.engine, link_.port, modelCode.load());
    }
    reportsQuietSince_ = std::chrono::steady_clock::now();
    routeAgainAt_ = reportsQuietSince_;
    RouteReports();
}

void CSendMsgThread::CollectReports() {
    // Under the modem's lock: the listing's reports and reading the stored ones. A report
    // the modem keeps is deleted there only once the caller's store (and journal) has it.
    const auto keep = [this](const StatusReport& report) {
        return service_.PushStatusReport(report);
    };
    bool collected = false;
    std::vector<StatusReport> reports = std::move(link_.engine.listedReports);
    link_.engine.listedReports.clear();
    const bool reportMemory = ProfileOf(modelCode.load()).reports == ReportRoute::ReportMemory;
    for (const std::string& line : link_.engine.notes.TakeReports()) {
        const std::optional<ReportLine> read = ReadReportLine(line);
        if (!read) {
            continue;
        }
        if (read->report) {
            reports.push_back(*read->report);
        } else if (reportsAsked_ && reportMemory) {
            // Stored among the messages, the listing takes it; in report memory only by index,
            // and only once our own program asked for reports: the ten functions' bytes stay.
            collected |=
                TakeStoredReport(link_.engine, link_.port, read->storage, read->index, keep);
        }
    }
    if (reportsRouted_ && reportMemoryUnread_ && reportMemory) {
        // In the PDU mode the listing reads in; read again while a reading finds some, for
        // one listing may not hold them all.
        reportMemoryUnread_ = TakeStoredReports(link_.engine, link_.port, "SR", keep) > 0;
        collected |= reportMemoryUnread_;
    }
    for (const StatusReport& report : reports) {
        collected |= keep(report);
    }
    if (collected) {
        reportsQuietSince_ = std::chrono::steady_clock::now();
    }
}

bool CSendMsgThread::SwitchCoding(int32_t code, uint8_t coding) {
    if (coding != kCodingPlain && coding != kCodingUcs2) {
        return true;
    }
    const CodingSwitch& change = ProfileOf(code).codingSwitch;
    const CodingValues& values = coding == kCodingPlain ? change.plain : change.ucs2;
    std::lock_guard hold(link_.lock);
    switch (change.command) {
        case CodingCommand::MessageEncoding:
            link_.engine.SetMessageEncoding(link_.port, values.encoding[0], values.encoding[1]);
            return true;
        case CodingCommand::CharacterSet:
            return link_.engine.SetCharacterSet(link_.port, values.characterSet) == kStatusOk;
        case CodingCommand::MessageFormat:
            return link_.engine.SetMessageFormat(link_.port, values.format) == kStatusOk;
    }
    return false;
}

void CSendMsgThread::SendPart(const OutgoingPart& part) {
    const int32_t code = modelCode.load();
    // In the wrong mode the modem would read the body as something else: a PDU's hex as
    // the text of a message to the number its length gives. A restart shown by the mode
    // command's own reply is dealt with before the part goes.
    // A long text's parts go in PDU mode whatever their coding.
    const uint8_t mode = part.longPart ? kCodingUcs2 : part.record.coding;
    bool inMode = SwitchCoding(code, mode);
    if (NeedsSetup() && RenewSetup()) {
        inMode = SwitchCoding(code, mode);
    }

    Tarvik::PartOutcome outcome;
    SendReport& report = outcome.report;
    const MsgRecord& record = part.record;
    Fields::Copy(report.text, Fields::View(record.text));
    const std::string_view number = Fields::View(record.number);
    Fields::Copy(report.number,
                 number.substr(std::min<std::size_t>(part.prefixLength, number.size())));
    report.sequence = record.tag;

    if (part.statusReport && !reportsAsked_) {
        reportsAsked_ = true;
        RouteReports();
    }
    outcome.partNumber = part.concatNumber;
    int accepted = 0;
    if (inMode) {
        std::lock_guard hold(link_.lock);
        if (StopRequested()) {
            return;
        }
        accepted = Submit(part, outcome.notWritten);
        outcome.messageReference = accepted != 0 ? link_.engine.lastReference : -1;
        if (accepted == 0 && !outcome.notWritten && NeedsSetup()) {
            SetLastError(kTextSetupLost);
        }
    } else {
        SetLastError(kTextCmgsFailed);
    }
    // A submission cut off by stop has no outcome to report, but one whose body surely
    // never went has.
    if (StopRequested() && !outcome.notWritten) {
        return;
    }
    report.result = accepted != 0 ? 1 : 0;
    service_.PushOutcome(outcome);

    if (!Pause(kAfterSubmitMs, Wait::None)) {
        return;
    }
    if (const std::optional<int> format = ProfileOf(code).codingSwitch.formatAfterPart) {
        std::lock_guard hold(link_.lock);
        link_.engine.SetMessageFormat(link_.port, *format);
    }
    Pause(kAfterPartMs, Wait::None);
}

int CSendMsgThread::Submit(const OutgoingPart& part, bool& notWritten) {
    notWritten = false;
    if (!part.confirmWrite) {
        return link_.engine.SendMessage(link_.port, part);
    }
    link_.engine.bodyGate = [&] {
        const std::chrono::milliseconds limit = Tarvik::Session::kWriteWaitLimit;
        notWritten = !service_.writeGate.Ask(part.record.tag, part.concatNumber, limit);
        return !notWritten;
    };
    const int accepted = link_.engine.SendMessage(link_.port, part);
    link_.engine.bodyGate = nullptr;
    return accepted;
}

void CSendMsgThread::ReceivePass() {
    std::fill(listing_.begin(), listing_.end(), MsgRecord{});
    std::fill(indexes_.begin(), indexes_.end(), 0);
    {
        // The listing and its deletions are one operation on the line.
        std::lock_guard hold(link_.lock);
        if (StopRequested()) {
            return;
        }
        const int count =
            std::min(link_.engine.ReadMessages(link_.port, listing_.data(), indexes_.data()),
                     static_cast<int>(listing_.size()));
        for (int i = 0; i < count && !StopRequested(); ++i) {
            const auto at = static_cast<std::size_t>(i);
            const MsgRecord& record = listing_[at];
            RecvMsg message{};
            Fields::Copy(message.text, Fields::View(record.text));
            Fields::Copy(message.number, Fields::View(record.number));
            FormatReceivedStamp(record.timestamp, message.timestamp);
            const ListedPart& listed = link_.engine.listedParts[at];
            const Tarvik::ReceivedPart part{message, listed.concat, listed.internationalSender,
                                            listed.units, listed.septets};
            // A message the store cannot take stays on the modem for a later pass; with
            // the journal, so does one the disk did not take.
            if (CInboxJournal* journal = service_.Journal()) {
                if (service_.ReceivedFull()) {
                    continue;
                }
                if (!journal->Record(part)) {
                    SetLastError(kTextJournalFailed);
                    continue;
                }
            }
            if (service_.PushReceived(part)) {
                link_.engine.DeleteMessage(link_.port, indexes_[at]);
            }
        }
        CollectReports();
    }
    CheckReportRouting();
    if (Quick()) {
        Pause(kAfterListingMs + kBetweenListingsMs, Wait::ForWork);
    } else if (SleepFor(kAfterListingMs)) {
        SleepFor(kBetweenListingsMs);
    }
}

CMsgService::CMsgService(ModemLink link) : sendThread(*this, link) {}

CMsgService::~CMsgService() {
    sendThread.Stop();
    Discard();
}

bool CMsgService::OpenJournal() {
    // Read as the quick-reply switch is, so that a variable a Windows caller set through
    // the system is seen too.
    const std::string path = platform::EnvironmentValue("TARVIK_INBOX_JOURNAL");
    if (path.empty()) {
        return true;
    }
    std::vector<Tarvik::ReceivedPart> replayed;
    auto journal = std::make_unique<CInboxJournal>(path, replayed, journalReports_);
    if (!journal->Open()) {
        SetLastError(kTextJournalUnusable);
        return false;
    }
    // More than the store holds stays in the journal for the next start.
    for (const Tarvik::ReceivedPart& part : replayed) {
        if (!inStore_.Push(part)) {
            break;
        }
    }
    journal_ = std::move(journal);
    return true;
}

bool CMsgService::PushStatusReport(const StatusReport& report) {
    if (reportsKept_ && journal_ && !journal_->RecordReport(report)) {
        SetLastError(kTextReportJournalFailed);
        return false;
    }
    return statusStore_.Push(report);
}

void CMsgService::KeepReports() {
    if (!journal_ || reportsKept_.exchange(true)) {
        return;
    }
    for (const StatusReport& report : std::exchange(journalReports_, {})) {
        statusStore_.Push(report);
    }
}

namespace {

// Takes the oldest record and hands over the field of it that the ten functions see.
template <typename Record, typename Field>
bool PopField(CBoundedStore<Record>& store, Field Record::*field, Field& out) {
    Record record;
    if (!store.Pop(record)) {
        return false;
    }
    out = record.*field;
    return true;
}

}  // namespace

bool CMsgService::PopReceived(RecvMsg& message) {
    return PopField(inStore_, &Tarvik::ReceivedPart::message, message);
}

bool CMsgService::PopReport(SendReport& report) {
    return PopField(reportStore_, &Tarvik::PartOutcome::report, report);
}

void CMsgService::Discard() {
    reportStore_.Clear();
    statusStore_.Clear();
    inStore_.Clear();
    outQueue_.Clear();
}

}  // namespace GSM
