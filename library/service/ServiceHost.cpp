#include "service/ServiceHost.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <string_view>
#include <thread>
#include <vector>

#include "codec/Fields.h"
#include "codec/Unsolicited.h"
#include "engine/ProcessState.h"
#include "engine/ReplyReader.h"
#include "engine/Reports.h"
#include "platform/Environment.h"
#include "platform/LibraryHold.h"
#include "service/Segmentation.h"

namespace GSM {

namespace {

// Reply buffer of a raw command; the caller's buffer holds one byte more.
constexpr int kCommandReplyCapacity = 1024;
// How long a health query gives way to queued parts, and how often it looks again.
constexpr auto kPartsFirstLimit = std::chrono::seconds(10);
constexpr auto kPartsFirstStep = std::chrono::milliseconds(5);

// Opt-in: replies end a settle gap after their final result instead of after the full
// silence. Read once per start; a running worker takes the new rule with its next read.
bool QuickRepliesWanted() {
    return platform::EnvironmentValue("TARVIK_QUICK_REPLIES") == "1";
}

}  // namespace

std::shared_ptr<CMsgService> CServiceHost::Current() const {
    std::lock_guard hold(serviceLock_);
    return service_;
}

int CServiceHost::Start(int portNumber, int baudRate) {
    return StartWith([&] { return port.Open(portNumber, baudRate); });
}

int CServiceHost::StartDevice(const std::string& devicePath, int baudRate) {
    return StartWith([&] { return port.OpenDevice(devicePath, baudRate); });
}

template <typename OpenPort>
int CServiceHost::StartWith(OpenPort&& open) {
    std::lock_guard lifecycle(lifecycleLock_);
    std::unique_lock line(engineLock_);
    if (!port.IsOpen() && open() == 0) {
        port.Close();
        return 0;
    }
    SetQuickReplies(port, QuickRepliesWanted());
    longMessages_ = platform::EnvironmentValue("TARVIK_LONG_MESSAGES") == "1";
    {
        std::lock_guard book(referencesLock_);
        references_ = std::make_unique<CReferenceBook>(CReferenceBook::PathFromEnvironment());
    }
    // Read at each start, as the quick-reply switch is; unset, no PIN is ever entered.
    engine.simPin.Give(platform::EnvironmentValue("TARVIK_PIN"));
    // This set-up is the modem's newest; what it showed before is settled by it.
    engine.notes.TakeLostSetup();
    modelCode.store(engine.Identify(port));
    if (SetupModem(engine, port, modelCode.load()) != Outcome::Done) {
        return 0;
    }
    if (Current() != nullptr) {
        return 1;
    }
    auto service = std::make_shared<CMsgService>(ModemLink{port, engine, engineLock_});
    {
        std::lock_guard notice(noticeLock_);
        service->writeGate.SetNotice(writeNotice_);
    }
    // A missing number leaves the field empty and its reason in the last-error text.
    engine.GetServiceCentre(port, service->serviceCentre, &service->serviceCentreInternational);
    line.unlock();
    if (!service->OpenJournal()) {
        return 0;
    }
    // Published only once its worker runs: a service without one would take messages it
    // never sends.
    if (!platform::HoldLibrary()) {
        return 0;
    }
    if (!service->sendThread.Start()) {
        platform::ReleaseLibrary();
        return 0;
    }
    std::lock_guard hold(serviceLock_);
    service_ = std::move(service);
    return 1;
}

void CServiceHost::Stop() {
    // Ask first, then wake every wait of the port: a start, a raw command or the worker
    // gives up its modem exchange at once instead of finishing it.
    if (auto running = Current()) {
        running->sendThread.RequestStop();
        // A part at the write gate ends as a failed prompt does, its ESC written while the
        // port still takes writes: the worker holds the line until then.
        if (running->writeGate.Close()) {
            std::lock_guard line(engineLock_);
        }
    }
    port.Interrupt();

    std::lock_guard lifecycle(lifecycleLock_);
    std::shared_ptr<CMsgService> service;
    {
        std::lock_guard hold(serviceLock_);
        service.swap(service_);
    }
    if (service != nullptr) {
        service->sendThread.Stop();
        platform::ReleaseLibrary();
    }
    {
        std::lock_guard line(engineLock_);
        port.Close();
    }
    if (service != nullptr) {
        // A caller still holding the service finds it empty; the last holder frees it.
        service->Discard();
    }
}

int32_t CServiceHost::SendMessage(const char* text, const char* number, const char* prefix) {
    const auto service = Current();
    if (service == nullptr) {
        return -1;
    }
    if (longMessages_) {
        const SendOutcome sent = SendLong(text, number, prefix, LongOptions{});
        if (!sent.refusal.empty() && !sent.unusable) {
            SetLastError(sent.refusal.c_str());
        }
        return sent.sequence;
    }
    std::vector<OutgoingPart> parts =
        CutMessage(text, number, prefix, modelCode.load(), service->serviceCentre,
                   service->serviceCentreInternational);
    return Queue(*service, parts);
}

int32_t CServiceHost::Queue(CMsgService& service, std::span<OutgoingPart> parts) {
    if (parts.empty()) {
        return -1;
    }
    int32_t sequence = -1;
    const bool queued = service.PushOutgoingAll(parts, [&](std::span<OutgoingPart> fitting) {
        sequence = sequenceCounter_.fetch_add(1) + 1;
        for (OutgoingPart& part : fitting) {
            part.record.tag = static_cast<int8_t>(static_cast<uint8_t>(sequence & 0xFF));
        }
    });
    return queued ? sequence : -1;
}

namespace {

// Keeps the parts a retry names, and gives every part the reference; the refusal, or empty.
std::string ApplyResend(LongCut& cut, const Resend& resend) {
    if (!cut.concatenated) {
        return "the text does not go as one concatenated message here: it has no reference to "
               "reuse and no parts to choose";
    }
    if (*resend.reference < 0 || *resend.reference > 255) {
        return "a concatenation reference is 0 to 255";
    }
    const std::size_t count = cut.parts.size();
    for (const int number : resend.onlyParts) {
        if (number < 1 || static_cast<std::size_t>(number) > count) {
            return "part " + std::to_string(number) + " is not one of the text's " +
                   std::to_string(count) + " parts";
        }
    }
    if (!resend.onlyParts.empty()) {
        std::erase_if(cut.parts, [&](const OutgoingPart& part) {
            return std::find(resend.onlyParts.begin(), resend.onlyParts.end(), part.concatNumber) ==
                   resend.onlyParts.end();
        });
    }
    for (OutgoingPart& part : cut.parts) {
        part.concatReference = static_cast<uint8_t>(*resend.reference);
    }
    return {};
}

}  // namespace

std::optional<uint8_t> CServiceHost::TakeReference(const OutgoingPart& first) {
    const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    // "+86139…" and "86139…" are one recipient.
    std::string_view recipient = Fields::View(first.record.number);
    if (recipient.starts_with('+')) {
        recipient.remove_prefix(1);
    }
    std::lock_guard book(referencesLock_);
    return references_ ? references_->Take(recipient, now) : std::nullopt;
}

CServiceHost::SendOutcome CServiceHost::SendLong(const char* text, const char* number,
                                                 const char* prefix, const LongOptions& options,
                                                 const Resend& resend) {
    SendOutcome sent;
    const auto service = Current();
    if (service == nullptr) {
        sent.refusal = "the service is not started";
        return sent;
    }
    LongCut cut = CutLongMessage(text, number, prefix, modelCode.load(), service->serviceCentre,
                                 service->serviceCentreInternational, options);
    if (cut.refusal.empty() && (resend.reference || !resend.onlyParts.empty())) {
        cut.refusal = resend.reference ? ApplyResend(cut, resend)
                                       : "the parts to send need the message's reference";
    } else if (cut.refusal.empty() && cut.concatenated) {
        // Spent even when the queue then refuses the message: a skipped reference harms none.
        const std::optional<uint8_t> reference = TakeReference(cut.parts.front());
        if (!reference) {
            cut.refusal =
                "no concatenation reference free for this number: every one was used within a "
                "day, or the reference file cannot be written";
        }
        for (OutgoingPart& part : cut.parts) {
            part.concatReference = reference.value_or(0);
        }
    }
    if (!cut.refusal.empty()) {
        sent.refusal = cut.refusal;
        sent.unusable = cut.unusable;
        return sent;
    }
    sent.splitParts = cut.concatenated ? cut.parts.front().concatCount : cut.parts.size();
    // Reports are asked for only where the model's row knows how they come back.
    const bool reports = options.statusReport && ReportIndication(modelCode.load()).has_value();
    for (std::size_t i = 0; i < cut.parts.size(); ++i) {
        cut.parts[i].confirmWrite = resend.confirmWrites;
        cut.parts[i].statusReport = reports;
        if (!cut.concatenated) {
            cut.parts[i].concatNumber = static_cast<uint8_t>(std::min<std::size_t>(i + 1, 255));
        }
    }
    sent.sequence = Queue(*service, cut.parts);
    if (sent.sequence < 0) {
        sent.refusal = "the queue cannot take the whole text";
        sent.queueFull = true;
        return sent;
    }
    sent.parts = cut.parts.size();
    sent.concatenated = cut.concatenated;
    sent.statusReport = reports;
    if (cut.concatenated) {
        sent.reference = cut.parts.front().concatReference;
    }
    return sent;
}

void CServiceHost::SetWriteNotice(CWriteGate::Notice notice) {
    std::lock_guard hold(noticeLock_);
    writeNotice_ = notice;
    if (const auto service = Current()) {
        service->writeGate.SetNotice(std::move(notice));
    }
}

int32_t CServiceHost::Command(const char* command, char* reply, int32_t waitMs, BurstRule rule) {
    const auto service = Current();
    if (service == nullptr) {
        return -1;
    }
    if (command == nullptr || reply == nullptr) {
        return 0;
    }
    // Waits for the operation the worker has under way, then has the line to itself.
    std::lock_guard line(engineLock_);
    if (!port.IsOpen()) {
        return 0;
    }
    port.Write(command, static_cast<int>(std::strlen(command)));
    port.Pause(std::max(0, waitMs));
    char received[kCommandReplyCapacity] = {};
    // SMSCommand's caller chose how long to wait, so its reply ends by silence alone; a
    // query of the second face ends as the port is set.
    const int count = std::max(0, port.Read(received, kCommandReplyCapacity, rule));
    // The caller gets the reply as the modem gave it; a delivery report in it is noted all
    // the same, or the worker, which reads reports only from its own replies, never sees it.
    const std::string tag = TagOfCommand(command);
    const std::string_view raw(received, static_cast<std::size_t>(count));
    CleanText cleaned =
        tag.empty() ? CleanReply(raw, {}) : CleanReply(raw, {std::string_view(tag)});
    cleaned.lostSetup = false;  // the caller's command is the caller's: no set-up follows it
    engine.notes.Note(std::move(cleaned));
    std::memcpy(reply, received, static_cast<std::size_t>(count));
    reply[count] = '\0';
    return count;
}

std::optional<ModemHealth> CServiceHost::AskHealth() {
    const auto service = Current();
    if (service == nullptr) {
        return std::nullopt;
    }
    bool open = true;
    const ModemHealth health =
        GSM::AskHealth(engine, port, [&](const std::function<std::string()>& ask) {
            // The line is taken one query at a time and queued parts go first: a message
            // never waits behind the whole of a health check.
            const auto limit = std::chrono::steady_clock::now() + kPartsFirstLimit;
            while (service->OutgoingCount() > 0 && std::chrono::steady_clock::now() < limit) {
                std::this_thread::sleep_for(kPartsFirstStep);
            }
            std::lock_guard line(engineLock_);
            open = open && port.IsOpen();
            return open ? ask() : std::string();
        });
    if (!open) {
        return std::nullopt;
    }
    // A poll is also when a modem that dropped its report routing is found out, cheaply.
    service->sendThread.CheckRoutingSoon();
    return health;
}

int32_t CServiceHost::SetCountryCode(int32_t code) {
    if (Current() == nullptr) {
        return -1;
    }
    engine.SetCountryCode(code);
    return 1;
}

}  // namespace GSM
