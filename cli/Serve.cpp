// tarvik serve: one modem driven through a pipe, with JSON lines both ways.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <thread>

#include "Commands.h"
#include "Console.h"
#include "Json.h"
#include "LocalText.h"
#include "Tracker.h"

namespace TarvikCli {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPollStepMs = 50;
// How long an unacknowledged message waits before it is given again.
constexpr auto kAckResend = std::chrono::seconds(10);

void Emit(const CJsonLine& event) {
    std::fputs(event.Line().c_str(), stdout);
    std::fflush(stdout);
}

CJsonLine Event(const char* name, const std::string& id = {}) {
    CJsonLine event;
    event.Add("event", name);
    if (!id.empty()) {
        event.AddRaw("id", id);
    }
    return event;
}

void EmitError(const std::string& id, const std::string& why) {
    Emit(Event("error", id).Add("error", why));
}

struct SendRequest {
    std::string id;
    std::string number;
    std::string text;
    std::optional<std::string> prefix;
};

void EmitMessage(const std::string& key, const Received& message) {
    Emit(Event("message")
             .Add("key", key)
             .Add("number", message.number)
             .Add("time", message.time)
             .Add("text", message.text));
}

struct HeldMessage {
    Received message;
    Clock::time_point given;
};

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
        CSession session([this](const Received& message) {
            const std::string key = MessageKey(message);
            EmitMessage(key, message);
            if (options_.ack) {
                unacked_[key] = HeldMessage{message, Clock::now()};
            }
        });
        session_ = &session;
        std::string why;
        if (!StartSession(session, options_, why)) {
            EmitError({}, why);
            return kExitStartFailed;
        }
        // The library has rewritten its journal during the start; acknowledgements go
        // after what it keeps.
        const char* journal = std::getenv("TARVIK_INBOX_JOURNAL");
        if (options_.ack && journal != nullptr && *journal != '\0') {
            journal_ = std::fopen(journal, "ab");
            if (journal_ == nullptr) {
                EmitError({}, std::string("cannot append to the inbox journal ") + journal);
                session.Stop(false);
                return kExitStartFailed;
            }
        }
        Emit(Event("ready").Add("port", options_.port));
        // At the end of input the messages under way are seen through (a pipe that
        // closes after its last request still gets its reports); a stop request or an
        // interrupt ends the service at once.
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
            switch (reading ? ReadLine(line, kPollStepMs) : LineResult::TimedOut) {
                case LineResult::Line:
                    stopping = !Handle(line);
                    break;
                case LineResult::Ended:
                    reading = false;
                    break;
                case LineResult::TimedOut:
                    if (!reading) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
                    }
                    break;
            }
            if (Pump() || reading) {
                lastProgress = Clock::now();
            }
            GiveAgain();
        }
        // With a submission under way a stop does not wait for the network's answer.
        session.Stop(tracker_.Empty() && held_.empty());
        TakeReports();
        for (const SendRequest& request : held_) {
            EmitError(request.id, "not queued: the service stopped first");
        }
        for (const TrackedMessage& message : tracker_.InFlight()) {
            EmitError(message.id, "sequence " + std::to_string(message.sequence) +
                                      ": stopped before every part was reported");
        }
        CJsonLine stopped = Event("stopped");
        if (options_.ack) {
            stopped.Add("unacked", static_cast<int64_t>(unacked_.size()));
        }
        Emit(stopped);
        return kExitDone;
    }

private:
    // False when the request ends the service.
    bool Handle(const std::string& line) {
        if (line.find_first_not_of(" \t\r") == std::string::npos) {
            return true;
        }
        std::string error;
        const auto request = ParseJsonObject(line, error);
        if (!request) {
            EmitError({}, error);
            return true;
        }
        std::string id;
        if (const auto it = request->find("id"); it != request->end()) {
            if (it->second.kind != JsonValue::Kind::String &&
                it->second.kind != JsonValue::Kind::Number) {
                EmitError({}, "\"id\" must be a string or an integer");
                return true;
            }
            id = it->second.json;
        }
        const auto text = [&](const char* key) -> const JsonValue* {
            const auto it = request->find(key);
            return it != request->end() && it->second.kind == JsonValue::Kind::String ? &it->second
                                                                                      : nullptr;
        };
        const JsonValue* op = text("op");
        if (op == nullptr) {
            EmitError(id, "a request needs \"op\": \"send\", \"at\" or \"stop\"");
            return true;
        }
        if (op->text == "stop") {
            return false;
        }
        if (op->text == "ack") {
            const JsonValue* key = text("key");
            if (!options_.ack || key == nullptr) {
                EmitError(id, options_.ack ? "\"ack\" needs \"key\"" : "\"ack\" needs serve --ack");
                return true;
            }
            Acknowledge(key->text);
            return true;
        }
        if (op->text == "at") {
            const JsonValue* command = text("command");
            if (command == nullptr || command->text.empty()) {
                EmitError(id, "\"at\" needs \"command\"");
                return true;
            }
            int waitMs = 0;
            if (const auto it = request->find("wait"); it != request->end()) {
                if (it->second.kind != JsonValue::Kind::Number || it->second.number < 0 ||
                    it->second.number > 600000) {
                    EmitError(id, "\"wait\" takes milliseconds from 0 to 600000");
                    return true;
                }
                waitMs = static_cast<int>(it->second.number);
            }
            const std::string ended = command->text + "\r\n";
            char reply[1025] = {};
            const int count = SMSCommand(ended.c_str(), reply, waitMs);
            Emit(Event("reply", id)
                     .Add("reply",
                          std::string(reply, count > 0 ? static_cast<std::size_t>(count) : 0)));
            return true;
        }
        if (op->text != "send") {
            EmitError(id, "unknown \"op\": " + op->text);
            return true;
        }
        SendRequest send;
        send.id = id;
        const JsonValue* number = text("number");
        const JsonValue* body = text("text");
        if (number == nullptr || body == nullptr) {
            EmitError(id, "\"send\" needs \"number\" and \"text\", both strings");
            return true;
        }
        send.number = number->text;
        send.text = body->text;
        send.prefix = std::string(kDefaultPrefix);
        if (const auto it = request->find("prefix"); it != request->end()) {
            if (it->second.kind == JsonValue::Kind::Null) {
                send.prefix.reset();
            } else if (it->second.kind == JsonValue::Kind::String && !it->second.text.empty() &&
                       it->second.text.find_first_not_of("0123456789") == std::string::npos) {
                send.prefix = it->second.text;
            } else {
                EmitError(id, "\"prefix\" takes digits, or null for none");
                return true;
            }
        }
        if (send.text.empty()) {
            EmitError(id, "the text is empty: nothing to send");
            return true;
        }
        if (send.text.find('\0') != std::string::npos || !IsLocalText(send.text)) {
            EmitError(id, "the text is not valid " + LocalCodePageName());
            return true;
        }
        if (const std::string problem = NumberProblem(send.number, send.prefix); !problem.empty()) {
            EmitError(id, problem);
            return true;
        }
        held_.push_back(std::move(send));
        QueueHeld();
        return true;
    }

    // A key acknowledged twice, or never given, changes nothing.
    void Acknowledge(const std::string& key) {
        if (unacked_.erase(key) == 0 || journal_ == nullptr) {
            return;
        }
        // Not flushed to the disk: an acknowledgement lost in a crash only gives the
        // message once more, under the same key.
        const std::string record = "\nA " + key + "\n";
        std::fwrite(record.data(), 1, record.size(), journal_);
        std::fflush(journal_);
    }

    void GiveAgain() {
        const auto now = Clock::now();
        for (auto& [key, held] : unacked_) {
            if (now - held.given >= kAckResend) {
                EmitMessage(key, held.message);
                held.given = now;
            }
        }
    }

    // Queues held requests in order while the tags stay apart and the queue has room.
    void QueueHeld() {
        while (!held_.empty() && !tracker_.Full()) {
            SendRequest& request = held_.front();
            const int32_t sequence =
                SMSSendMessage2(request.text.c_str(), request.number.c_str(),
                                request.prefix ? request.prefix->c_str() : nullptr);
            if (sequence < 1) {
                if (!tracker_.Empty()) {
                    return;  // the queue is full: it drains as parts go
                }
                EmitError(request.id,
                          "the text is too long: it needs more parts than the "
                          "library's queue holds");
                held_.pop_front();
                continue;
            }
            Emit(Event("queued", request.id).Add("sequence", sequence));
            tracker_.Queued(sequence, std::move(request.text), request.id);
            held_.pop_front();
        }
    }

    // True when a report came.
    bool Pump() {
        session_->Fetch();
        const bool reported = TakeReports();
        QueueHeld();
        return reported;
    }

    bool TakeReports() {
        SendReport report{};
        bool reported = false;
        while (session_->NextReport(report)) {
            reported = true;
            const PartOutcome outcome = tracker_.Report(report);
            CJsonLine event = Event("report", outcome.message.id);
            event.Add("sequence", outcome.message.sequence).Add("part", outcome.part);
            event.Add("result", outcome.accepted ? "accepted" : "refused");
            if (!outcome.accepted) {
                event.Add("error", OneLine(LastError()));
            }
            Emit(event);
            if (outcome.complete) {
                Emit(Event("sent", outcome.message.id)
                         .Add("sequence", outcome.message.sequence)
                         .Add("parts", outcome.message.partsReported)
                         .Add("accepted", outcome.message.partsAccepted));
            }
        }
        return reported;
    }

    const Options& options_;
    CSession* session_ = nullptr;
    CTracker tracker_;
    std::deque<SendRequest> held_;
    std::map<std::string, HeldMessage> unacked_;
    std::FILE* journal_ = nullptr;
};

}  // namespace

int RunServe(const Options& options) {
    return CServer(options).Run();
}

}  // namespace TarvikCli
