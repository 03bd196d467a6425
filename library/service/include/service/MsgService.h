// The running service: the service-centre number, the worker thread and the three stores
// between the caller's threads and the worker.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "Tarvik.h"
#include "engine/ComBaseCmd.h"
#include "engine/ModelTable.h"
#include "platform/Thread.h"
#include "serial/CSXCom.h"
#include "service/InboxJournal.h"
#include "service/MsgRecord.h"
#include "service/Session.h"
#include "service/Stores.h"
#include "service/WriteGate.h"

namespace GSM {

class CMsgService;

// The port, the engine and the lock that gives one user the whole of each modem operation,
// so that the bytes of two operations never interleave on the line.
struct ModemLink {
    CSXCom& port;
    IComBaseCmd& engine;
    std::mutex& lock;
};

// The worker: submits queued parts one at a time and, when none waits, moves the modem's
// received messages into the caller's store.
class CSendMsgThread : public NorvaneBase32::CThread<CSendMsgThread> {
public:
    CSendMsgThread(CMsgService& service, ModemLink link);
    // The body uses this object's members, so it ends before they go.
    ~CSendMsgThread() override { Stop(); }

    int32_t Run(int32_t argument) override;
    // A status poll: the report routing is read back at the next pass, quiet or not.
    void CheckRoutingSoon() { routingCheckDue_ = true; }
    // Reports are routed from the next pass on, as once a part asks for one.
    void AskReports() {
        reportsAsked_ = true;
        Wake();
    }

private:
    enum class Wait { None, ForWork };
    // Whether the port ends replies quickly; the worker then paces itself by the modem.
    bool Quick() const;
    // A pause of the pass: `pacedMs` without quick replies; with them none, or up to
    // `pacedMs` until a part is queued. False when a stop was requested.
    bool Pause(int pacedMs, Wait wait);
    void SendPart(const OutgoingPart& part);
    // The engine's submission, through the write gate when the part asks for it; under the
    // modem's lock.
    int Submit(const OutgoingPart& part, bool& notWritten);
    void ReceivePass();
    // Puts the modem into the part's coding; false when its command failed.
    bool SwitchCoding(int32_t code, uint8_t coding);
    // Sets the modem up again when it showed that it restarted; false when that failed.
    bool RenewSetup();
    // Whether the modem showed, in any operation so far, that it lost its set-up.
    bool NeedsSetup();
    // Reports: routed once a part asks for one (again after a new set-up, or when the
    // modem dropped the routing), and moved into the caller's store at each pass.
    void RouteReports();
    void CollectReports();
    void CheckReportRouting();

    CMsgService& service_;
    ModemLink link_;
    std::vector<MsgRecord> listing_;
    std::vector<int> indexes_;
    bool needsSetup_ = false;
    std::atomic<bool> reportsAsked_{false};  // set by a part or by the caller
    bool reportsRouted_ = false;
    // Report memory is read whole once reports are routed, after every set-up: reports that
    // came while no program read the modem's notices wait there.
    bool reportMemoryUnread_ = true;
    std::chrono::steady_clock::time_point reportsQuietSince_{};
    std::chrono::steady_clock::time_point routeAgainAt_{};
    std::atomic<bool> routingCheckDue_{false};
};

class CMsgService {
public:
    explicit CMsgService(ModemLink link);
    // Stops the worker before the stores it uses go.
    ~CMsgService();
    CMsgService(const CMsgService&) = delete;
    CMsgService& operator=(const CMsgService&) = delete;

    bool PushOutgoing(const OutgoingPart& part) {
        const bool queued = outQueue_.Push(part);
        sendThread.Wake();
        return queued;
    }
    // A whole message or nothing; `prepare` runs under the lock once the parts are known to
    // fit, so what it hands out is spent only on a message that is really queued.
    template <typename Prepare>
    bool PushOutgoingAll(std::span<OutgoingPart> parts, Prepare&& prepare) {
        const bool queued = outQueue_.PushAll(parts, prepare);
        sendThread.Wake();
        return queued;
    }
    bool PopOutgoing(OutgoingPart& part) { return outQueue_.Pop(part); }
    bool PushReceived(const Tarvik::ReceivedPart& part) { return inStore_.Push(part); }
    bool PopPart(Tarvik::ReceivedPart& part) { return inStore_.Pop(part); }
    // The ten functions' record of the same message.
    bool PopReceived(RecvMsg& message);
    bool PushOutcome(const Tarvik::PartOutcome& outcome) { return reportStore_.Push(outcome); }
    bool PopOutcome(Tarvik::PartOutcome& outcome) { return reportStore_.Pop(outcome); }
    // The ten functions' record of the same outcome.
    bool PopReport(SendReport& report);
    // A report for the caller: written to the journal first once the caller keeps reports
    // (KeepReports), so that the modem's copy may go. False when it was not taken.
    bool PushStatusReport(const StatusReport& report);
    bool PopStatusReport(StatusReport& report) { return statusStore_.Pop(report); }
    // The caller acknowledges reports in the journal: the journal's unacknowledged reports
    // are given again, and every new one is written there before it is handed over.
    void KeepReports();
    std::size_t OutgoingCount() const { return outQueue_.Size(); }

    // Discards every waiting record.
    void Discard();

    // Before the worker starts: opens the journal that TARVIK_INBOX_JOURNAL names, if it
    // names one, and puts its unacknowledged messages into the store. False when it names
    // one that cannot be used: a service without it would lose what it promises to keep.
    bool OpenJournal();
    // The journal, or none when it is not asked for.
    CInboxJournal* Journal() { return journal_.get(); }
    bool ReceivedFull() const { return inStore_.Size() >= kStoreCapacity; }

    // Up to 63 characters and a NUL; empty when the modem did not report it.
    char serviceCentre[kServiceCentreCapacity] = {};
    bool serviceCentreInternational = true;
    // Declared before the worker, which waits at it.
    CWriteGate writeGate;
    CSendMsgThread sendThread;

private:
    CBoundedStore<OutgoingPart> outQueue_;
    CBoundedStore<Tarvik::ReceivedPart> inStore_;
    CBoundedStore<Tarvik::PartOutcome> reportStore_;
    CBoundedStore<StatusReport> statusStore_;
    std::unique_ptr<CInboxJournal> journal_;
    // The journal's reports, kept until a caller that acknowledges reports comes.
    std::vector<StatusReport> journalReports_;
    std::atomic<bool> reportsKept_{false};
};

// "20yy-mm-dd hh:mm:ss" from the digit pairs of a record's time stamp, ending where the
// digits end.
void FormatReceivedStamp(const char* digits, char (&out)[32]);

}  // namespace GSM
