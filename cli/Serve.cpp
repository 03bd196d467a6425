// tarvik serve: one modem driven through a pipe, with JSON lines both ways.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Commands.h"
#include "Console.h"
#include "LocalText.h"
#include "Tracker.h"
#include "WriteConfirm.h"
#include "link/ServeLink.h"
#include "serial/CSXCom.h"

namespace TarvikCli {

namespace {

using Clock = std::chrono::steady_clock;
using TarvikLink::Code;
using TarvikLink::Event;
using TarvikLink::EventKind;
using TarvikLink::Json;
constexpr int kPollStepMs = 50;
// While a message is under way its reports are looked for this often: the library has no
// way to wake this loop, and a report should leave as soon as the modem answered.
constexpr int kReportStepMs = 5;
// How long an unacknowledged message waits before it is given again.
constexpr auto kAckResend = std::chrono::seconds(10);
// How long the modem may take to answer the ESC before the service opens the port.
constexpr int kEscapeSettleMs = 100;

// The texts of an event leave in UTF-8, whatever the local code page; one line at a time,
// from the loop and from the status asker alike.
void Emit(Event event) {
    static std::mutex lineLock;
    for (std::string* text : {&event.error, &event.number, &event.time, &event.text, &event.reply,
                              &event.modem.model, &event.modem.revision}) {
        *text = LocalToUtf8(*text);
    }
    if (event.health.operatorName) {
        *event.health.operatorName = LocalToUtf8(*event.health.operatorName);
    }
    const std::string line = TarvikLink::EventLine(event);
    std::lock_guard hold(lineLock);
    std::fputs(line.c_str(), stdout);
    std::fflush(stdout);
}

Event Made(EventKind kind, const Json& id = {}) {
    Event event;
    event.kind = kind;
    event.id = id;
    return event;
}

void EmitError(const Json& id, Code code, const std::string& why) {
    Emit(TarvikLink::ErrorEvent(id, code, why));
}

// The tracker keeps a request's id as JSON text.
Json IdOf(const std::string& json) {
    return json.empty() ? Json() : Json::parse(json);
}

struct SendRequest {
    Json id;
    std::string number;
    std::string text;
    std::optional<std::string> prefix;
    Tarvik::Session::SendOptions how;
};

void EmitMessage(const Received& message) {
    Event event = Made(EventKind::Message);
    event.key = message.key;
    event.number = message.number;
    event.time = message.time;
    event.text = message.text;
    if (message.parts > 1) {
        event.parts = message.parts;
        event.complete = message.missing.empty();
        event.missing = message.missing;
        event.keys = message.partKeys;
    }
    Emit(std::move(event));
}

struct HeldMessage {
    Received message;
    Clock::time_point given;
};

// The modem no longer keeps a report once it was read: the reader's acknowledgement is the
// only place it is safe.
struct HeldReport {
    Event event;
    Clock::time_point given;
};

// ESC to the port: a program killed between "AT+CMGS" and its body leaves the modem waiting
// for the body, taking every later command as text; ESC ends that wait, and a modem that
// is not waiting ignores it. Through the library's own port names and serial device.
void CancelPendingEntry(const Options& options) {
    CSXCom com;
    const int opened = options.device.empty() ? com.Open(options.port, options.baud)
                                              : com.OpenDevice(options.device, options.baud);
    if (opened == 1) {
        const char escape = 0x1B;
        com.Write(&escape, 1);
        // Its answer, if any, comes before the service opens the port and purges it.
        com.Pause(kEscapeSettleMs);
    }
    com.Close();
}

class CServer {
public:
    explicit CServer(const Options& options) : options_(options) {}
    ~CServer() {
        if (journal_ != nullptr) {
            std::fclose(journal_);
        }
    }
    CServer(const CServer&) = delete;
    CServer& operator=(const CServer&) = delete;

    int Run() {
        if (options_.cancelPending) {
            CancelPendingEntry(options_);
        }
        CSession session(
            [this](const Received& message) {
                EmitMessage(message);
                if (options_.ack) {
                    unacked_[message.key] = HeldMessage{message, Clock::now()};
                }
            },
            std::chrono::milliseconds(options_.reassemblyTimeoutMs));
        session_ = &session;
        if (!Begin(session)) {
            return kExitStartFailed;
        }
        Serve();
        // With a submission under way a stop does not wait for the network's answer; a
        // device that went away answers nothing, but what the library took off it before
        // is handed over all the same. Parts the journal holds come again at the next
        // start and are joined then.
        const char* journal = std::getenv("TARVIK_INBOX_JOURNAL");
        session.Stop(!gone_ && tracker_.Empty() && held_.empty(),
                     journal != nullptr && *journal != '\0');
        // A status still asked gets its answer (from a stopped service, at once) before the
        // last events.
        if (statusAsker_.joinable()) {
            statusAsker_.join();
        }
        TakeReports();
        RefuseUnwritten();
        if (gone_) {
            EmitError({}, Code::DeviceGone,
                      "the " + LineName(options_) + " went away (unplugged or reset)");
        }
        for (const SendRequest& request : held_) {
            EmitError(request.id, Code::NotQueued, "not queued: the service stopped first");
        }
        for (const TrackedMessage& message : tracker_.InFlight()) {
            EmitError(IdOf(message.id), Code::Stopped,
                      "sequence " + std::to_string(message.sequence) +
                          ": stopped before every part was reported");
        }
        Event stopped = Made(EventKind::Stopped);
        if (options_.ack) {
            stopped.unacked = static_cast<int64_t>(unacked_.size());
        }
        Emit(std::move(stopped));
        return gone_ ? TarvikLink::kExitDeviceGone : kExitDone;
    }

private:
    // The start, the journal, and the first events; false when serve cannot go on.
    bool Begin(CSession& session) {
        std::string why;
        if (!StartSession(session, options_, why)) {
            // A start that failed at the SIM is not tried again by itself: each try of a
            // wrong PIN brings the SIM nearer its block.
            EmitError(
                {}, StartFailedAtSim(session.LibraryReason()) ? Code::SimLocked : Code::StartFailed,
                why);
            return false;
        }
        // The library has rewritten its journal during the start; acknowledgements go
        // after what it keeps.
        const char* journal = std::getenv("TARVIK_INBOX_JOURNAL");
        if ((options_.ack || options_.ackReports) && journal != nullptr && *journal != '\0') {
            journal_ = std::fopen(journal, "ab");
            if (journal_ == nullptr) {
                EmitError({}, Code::StartFailed,
                          std::string("cannot append to the inbox journal ") + journal);
                session.Stop(false);
                return false;
            }
        }
        // A reader that keeps reports wants those of parts an earlier serve sent as well.
        if (options_.ackReports) {
            Tarvik::Session::AskReports();
        }
        Event ready = Made(EventKind::Ready);
        ready.port = options_.port;
        ready.device = options_.device;
        ready.version = TarvikLink::kVersion;
        Emit(std::move(ready));
        EmitModem(true);
        return true;
    }

    // At the end of input the messages under way are seen through (a pipe that closes
    // after its last request still gets its reports); a stop request or an interrupt ends
    // the service at once.
    void Serve() {
        bool reading = true;
        bool stopping = false;
        auto lastProgress = Clock::now();
        while (!stopping && Interrupts() == 0) {
            if (!reading && held_.empty() && tracker_.Empty()) {
                break;
            }
            if (!reading && Clock::now() - lastProgress >= kPartLimit) {
                break;
            }
            std::string line;
            const int step = tracker_.Empty() ? kPollStepMs : kReportStepMs;
            switch (reading ? ReadLine(line, step) : LineResult::TimedOut) {
                case LineResult::Line:
                    stopping = !Handle(line);
                    break;
                case LineResult::Ended:
                    reading = false;
                    // No `write` can come now: the parts that wait for one end unwritten.
                    writes_.RefuseAll();
                    break;
                case LineResult::TimedOut:
                    if (!reading) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(step));
                    }
                    break;
            }
            if (Pump() || reading) {
                lastProgress = Clock::now();
            }
            AnnounceWrites(reading);
            GiveAgain();
            AskHeldStatus();
            if (Tarvik::Session::DeviceGone()) {
                gone_ = true;
                break;
            }
        }
    }

    // The modem is asked beside the loop, which goes on taking requests: a message posted
    // meanwhile goes to the modem between two of the queries, not after all of them.
    // One still asking is never waited for here: it may wait for the line a part holds
    // while that part waits for its `write`, which only this loop reads. The request is
    // asked once that one ends.
    void AskStatus(const Json& id) {
        if (asking_) {
            heldStatus_ = id;
            return;
        }
        if (statusAsker_.joinable()) {
            statusAsker_.join();
        }
        asking_ = true;
        statusAsker_ = std::thread([this, id] {
            EmitModem(false, id);
            asking_ = false;
        });
    }

    void AskHeldStatus() {
        if (heldStatus_ && !asking_) {
            const Json id = *heldStatus_;
            heldStatus_.reset();
            AskStatus(id);
        }
    }

    // What the modem says of itself; its name and revision are asked once.
    void EmitModem(bool identify, const Json& id = {}) {
        std::string status;
        if (identify) {
            modem_.model = AnswerOf("AT+CGMM", AskQuery("AT+CGMM"), status);
            modem_.code = Tarvik::Session::ModelCode();
            modem_.revision = AnswerOf("AT+CGMR", AskQuery("AT+CGMR"), status);
        }
        modem_.signal = AnswerOf("AT+CSQ", AskQuery("AT+CSQ"), status);
        modem_.rssi = TarvikLink::RssiOf(modem_.signal);
        Event event = Made(EventKind::Modem, id);
        event.modem = modem_;
        if (const auto health = Tarvik::Session::Health()) {
            event.health = LinkHealth(*health);
        }
        Emit(std::move(event));
    }

    // False when the request ends the service.
    bool Handle(const std::string& line) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            return true;
        }
        std::string why;
        Json id;
        const auto request = TarvikLink::ParseRequest(line, why, id);
        if (!request) {
            // The parser's reason may quote the request's UTF-8; Emit converts from local.
            std::string local;
            EmitError(id, Code::InvalidRequest, Utf8ToLocal(why, local) ? local : why);
            return true;
        }
        switch (request->op) {
            case TarvikLink::Op::Stop:
                return false;
            case TarvikLink::Op::Ack:
                if (!options_.ack && !options_.ackReports) {
                    EmitError(id, Code::InvalidRequest, "\"ack\" needs serve --ack");
                } else if (unackedReports_.erase(request->key) == 0) {
                    Acknowledge(request->key);
                } else {
                    WriteAcks({request->key});
                }
                return true;
            case TarvikLink::Op::Status:
                AskStatus(id);
                return true;
            case TarvikLink::Op::At:
                Command(*request);
                return true;
            case TarvikLink::Op::Send:
                Send(*request);
                return true;
            case TarvikLink::Op::Write:
                if (!writes_.Write(id.dump(), request->part)) {
                    EmitError(id, Code::InvalidRequest,
                              "part " + std::to_string(request->part) +
                                  " of that send does not wait to be written");
                }
                return true;
        }
        return true;
    }

    void Command(const TarvikLink::Request& request) {
        // The worker keeps the line while a part waits for its write: a command would wait
        // for it, and this loop with it, and the write would never be read.
        if (writes_.Holding()) {
            EmitError(request.id, Code::InvalidRequest,
                      "a part waits for its write and holds the modem: write it first");
            return;
        }
        std::string command;
        if (!Utf8ToLocal(request.command, command)) {
            EmitError(
                request.id, Code::InvalidRequest,
                "the command holds a character that " + LocalCodePageName() + " does not have");
            return;
        }
        Event reply = Made(EventKind::Reply, request.id);
        reply.reply = AskModem(command, request.waitMs);
        Emit(std::move(reply));
    }

    void Send(const TarvikLink::Request& request) {
        SendRequest send;
        send.id = request.id;
        send.prefix = request.prefixGiven ? request.prefix : std::string(kDefaultPrefix);
        send.how.concatenate = !request.separate;
        send.how.maxParts = static_cast<std::size_t>(request.maxParts.value_or(options_.maxParts));
        send.how.statusReport = request.statusReport;
        send.how.reference = request.reference;
        send.how.onlyParts = request.onlyParts;
        send.how.confirmWrites = request.confirmWrites;
        const Json& id = request.id;
        if (!Utf8ToLocal(request.number, send.number) || !Utf8ToLocal(request.text, send.text)) {
            EmitError(id, Code::InvalidRequest,
                      "the text holds a character that " + LocalCodePageName() + " does not have");
            return;
        }
        if (send.text.empty()) {
            EmitError(id, Code::InvalidRequest, "the text is empty: nothing to send");
            return;
        }
        if (send.text.find('\0') != std::string::npos || !IsLocalText(send.text)) {
            EmitError(id, Code::InvalidRequest, "the text is not valid " + LocalCodePageName());
            return;
        }
        if (const std::string problem = NumberProblem(send.number, send.prefix); !problem.empty()) {
            EmitError(id, Code::InvalidRequest, problem);
            return;
        }
        held_.push_back(std::move(send));
        QueueHeld();
    }

    // A key acknowledged twice, or never given, changes nothing. A long message's key
    // acknowledges each of its parts; a part's own key, that part.
    void Acknowledge(const std::string& key) {
        std::vector<std::string> parts;
        if (const auto it = unacked_.find(key); it != unacked_.end()) {
            const Received& message = it->second.message;
            // A message still missing a part keeps its parts in the journal until it is
            // whole or given up on, so that a late part after a restart finds them.
            if (message.missing.empty()) {
                parts = message.partKeys;
                deferred_.erase(key);
            } else {
                deferred_[key] = message.partKeys;
            }
            unacked_.erase(it);
        } else {
            for (auto held = unacked_.begin(); held != unacked_.end(); ++held) {
                std::vector<std::string>& keys = held->second.message.partKeys;
                if (std::erase(keys, key) > 0) {
                    parts = {key};
                    if (keys.empty()) {
                        unacked_.erase(held);
                    }
                    break;
                }
            }
        }
        WriteAcks(parts);
    }

    void WriteAcks(const std::vector<std::string>& parts) {
        if (journal_ == nullptr || parts.empty()) {
            return;
        }
        // Not flushed to the disk: an acknowledgement lost in a crash only gives the
        // message once more, under the same key.
        std::string records;
        for (const std::string& part : parts) {
            records += "\nA " + part + "\n";
        }
        std::fwrite(records.data(), 1, records.size(), journal_);
        std::fflush(journal_);
    }

    void GiveAgain() {
        const auto now = Clock::now();
        for (auto& [key, held] : unacked_) {
            if (now - held.given >= kAckResend) {
                EmitMessage(held.message);
                held.given = now;
            }
        }
        for (auto& [key, held] : unackedReports_) {
            if (now - held.given >= kAckResend) {
                Emit(held.event);
                held.given = now;
            }
        }
    }

    // Queues held requests in order while the tags stay apart and the queue has room.
    void QueueHeld() {
        while (!held_.empty() && !tracker_.Full()) {
            SendRequest& request = held_.front();
            const Tarvik::Session::SendResult sent = Tarvik::Session::SendText(
                request.text, request.number, request.prefix, request.how);
            if (sent.sequence < 1) {
                if (sent.queueFull && !tracker_.Empty()) {
                    return;  // the queue is full: it drains as parts go
                }
                EmitRefusal(request.id, sent);
                held_.pop_front();
                continue;
            }
            Event queued = Made(EventKind::Queued, request.id);
            queued.sequence = sent.sequence;
            queued.parts = static_cast<int>(sent.parts);
            queued.concatenated = sent.concatenated;
            queued.concatReference = sent.reference;
            queued.statusReport = sent.statusReport;
            Emit(std::move(queued));
            tracker_.Queued(sent.sequence, std::move(request.text),
                            request.id.is_null() ? std::string() : request.id.dump(),
                            sent.concatenated, static_cast<int>(sent.parts));
            held_.pop_front();
        }
    }

    // The message in flight that carries `tag`; none when no such message is.
    const TrackedMessage* FlightOf(int32_t tag) const {
        const auto& flight = tracker_.InFlight();
        const auto it = std::find_if(flight.begin(), flight.end(),
                                     [&](const auto& m) { return TagOf(m.sequence) == tag; });
        return it == flight.end() ? nullptr : &*it;
    }

    // Each part that began to wait for its write is announced under its send's id; with no
    // input left it ends unwritten at once.
    void AnnounceWrites(bool reading) {
        for (CWriteConfirm::Waiting waiting : writes_.Take()) {
            const TrackedMessage* message = FlightOf(waiting.tag);
            if (message == nullptr) {
                Tarvik::Session::AnswerWrite(waiting.tag, waiting.part, false);
                continue;
            }
            Event writing = Made(EventKind::Writing, IdOf(message->id));
            writing.sequence = message->sequence;
            writing.part = waiting.part;
            Emit(std::move(writing));
            waiting.id = message->id;
            writes_.Announced(std::move(waiting));
            if (!reading) {
                writes_.RefuseAll();
            }
        }
    }

    // A stop ended the service while parts waited for their write: their bodies never went.
    // One let go without its report may have gone: its message is reported stopped.
    void RefuseUnwritten() {
        for (const CWriteConfirm::Waiting& waiting : writes_.Unreported()) {
            if (waiting.let) {
                continue;
            }
            const TrackedMessage* message = FlightOf(waiting.tag);
            Event event = Made(EventKind::Report, IdOf(waiting.id));
            event.sequence = message != nullptr ? message->sequence : waiting.tag;
            event.part = waiting.part;
            event.code = Code::NotWritten;
            event.error = "the service stopped before the part's write came: it was not written";
            Emit(std::move(event));
        }
    }

    static void EmitRefusal(const Json& id, const Tarvik::Session::SendResult& sent) {
        if (sent.queueFull) {
            EmitError(id, Code::TooLong,
                      "the text is too long: it needs more parts than the library's queue holds");
        } else if (sent.refusal.find("(max_parts)") != std::string::npos) {
            EmitError(id, Code::TooLong, "the text is too long: " + sent.refusal);
        } else {
            EmitError(id, Code::NotQueued, "not queued: " + sent.refusal);
        }
    }

    // Parts the journal need keep no longer.
    void LetGo() {
        // A copy of a part whose message was acknowledged already would otherwise wait in
        // the journal, and come back after a restart as a message of one part.
        for (const std::string& key : session_->TakeSpentKeys()) {
            const auto holds = [&](const std::vector<std::string>& keys) {
                return std::find(keys.begin(), keys.end(), key) != keys.end();
            };
            const bool held = std::any_of(unacked_.begin(), unacked_.end(),
                                          [&](const auto& entry) {
                                              return holds(entry.second.message.partKeys);
                                          }) ||
                              std::any_of(deferred_.begin(), deferred_.end(),
                                          [&](const auto& entry) { return holds(entry.second); });
            if (!held) {
                WriteAcks({key});
            }
        }
        for (const std::string& key : session_->TakeForgottenKeys()) {
            if (const auto it = deferred_.find(key); it != deferred_.end()) {
                WriteAcks(it->second);
                deferred_.erase(it);
            }
        }
    }

    // True when a report came.
    bool Pump() {
        // The library gives a part's outcome before its delivery report: taken first and told
        // after the outcomes, a report never reaches the reader before its part's reference.
        std::vector<Tarvik::StatusReport> delivered;
        while (auto report = Tarvik::Session::NextStatusReport()) {
            delivered.push_back(std::move(*report));
        }
        session_->Fetch();
        LetGo();
        const bool reported = TakeReports();
        TellStatusReports(delivered);
        QueueHeld();
        return reported || !delivered.empty();
    }

    // Delivery reports, each an event of its own; matching them to parts is the reader's.
    void TellStatusReports(const std::vector<Tarvik::StatusReport>& reports) {
        for (const Tarvik::StatusReport& report : reports) {
            Event event = Made(EventKind::StatusReport);
            event.reference = report.reference;
            event.number = (report.internationalRecipient ? "+" : "") + report.recipient;
            event.status = report.status;
            event.scTime = report.serviceCentreTime;
            event.dischargeTime = report.dischargeTime;
            if (options_.ackReports) {
                // The journal's key: a report given again after a restart keeps it.
                event.key = Tarvik::ReportKey(report);
                unackedReports_[event.key] = HeldReport{event, Clock::now()};
            }
            Emit(std::move(event));
        }
    }

    bool TakeReports() {
        Tarvik::PartOutcome report;
        bool reported = false;
        while (session_->NextReport(report)) {
            reported = true;
            const PartOutcome outcome = tracker_.Report(report.report);
            Event event = Made(EventKind::Report, IdOf(outcome.message.id));
            event.sequence = outcome.message.sequence;
            // The part's own number in its split: a retry sends some parts only.
            event.part = report.partNumber > 0 ? report.partNumber : outcome.part;
            writes_.Reported(report.report.sequence, event.part);
            event.accepted = outcome.accepted;
            if (report.messageReference >= 0) {
                event.reference = report.messageReference;
            }
            if (!outcome.accepted) {
                event.code = report.notWritten ? Code::NotWritten : Code::Refused;
                event.error = OneLine(LastError());
            }
            Emit(event);
            if (outcome.complete) {
                event.kind = EventKind::Sent;
                event.parts = outcome.message.partsReported;
                event.acceptedParts = outcome.message.partsAccepted;
                event.concatenated = outcome.message.concatenated;
                Emit(std::move(event));
            }
        }
        return reported;
    }

    const Options& options_;
    CSession* session_ = nullptr;
    CTracker tracker_;
    CWriteConfirm writes_;
    std::deque<SendRequest> held_;
    std::map<std::string, HeldMessage> unacked_;
    std::map<std::string, HeldReport> unackedReports_;
    // Acknowledged messages still missing a part: their part keys, written when they are
    // whole or given up on.
    std::map<std::string, std::vector<std::string>> deferred_;
    std::FILE* journal_ = nullptr;
    TarvikLink::ModemInfo modem_;  // written by the start, then by the status asker alone
    std::thread statusAsker_;
    std::atomic<bool> asking_ = false;
    std::optional<Json> heldStatus_;  // a status request that came while one was asked
    bool gone_ = false;               // the device went away
};

}  // namespace

int RunServe(const Options& options) {
    return CServer(options).Run();
}

}  // namespace TarvikCli
