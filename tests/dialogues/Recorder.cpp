// Records the dialogues of tests/dialogues/simulated from the simulated modems: each case
// runs engine operations (one, or a few in a row) over a real pseudo-terminal and writes what went
// each way.
//   dialogue_recorder <folder> [case...]   (from the build: tests/dialogues/dialogue_recorder)
// <folder> is tests/dialogues; the files go to its simulated/, beside the real captures.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "Dialogue.h"
#include "Modem.h"
#include "engine/ModelTable.h"
#include "engine/ProcessState.h"
#include "serial/SerialDevice.h"
#include "support/TempPortDir.h"

namespace {

using Dialogues::Fields;
using TestSupport::LineEvent;
using Clock = serial::LineClock;

// Passes everything to the device and keeps what went each way, bursts as the engine took
// them in, each with the silence in front of it.
class CRecordingLine final : public serial::IByteLine {
public:
    void Start() {
        events_.clear();
        last_ = Clock::now();
        recording_ = true;
    }
    std::vector<LineEvent> Events() const { return events_; }

    bool Open(const std::string& path) override { return device_.Open(path); }
    bool IsOpen() const override { return device_.IsOpen(); }
    void Close() override { device_.Close(); }
    bool Configure(int baudRate) override { return device_.Configure(baudRate); }
    bool QueryStatus(bool& lineError, std::size_t& queued) override {
        return device_.QueryStatus(lineError, queued);
    }
    serial::WaitResult WaitReadable(int timeoutMs) override {
        return device_.WaitReadable(timeoutMs);
    }
    serial::WaitResult WaitWritable(int timeoutMs) override {
        return device_.WaitWritable(timeoutMs);
    }
    long ReadSome(void* buffer, std::size_t capacity) override {
        const long n = device_.ReadSome(buffer, capacity);
        if (n > 0) {
            Note(LineEvent::Kind::Burst,
                 std::string(static_cast<const char*>(buffer), static_cast<std::size_t>(n)));
        }
        return n;
    }
    long WriteSome(const void* data, std::size_t length, int limitMs) override {
        const long n = device_.WriteSome(data, length, limitMs);
        if (n > 0) {
            Note(LineEvent::Kind::Write,
                 std::string(static_cast<const char*>(data), static_cast<std::size_t>(n)));
        }
        return n;
    }
    bool Flush(bool input, bool output) override { return device_.Flush(input, output); }
    bool Sleep(int timeoutMs) override { return device_.Sleep(timeoutMs); }
    void Wake() override { device_.Wake(); }
    void ClearWake() override { device_.ClearWake(); }

private:
    void Note(LineEvent::Kind kind, std::string bytes) {
        if (!recording_) {
            return;
        }
        const Clock::time_point now = Clock::now();
        const auto pause = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(now - last_).count());
        last_ = now;
        // Pieces of one burst the engine took in one go are one burst; so are writes.
        if (!events_.empty() && events_.back().kind == kind &&
            (kind == LineEvent::Kind::Write || pause < 2)) {
            events_.back().bytes += bytes;
            return;
        }
        events_.push_back({kind, std::move(bytes), kind == LineEvent::Kind::Burst ? pause : 0});
    }

    serial::CSerialDevice device_;
    std::vector<LineEvent> events_;
    Clock::time_point last_ = Clock::now();
    bool recording_ = false;
};

struct Case {
    std::string model;
    std::string name;
    Fields arguments;  // the operation and what it is given, besides the model code
    std::function<void(ModemSim::CModem&)> prepare = nullptr;
};

// Submissions and listings find the modem as the worker leaves it: set up, and in the
// part's coding. Neither is recorded.
bool Prepare(GSM::IComBaseCmd& engine, CSXCom& port, int32_t code, const Fields& arguments) {
    const auto any = [&](std::initializer_list<std::string_view> operations) {
        return std::any_of(arguments.begin(), arguments.end(), [&](const auto& field) {
            return field.first == "operation" && std::find(operations.begin(), operations.end(),
                                                           field.second) != operations.end();
        });
    };
    if (!any({"send", "read-messages", "list-indexes", "read-message", "delete"})) {
        return true;
    }
    if (GSM::SetupModem(engine, port, code) != GSM::Outcome::Done) {
        return false;
    }
    if (!any({"send"})) {
        return true;
    }
    const bool plain =
        std::find(arguments.begin(), arguments.end(),
                  std::pair<std::string, std::string>("coding", "0")) != arguments.end();
    const GSM::CodingSwitch& change = GSM::ProfileOf(code).codingSwitch;
    const GSM::CodingValues& values = plain ? change.plain : change.ucs2;
    switch (change.command) {
        case GSM::CodingCommand::MessageEncoding:
            engine.SetMessageEncoding(port, values.encoding[0], values.encoding[1]);
            return true;
        case GSM::CodingCommand::CharacterSet:
            return engine.SetCharacterSet(port, values.characterSet) == GSM::kStatusOk;
        case GSM::CodingCommand::MessageFormat:
            return engine.SetMessageFormat(port, values.format) == GSM::kStatusOk;
    }
    return false;
}

ModemSim::StoredMessage Message(std::string number, std::string text,
                                ModemSim::Coding coding = ModemSim::Coding::Gsm7) {
    ModemSim::StoredMessage message;
    message.number = std::move(number);
    message.text = std::move(text);
    message.coding = coding;
    return message;
}

void TwoMessages(ModemSim::CModem& modem) {
    modem.StoreMessage(Message("+8613912345678", "Hello"));
    modem.StoreMessage(Message("10086", "\xE4\xBD\xA0\xE5\xA5\xBD", ModemSim::Coding::Ucs2));
}

// A module that sends the service centre at once and its "OK" 400 ms later, and answers
// the next command a while behind that "OK".
void LateServiceCentreOk(ModemSim::CModem& modem) {
    modem.SplitReply("AT+CSCA?", 400, 1);
    modem.UpdateProfile([](auto& p) { p.replyLatencyMs = 100; });
}

// Operations in one dialogue, each right behind the one before.
Fields Then(Fields first, const Fields& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

Fields Send(const std::string& text, int coding) {
    return {{"operation", "send"},
            {"number", "8613912345678"},
            {"prefix", "2"},
            {"text", text},
            {"coding", std::to_string(coding)},
            {"international", "1"},
            {"service-centre", "8613800100500"}};
}

std::vector<Case> Cases() {
    const Fields identify = {{"operation", "identify"}};
    const Fields setup = {{"operation", "setup"}};
    const Fields read = {{"operation", "read-messages"}};
    const std::string chinese = "\xE4\xBD\xA0\xE5\xA5\xBD";
    return {
        // The common family.
        {"MU609", "identify", identify},
        {"MU609", "identify-echo", identify,
         [](ModemSim::CModem& m) { m.UpdateProfile([](auto& p) { p.echo = true; }); }},
        {"MU609", "setup", setup},
        {"MU609", "check-at", {{"operation", "check-at"}}},
        {"MU609",
         "check-at-silent",
         {{"operation", "check-at"}},
         [](ModemSim::CModem& m) { m.SilenceCommand("AT"); }},
        {"MU609",
         "check-sim-cme-error",
         {{"operation", "check-sim"}},
         [](ModemSim::CModem& m) { m.FailCommand("AT+CPIN?", "\r\n+CME ERROR: 10\r\n"); }},
        {"MU609",
         "echo-off-error",
         {{"operation", "echo-off"}},
         [](ModemSim::CModem& m) { m.FailCommand("ATE0"); }},
        {"MU609",
         "new-message-indication-error",
         {{"operation", "new-message-indication"}, {"values", "1,0,0,0,1"}},
         [](ModemSim::CModem& m) { m.FailCommand("AT+CNMI"); }},
        {"MU609",
         "preferred-storage-two-bursts",
         {{"operation", "preferred-storage"}, {"storages", "SM"}},
         [](ModemSim::CModem& m) { m.SplitReply("AT+CPMS", 400, 1); }},
        {"MU609", "message-format", {{"operation", "message-format"}, {"mode", "1"}}},
        {"MU609", "character-set", {{"operation", "character-set"}, {"name", "GSM"}}},
        {"MU609", "submit-parameters", {{"operation", "submit-parameters"}}},
        {"MU609", "get-service-centre", {{"operation", "get-service-centre"}}},
        {"MU609",
         "get-service-centre-error",
         {{"operation", "get-service-centre"}},
         [](ModemSim::CModem& m) { m.FailCommand("AT+CSCA?", "\r\n+CME ERROR: 10\r\n"); }},
        {"MU609",
         "set-service-centre",
         {{"operation", "set-service-centre"}, {"number", "+8613800100500"}}},
        {"MU609", "operator-code", {{"operation", "operator-code"}}},
        {"MU609", "send-text", Send("Hello [x]", 0)},
        {"MU609", "send-pdu", Send(chinese, 8)},
        {"MU609", "send-cms-error", Send("Hello", 0),
         [](ModemSim::CModem& m) { m.FailSubmission("\r\n+CMS ERROR: 500\r\n"); }},
        {"MU609", "send-result-in-bursts", Send("Hello", 0),
         [](ModemSim::CModem& m) { m.SplitSubmitResult(3, 150); }},
        {"MU609", "read-pdu-listing", read, TwoMessages},
        {"MU609", "read-listing-in-bursts", read,
         [](ModemSim::CModem& m) {
             TwoMessages(m);
             m.SplitListing("AT+CMGL", 1, 200, 1);
         }},
        {"MU609", "read-empty", read},
        {"MU609", "late-ok-before-listing", Then({{"operation", "get-service-centre"}}, read),
         [](ModemSim::CModem& m) {
             TwoMessages(m);
             LateServiceCentreOk(m);
         }},
        {"MU609", "late-ok-before-send",
         Then({{"operation", "get-service-centre"}, {"operation", "message-format"}, {"mode", "1"}},
              Send("Hello", 0)),
         LateServiceCentreOk},
        {"MU609", "delete", {{"operation", "delete"}, {"index", "1"}}, TwoMessages},
        {"MU609",
         "delete-error",
         {{"operation", "delete"}, {"index", "7"}},
         [](ModemSim::CModem& m) { m.FailCommand("AT+CMGD", "\r\n+CMS ERROR: 321\r\n"); }},
        {"UC20", "setup", setup},
        {"UC20", "send-text", Send("Hi", 0)},
        {"MG3732", "setup", setup},
        {"MT3732", "setup", setup},
        {"LQCIT", "identify-by-revision", identify,
         [](ModemSim::CModem& m) {
             m.UpdateProfile([](auto& p) {
                 p.identity.clear();
                 p.identity["AT+CGMR"] = "LQCIT_V2.1";
             });
         }},
        {"LQCIT", "setup", setup},
        // The blank-line and caret-tag dialects of the PDU listing.
        {"A8500", "setup", setup},
        {"A8500", "read-pdu-listing", read, TwoMessages},
        {"CEM630", "setup", setup},
        {"CEM630", "read-pdu-listing", read, TwoMessages},
        // The index dialect, with its unprompted submission.
        {"MC8332", "identify", identify},
        {"MC8332", "setup", setup},
        {"MC8332", "message-encoding", {{"operation", "message-encoding"}, {"values", "6,4"}}},
        {"MC8332", "send-unprompted-text", Send("Hi [x]", 0)},
        {"MC8332", "send-unprompted-ucs2", Send(chinese, 8)},
        {"MC8332", "read-by-index", read, TwoMessages},
        {"MC8332",
         "list-indexes",
         {{"operation", "list-indexes"}, {"status", "UREAD"}},
         TwoMessages},
        {"MC8332", "read-message", {{"operation", "read-message"}, {"index", "1"}}, TwoMessages},
        {"MC8332",
         "read-message-error",
         {{"operation", "read-message"}, {"index", "9"}},
         [](ModemSim::CModem& m) { m.FailCommand("AT+CMGR", "\r\n+CMS ERROR: 321\r\n"); }},
        {"MC8618", "setup", setup},
        {"MC8618", "read-by-index", read, TwoMessages},
        // The UCS2 text dialect.
        {"SIM6320C", "setup", setup},
        {"SIM6320C", "send-ucs2", Send(chinese, 8)},
        {"SIM6320C", "send-plain", Send("Hi", 0)},
        {"SIM6320C", "read-ucs2-listing", read, TwoMessages},
        // A code refined by the SIM's network.
        {"SIM7600CE", "setup-china-telecom", setup,
         [](ModemSim::CModem& m) { m.UpdateProfile([](auto& p) { p.imsi = "460031234567890"; }); }},
        {"SIM7600CE", "setup-other-network", setup},
    };
}

int Record(const Case& c, const std::string& folder) {
    constexpr int kPort = 9;
    TestSupport::TempPortDir dir;
    ModemSim::CModem modem(dir.Path(), kPort, ModemSim::ProfileFor(c.model));
    if (c.prepare) {
        c.prepare(modem);
    }
    const int32_t code = GSM::CodeOfReply(c.model);
    Fields header = {{"model", c.model}, {"code", std::to_string(code)}};
    header.insert(header.end(), c.arguments.begin(), c.arguments.end());

    CRecordingLine line;
    CSXCom port;
    port.AttachLine(line);
    GSM::IComBaseCmd engine;
    if (port.Open(kPort, 115200) != 1) {
        std::cerr << c.model << "-" << c.name << ": the port does not open\n";
        return 1;
    }
    if (!Prepare(engine, port, code, c.arguments)) {
        std::cerr << c.model << "-" << c.name << ": the set-up failed\n";
        return 1;
    }
    line.Start();
    const Fields results = Dialogues::Perform(engine, port, header);
    port.Close();

    Dialogues::Dialogue dialogue;
    dialogue.header = header;
    dialogue.header.insert(dialogue.header.end(), results.begin(), results.end());
    dialogue.exchange = line.Events();
    const std::string path = folder + "/simulated/" + c.model + "-" + c.name + ".dump";
    std::ofstream out(path, std::ios::binary);
    out << "# Recorded by dialogue_recorder from the simulated " << c.model << ".\n"
        << Dialogues::Format(dialogue);
    std::cout << path << "\n";
    return out ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: dialogue_recorder <folder> [<model>-<case>...]\n";
        return 2;
    }
    const std::vector<std::string> wanted(argv + 2, argv + argc);
    int failures = 0;
    for (const Case& c : Cases()) {
        const std::string name = c.model + "-" + c.name;
        if (!wanted.empty() && std::find(wanted.begin(), wanted.end(), name) == wanted.end()) {
            continue;
        }
        failures += Record(c, argv[1]);
    }
    return failures == 0 ? 0 : 1;
}
