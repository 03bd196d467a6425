// One run of the service on one port, as every subcommand uses it: start with a clear
// reason on failure, fetch what the library keeps, and a stop that loses nothing the
// library already holds.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "Format.h"
#include "service/Joiner.h"
#include "service/Session.h"

namespace TarvikCli {

class CSession {
public:
    // `onMessage` gets every message the library hands over, in order, a long message once
    // its parts are in or `reassembly` after its first part came.
    explicit CSession(std::function<void(const Received&)> onMessage,
                      std::chrono::milliseconds reassembly = std::chrono::hours(24));
    ~CSession() { Stop(false); }
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    // True when the service runs on `device`, or on port `port` when no device is named;
    // otherwise `why` says what failed.
    bool Start(int port, const std::string& device, int baud, std::string& why);
    // The library's own reason for the last failed start; empty when the port did not open.
    const std::string& LibraryReason() const { return libraryReason_; }

    // Hands over the waiting messages and keeps the waiting reports for NextReport.
    void Fetch();
    bool NextReport(Tarvik::PartOutcome& outcome);
    // The keys of parts that came again after their message was handed over.
    std::vector<std::string> TakeSpentKeys() { return joiner_.TakeSpent(); }
    // The keys of messages handed over without a part whose late parts are no longer waited
    // for.
    std::vector<std::string> TakeForgottenKeys() { return joiner_.TakeForgotten(); }

    // Waits until the worker has finished the modem operation it has under way (a raw
    // command waits for it and then holds the line), then fetches. After it, the worker
    // needs at least a listing's time before it can keep another message.
    void Settle();

    // Fetches and stops: every message the library kept is handed over first. Settling
    // first also hands over what the listing under way brings; without it the stop is at
    // once, for a caller that gives up on a submission the network is slow to confirm.
    // The parts of long messages still waiting are handed over as they stand, unless the
    // inbox journal keeps them for the next start (`partsKept`).
    void Stop(bool settle = true, bool partsKept = false);

    // For an interrupt that comes while the start talks to the modem: the start gives up.
    static void CutStart();

private:
    void Deliver(const std::vector<Tarvik::JoinedMessage>& messages);

    std::function<void(const Received&)> onMessage_;
    Tarvik::CJoiner joiner_;
    std::deque<Tarvik::PartOutcome> reports_;
    bool running_ = false;
    std::string libraryReason_;
};

std::string LastError();

}  // namespace TarvikCli
