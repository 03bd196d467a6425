#include "service/Session.h"

#include <array>
#include <cstring>
#include <utility>

#include "codec/Fields.h"
#include "codec/MessageKey.h"
#include "engine/ProcessState.h"
#include "service/InboxJournal.h"
#include "service/ServiceHost.h"

namespace Tarvik {

std::string SenderOf(const ReceivedPart& part) {
    const RecvMsg& message = part.message;
    std::string number(message.number, strnlen(message.number, sizeof message.number));
    return part.internationalSender && !number.empty() ? "+" + number : number;
}

std::string PartKey(const ReceivedPart& part) {
    const RecvMsg& message = part.message;
    std::string text(GSM::Fields::View(message.text));
    if (const auto& concat = part.concat) {
        text += '\x1F';
        text += (concat->wideReference ? "16:" : "8:") + std::to_string(concat->reference) + ':' +
                std::to_string(concat->count) + ':' + std::to_string(concat->number);
    }
    return GSM::MessageKey(GSM::Fields::View(message.number), GSM::Fields::View(message.timestamp),
                           text);
}

std::string ReportKey(const StatusReport& report) {
    const std::string what = "report\x1F" + std::to_string(report.reference) + '\x1F' +
                             std::to_string(report.status) + '\x1F' + report.dischargeTime;
    return GSM::MessageKey((report.internationalRecipient ? "+" : "") + report.recipient,
                           report.serviceCentreTime, what);
}

}  // namespace Tarvik

namespace Tarvik::Session {

namespace {
// As much as a raw command's reply holds.
constexpr std::size_t kQueryCapacity = 1024;
}  // namespace

bool Start(int port, int baudRate) {
    return GSM::ServiceHost().Start(port, baudRate) == 1;
}

bool StartDevice(const std::string& devicePath, int baudRate) {
    return GSM::ServiceHost().StartDevice(devicePath, baudRate) == 1;
}

bool DeviceGone() {
    return Running() && GSM::ServiceHost().port.DeviceGone();
}

void Stop() {
    GSM::ServiceHost().Stop();
}

bool Running() {
    return GSM::ServiceHost().Current() != nullptr;
}

std::string LastError() {
    char text[1024] = {};
    const int32_t length = GSM::CopyLastError(text);
    return std::string(text, length > 0 ? static_cast<std::size_t>(length) : 0);
}

int32_t Send(const std::string& text, const std::string& number,
             const std::optional<std::string>& prefix) {
    return GSM::ServiceHost().SendMessage(text.c_str(), number.c_str(),
                                          prefix ? prefix->c_str() : nullptr);
}

SendResult SendText(const std::string& text, const std::string& number,
                    const std::optional<std::string>& prefix, const SendOptions& options) {
    GSM::LongOptions cut;
    cut.concatenate = options.concatenate;
    cut.maxParts = options.maxParts;
    cut.statusReport = options.statusReport;
    GSM::Resend resend{options.reference, options.onlyParts, options.confirmWrites};
    const auto sent = GSM::ServiceHost().SendLong(text.c_str(), number.c_str(),
                                                  prefix ? prefix->c_str() : nullptr, cut, resend);
    SendResult result;
    result.sequence = sent.sequence;
    result.parts = sent.parts;
    result.concatenated = sent.concatenated;
    result.reference = sent.reference;
    result.splitParts = sent.splitParts;
    result.refusal = sent.refusal;
    result.queueFull = sent.queueFull;
    result.statusReport = sent.statusReport;
    return result;
}

void SetWriteNotice(WriteNotice notice) {
    GSM::ServiceHost().SetWriteNotice(std::move(notice));
}

bool AnswerWrite(int32_t tag, int part, bool go) {
    const auto service = GSM::ServiceHost().Current();
    return service != nullptr && service->writeGate.Answer(tag, part, go);
}

std::optional<PartOutcome> NextOutcome() {
    const auto service = GSM::ServiceHost().Current();
    PartOutcome outcome;
    if (service == nullptr || !service->PopOutcome(outcome)) {
        return std::nullopt;
    }
    return outcome;
}

std::optional<ReceivedPart> NextMessage() {
    const auto service = GSM::ServiceHost().Current();
    ReceivedPart part;
    if (service == nullptr || !service->PopPart(part)) {
        return std::nullopt;
    }
    return part;
}

std::optional<StatusReport> NextStatusReport() {
    const auto service = GSM::ServiceHost().Current();
    StatusReport report;
    if (service == nullptr || !service->PopStatusReport(report)) {
        return std::nullopt;
    }
    return report;
}

void AskReports() {
    if (const auto service = GSM::ServiceHost().Current()) {
        service->KeepReports();
        service->sendThread.AskReports();
    }
}

int32_t ModelCode() {
    return GSM::modelCode.load();
}

std::optional<ModemHealth> Health() {
    return GSM::ServiceHost().AskHealth();
}

int32_t Command(const char* command, char* reply, int32_t waitMs) {
    return GSM::ServiceHost().Command(command, reply, waitMs);
}

std::string Query(const std::string& command) {
    std::array<char, kQueryCapacity + 1> reply{};
    const int32_t count =
        GSM::ServiceHost().Command(command.c_str(), reply.data(), 0, BurstRule::Port);
    return std::string(reply.data(), count > 0 ? static_cast<std::size_t>(count) : 0);
}

}  // namespace Tarvik::Session
