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
    char text[1024] = {};
    const int length = SMSGetLastError(text);
    return std::string(text, length > 0 ? static_cast<std::size_t>(length) : 0);
}

CSession::CSession(std::function<void(const Received&)> onMessage)
    : onMessage_(std::move(onMessage)) {}

bool CSession::Start(int port, int baud, std::string& why) {
    const std::string before = LastError();
    if (SMSStartService(port, baud, 2, 8, 0, 1, "card") == 1) {
        running_ = true;
        return true;
    }
    const std::string after = LastError();
    // The library leaves its last-error text alone when the port itself could not be
    // opened; every failure after the open writes one.
    if (after.empty() || after == before) {
        const std::string holders = PortHolders(serial::PortDevicePath(port));
        why = "cannot open port " + std::to_string(port) +
              (holders.empty() ? ": it does not exist, another program holds it, or it refuses " +
                                     std::to_string(baud) + " baud"
                               : ": held by " + holders);
    } else {
        why = "the modem on port " + std::to_string(port) + " did not start: " + OneLine(after);
    }
    // A start whose set-up failed leaves the port open; the stop closes it.
    SMSStopSerice();
    return false;
}

void CSession::Fetch() {
    if (!running_) {
        return;
    }
    SendReport report{};
    while (SMSReport(&report) == 1) {
        reports_.push_back(report);
        report = SendReport{};
    }
    RecvMsg message{};
    while (SMSGetNextMessage(&message) == 1) {
        onMessage_(Received{Field(message.number, sizeof message.number),
                            Field(message.timestamp, sizeof message.timestamp),
                            Field(message.text, sizeof message.text)});
        message = RecvMsg{};
    }
}

bool CSession::NextReport(SendReport& report) {
    if (reports_.empty()) {
        return false;
    }
    report = reports_.front();
    reports_.pop_front();
    return true;
}

void CSession::Settle() {
    if (!running_) {
        return;
    }
    Fetch();
    char reply[1025];
    SMSCommand("AT\r\n", reply, 0);
    Fetch();
}

void CSession::Stop(bool settle) {
    if (!running_) {
        return;
    }
    if (settle) {
        Settle();
    } else {
        Fetch();
    }
    SMSStopSerice();
    running_ = false;
}

void CSession::CutStart() {
    SMSStopSerice();
}

}  // namespace TarvikCli
