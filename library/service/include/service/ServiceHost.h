// The process-wide service: the port, the engine, the sequence counter and, while started,
// the running CMsgService. Start and stop are serialised; every other caller takes its own
// hold on the service for the length of its call, so a stop never frees what another
// thread is still using.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/ComBaseCmd.h"
#include "engine/Health.h"
#include "serial/CSXCom.h"
#include "service/MsgService.h"
#include "service/ReferenceBook.h"
#include "service/Segmentation.h"
#include "service/WriteGate.h"

namespace GSM {

// A retry of a concatenated message (its reference and the part numbers still to send), and
// whether each body waits for the write gate.
struct Resend {
    std::optional<int> reference;
    std::vector<int> onlyParts;
    bool confirmWrites = false;
};

class CServiceHost {
public:
    CServiceHost() = default;
    // A process that exits or unloads the library while the service runs stops it first.
    // On Windows the one instance is never destroyed (ServiceInstanceWin32.cpp).
    ~CServiceHost() { Stop(); }
    CServiceHost(const CServiceHost&) = delete;
    CServiceHost& operator=(const CServiceHost&) = delete;

    // 1 when the service runs afterwards, 0 on failure.
    int Start(int portNumber, int baudRate);
    // The same on a device named by its path.
    int StartDevice(const std::string& devicePath, int baudRate);
    void Stop();

    // The running service, or null when not started.
    std::shared_ptr<CMsgService> Current() const;

    // The sequence number of a queued message; -1 when not started or the input is
    // unusable, or when the whole message does not fit the queue.
    int32_t SendMessage(const char* text, const char* number, const char* prefix);
    // The same for the project's own programs: how the text was cut, or why it was not queued.
    struct SendOutcome {
        int32_t sequence = -1;
        std::size_t parts = 0;  // queued
        bool concatenated = false;
        std::optional<int> reference;  // a concatenated message's
        std::size_t splitParts = 0;    // of the whole text
        std::string refusal;
        bool unusable = false;      // input the ten functions refuse without a reason
        bool queueFull = false;     // the queue had no room for every part: may fit later
        bool statusReport = false;  // the parts ask for delivery reports
    };
    SendOutcome SendLong(const char* text, const char* number, const char* prefix,
                         const LongOptions& options, const Resend& resend = {});
    // Told of each part that waits at the write gate, in this service and every later one.
    void SetWriteNotice(CWriteGate::Notice notice);
    // Raw command: reply bytes, 0 when the port is closed or an argument is null, -1 when
    // not started. The reply ends by silence, or with `rule` Port as the port is set (with
    // quick replies, at its final result).
    int32_t Command(const char* command, char* reply, int32_t waitMs,
                    BurstRule rule = BurstRule::Quiet);
    int32_t SetCountryCode(int32_t code);
    // What the modem tells of its health, asked now between the worker's operations; none
    // when not started.
    std::optional<ModemHealth> AskHealth();

    // Declared first so that it goes last.
    CSXCom port;
    IComBaseCmd engine;

private:
    // Queues a whole message under the next sequence number; -1 when it does not fit.
    int32_t Queue(CMsgService& service, std::span<OutgoingPart> parts);
    // A fresh concatenation reference for the recipient of `first`; none when none is free.
    std::optional<uint8_t> TakeReference(const OutgoingPart& first);
    // The start behind both: `open` opens the closed port, 1 on success.
    template <typename OpenPort>
    int StartWith(OpenPort&& open);

    // Held for each whole modem operation: by the worker, a raw command, a start.
    std::mutex engineLock_;
    std::mutex lifecycleLock_;
    mutable std::mutex serviceLock_;
    std::shared_ptr<CMsgService> service_;
    std::atomic<int32_t> sequenceCounter_{0};
    // TARVIK_LONG_MESSAGES at the last start: the ten functions send long texts whole.
    std::atomic<bool> longMessages_{false};
    std::mutex noticeLock_;
    CWriteGate::Notice writeNotice_;
    std::mutex referencesLock_;
    std::unique_ptr<CReferenceBook> references_;
};

// The one instance, created at first use.
CServiceHost& ServiceHost();

}  // namespace GSM
