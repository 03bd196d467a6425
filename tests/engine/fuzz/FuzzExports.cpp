// The exports with arbitrary arguments against a service started on the in-memory device.
// A responder plays a well-behaved modem of the model the input picks; raw commands get
// arbitrary bursts from the input besides. Every input starts the service and stops it.
#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "FakeLine.h"
#include "FuzzCheck.h"
#include "Tarvik.h"
#include "engine/ModelTable.h"
#include "engine/ProcessState.h"
#include "serial/PortNames.h"
#include "service/ServiceHost.h"

namespace {

using EngineFuzz::Require;

constexpr serial::SerialTiming kNoWaiting{0, 0, 0, 0, 0, 0, 0};
constexpr int kMaxCalls = 48;
constexpr int kCommandReplyBytes = 1025;

std::atomic<std::size_t> modelName{0};
std::atomic<bool> offerMessage{false};
std::atomic<bool> ucs2Operator{false};

bool Has(std::string_view text, std::string_view word) {
    return text.find(word) != std::string_view::npos;
}

constexpr char kPdu[] = "07917283010010F5040BC87238880900F10000993092516195800AE8329BFD4697D9EC37";

std::string Listing(std::string_view command) {
    const int32_t code = GSM::modelCode.load();
    if (Has(command, "=\"UREAD\"")) {
        return "\r\n+CMGL: 3,\"REC "
               "UNREAD\",\"13912345678\",,\"24/03/05,14:07:09+32\"\r\n\r\nOK\r\n";
    }
    if (Has(command, "=\"ALL\"")) {
        return "\r\n+CMGL: 3,\"REC UNREAD\",\"002B0031003300390031\",\"18/09/28,09:39:55+32\"\r\n"
               "00410042\r\n\r\nOK\r\n";
    }
    const GSM::ReceiveProfile& receive = GSM::ProfileOf(code).receive;
    const std::string tag(receive.listingTag);
    const std::string gap = receive.blankLineAfterHeader ? "\r\n\r\n" : "\r\n";
    return "\r\n" + tag + " 3,1,,28" + gap + kPdu + "\r\n\r\nOK\r\n";
}

// Every name of the table, in matching order.
const std::vector<std::string_view>& ModelNames() {
    static const std::vector<std::string_view> names = [] {
        std::vector<std::string_view> all;
        for (const GSM::ModelProfile& profile : GSM::kModelProfiles) {
            const auto own = GSM::NamesOf(profile);
            all.insert(all.end(), own.begin(), own.end());
        }
        return all;
    }();
    return names;
}

// A modem that answers everything the way the engine hopes.
std::string Respond(std::string_view written) {
    if (Has(written, "AT+GMM") || Has(written, "AT+CGMM") || Has(written, "AT+CGMR")) {
        const std::vector<std::string_view>& names = ModelNames();
        return "\r\n" + std::string(names[modelName.load() % names.size()]) + "\r\n\r\nOK\r\n";
    }
    if (Has(written, "AT+CIMI")) {
        return ucs2Operator.load() ? "\r\n460031234567890\r\n\r\nOK\r\n"
                                   : "\r\n460001234567890\r\n\r\nOK\r\n";
    }
    if (Has(written, "AT+CSCA?")) {
        return "\r\n+CSCA: \"+8613800100500\",145\r\n\r\nOK\r\n";
    }
    if (Has(written, "AT+CMGS")) {
        return Has(written, "\x1A") ? "\r\n+CDS: 6\r\n\r\nOK\r\n" : "\r\n> ";
    }
    if (!written.empty() && written.back() == '\x1A') {
        return "\r\n+CMGS: 5\r\n\r\nOK\r\n";
    }
    if (written == "\x1B") {
        return {};
    }
    if (Has(written, "AT+CMGL")) {
        return offerMessage.load() ? Listing(written) : "\r\nOK\r\n";
    }
    if (Has(written, "AT+CMGR=")) {
        return "\r\n+CMGR: \"REC UNREAD\",\"13912345678\",\"2018/09/28 09:39:55\",0,2,0,0,"
               "\"+8613800100500\",145,5\r\nHello\r\n\r\nOK\r\n";
    }
    return "\r\nOK\r\n";
}

// A text argument: absent, or arbitrary bytes up to the first NUL.
struct Text {
    std::string bytes;
    bool present;
    const char* Get() const { return present ? bytes.c_str() : nullptr; }
};

Text TakeText(FuzzedDataProvider& in, std::size_t maxLength) {
    const bool present = in.ConsumeIntegralInRange<int>(0, 15) != 0;
    return Text{in.ConsumeRandomLengthString(maxLength), present};
}

void CheckReport(FuzzedDataProvider& in, bool started) {
    auto report = std::make_unique<SendReport>();
    std::memset(report.get(), 'x', sizeof *report);
    const int32_t result = SMSReport(in.ConsumeBool() ? report.get() : nullptr);
    Require(started ? (result == 0 || result == 1) : result == -1, "SMSReport result");
    if (result == 1) {
        EngineFuzz::RequireTerminated(report->text, "report text terminated");
        EngineFuzz::RequireTerminated(report->number, "report number terminated");
        Require(report->result == 0 || report->result == 1, "report result 0 or 1");
        Require(report->sequence >= -128 && report->sequence <= 127, "report sequence one byte");
    }
}

void CheckMessage(FuzzedDataProvider& in, bool started) {
    auto message = std::make_unique<RecvMsg>();
    std::memset(message.get(), 'x', sizeof *message);
    const int32_t result = SMSGetNextMessage(in.ConsumeBool() ? message.get() : nullptr);
    Require(started ? (result == 0 || result == 1) : result == -1, "SMSGetNextMessage result");
    if (result == 1) {
        EngineFuzz::RequireTerminated(message->text, "message text terminated");
        EngineFuzz::RequireTerminated(message->number, "message number terminated");
        EngineFuzz::RequireTerminated(message->timestamp, "message time stamp terminated");
    }
}

void CheckCommand(FuzzedDataProvider& in, bool started) {
    const Text command = TakeText(in, 2048);
    const bool withReply = in.ConsumeIntegralInRange<int>(0, 15) != 0;
    const int32_t waitMs = in.ConsumeIntegral<int32_t>();
    EngineFuzz::Burst burst{in.ConsumeRandomLengthString(3000), in.ConsumeBool()};
    EngineFuzz::Line().Push(std::move(burst));
    // Exactly the room the header asks for, so that a byte more shows.
    auto reply = std::make_unique<char[]>(kCommandReplyBytes);
    std::memset(reply.get(), 'x', kCommandReplyBytes);
    const int32_t count = SMSCommand(command.Get(), withReply ? reply.get() : nullptr, waitMs);
    if (!started) {
        Require(count == -1, "SMSCommand when stopped");
        return;
    }
    Require(count >= 0 && count < kCommandReplyBytes, "SMSCommand count in 0..1024");
    if (withReply && command.present) {
        Require(reply[static_cast<std::size_t>(count)] == '\0', "SMSCommand reply terminated");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The library's port, run over the fuzzer's line.
    GSM::ServiceHost().port.AttachLine(EngineFuzz::Line());
    GSM::ServiceHost().port.SetTiming(kNoWaiting);
    EngineFuzz::Line().SetSilenceLimit(-1);
    EngineFuzz::Line().SetResponder(Respond);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    modelName.store(in.ConsumeIntegral<uint8_t>());
    offerMessage.store(in.ConsumeBool());
    ucs2Operator.store(in.ConsumeBool());
    EngineFuzz::Line().Reset();
    bool started = SMSStartService(1, 115200, 0, 0, 0, 0, nullptr) == 1;
    Require(started, "the service starts on a well-behaved modem");

    for (int call = 0; call < kMaxCalls && in.remaining_bytes() > 0; ++call) {
        const int op = in.ConsumeIntegralInRange<int>(0, 10);
        switch (op) {
            case 0: {
                const Text text = TakeText(in, 1200);
                const Text number = TakeText(in, 40);
                const Text prefix = TakeText(in, 8);
                const int32_t sequence = SMSSendMessage2(text.Get(), number.Get(), prefix.Get());
                Require(sequence == -1 || (started && sequence >= 1), "SMSSendMessage2 result");
                break;
            }
            case 1: {
                const Text text = TakeText(in, 600);
                const Text number = TakeText(in, 40);
                const int32_t sequence = SMSSendMessage(text.Get(), number.Get());
                Require(sequence == -1 || (started && sequence >= 1), "SMSSendMessage result");
                break;
            }
            case 2:
                CheckReport(in, started);
                break;
            case 3:
                CheckMessage(in, started);
                break;
            case 4:
                CheckCommand(in, started);
                break;
            case 5: {
                const int32_t result = SMSSetCountryCode(in.ConsumeIntegral<int32_t>());
                Require(result == (started ? 1 : -1), "SMSSetCountryCode result");
                break;
            }
            case 6: {
                const int32_t count = SMSCounts();
                Require(started ? (count >= 0 && count <= 500) : count == -1, "SMSCounts range");
                break;
            }
            case 7: {
                auto text = std::make_unique<char[]>(GSM::kLastErrorCapacity);
                const int32_t length = SMSGetLastError(in.ConsumeBool() ? text.get() : nullptr);
                Require(length >= 0 && length < GSM::kLastErrorCapacity, "SMSGetLastError length");
                break;
            }
            case 8:
                Require(SMSStopSerice() == 1, "SMSStopSerice gives 1");
                started = false;
                break;
            case 9: {
                const int32_t port = in.ConsumeIntegralInRange<int32_t>(-2, 1030);
                if (!started) {
                    // A stopped port was closed, and opening it drops what was waiting: the
                    // restarted modem has no stale replies queued, as the real line would not.
                    EngineFuzz::Line().Reset();
                }
                const int32_t result = SMSStartService(port, 115200, 0, 0, 0, 0, nullptr);
                Require(result == 0 || result == 1, "SMSStartService gives 0 or 1");
                // Ports without a device name cannot open, even on the fake device.
                if (!started && !serial::PortDevicePath(port).empty()) {
                    Require(result == 1, "a start on a port with a device succeeds");
                }
                started = started || result == 1;
                break;
            }
            default: {
                // A burst the worker or the next raw command finds on the line.
                EngineFuzz::Burst burst{in.ConsumeRandomLengthString(3000), in.ConsumeBool()};
                EngineFuzz::Line().Push(std::move(burst));
                break;
            }
        }
    }
    SMSStopSerice();
    Require(SMSCounts() == -1, "SMSCounts after stop");
    return 0;
}
