#include "Session.h"

#include <cstring>

#include "PortHolder.h"
#include "serial/PortNames.h"

namespace TarvikCli {

namespace {

std::string Field(const char* text, std::size_t capacity) {
    return std::string(text, strnlen(text, capacity));
}

}  // namespace

std::string LastError() {
    return Tarvik::Session::LastError();
}

CSession::CSession(std::function<void(const Received&)> onMessage,
                   std::chrono::milliseconds reassembly)
    : onMessage_(std::move(onMessage)), joiner_(reassembly) {}

void CSession::Deliver(const std::vector<Tarvik::JoinedMessage>& messages) {
    for (const Tarvik::JoinedMessage& joined : messages) {
        const RecvMsg& first = joined.first;
        // The sender as a phone shows it; the key stays the record's, which journals and
        // acknowledgements name it by.
        onMessage_(Received{joined.sender, Field(first.timestamp, sizeof first.timestamp),
                            joined.text, joined.key, joined.parts, joined.missing,
                            joined.partKeys});
    }
}

bool CSession::Start(int port, const std::string& device, int baud, std::string& why) {
    const std::string before = LastError();
    const bool started = device.empty() ? Tarvik::Session::Start(port, baud)
                                        : Tarvik::Session::StartDevice(device, baud);
    if (started) {
        running_ = true;
        return true;
    }
    const std::string after = LastError();
    const std::string name = device.empty() ? "port " + std::to_string(port) : device;
    // The library leaves its last-error text alone when the port itself could not be
    // opened; every failure after the open writes one.
    if (after.empty() || after == before) {
        const std::string holders =
            PortHolders(device.empty() ? serial::PortDevicePath(port) : device);
        why = "cannot open " + name +
              (holders.empty() ? ": it does not exist, another program holds it, or it refuses " +
                                     std::to_string(baud) + " baud"
                               : ": held by " + holders);
    } else {
        libraryReason_ = after;
        why = "the modem on " + name + " did not start: " + OneLine(after);
    }
    // A start whose set-up failed leaves the port open; the stop closes it.
    Tarvik::Session::Stop();
    return false;
}

void CSession::Fetch() {
    if (!running_) {
        return;
    }
    while (auto outcome = Tarvik::Session::NextOutcome()) {
        reports_.push_back(*outcome);
    }
    const auto now = Tarvik::CJoiner::Clock::now();
    while (const auto part = Tarvik::Session::NextMessage()) {
        Deliver(joiner_.Add(*part, now));
    }
    Deliver(joiner_.Expire(now));
}

bool CSession::NextReport(Tarvik::PartOutcome& outcome) {
    if (reports_.empty()) {
        return false;
    }
    outcome = reports_.front();
    reports_.pop_front();
    return true;
}

void CSession::Settle() {
    if (!running_) {
        return;
    }
    Fetch();
    char reply[1025];
    Tarvik::Session::Command("AT\r\n", reply, 0);
    Fetch();
}

void CSession::Stop(bool settle, bool partsKept) {
    if (!running_) {
        return;
    }
    if (settle) {
        Settle();
    } else {
        Fetch();
    }
    if (!partsKept) {
        Deliver(joiner_.Flush());
    }
    Tarvik::Session::Stop();
    running_ = false;
}

void CSession::CutStart() {
    Tarvik::Session::Stop();
}

}  // namespace TarvikCli
