// Follows every message through the simulator's log and the caller's results: what was
// queued, reported, submitted, stored, delivered and deleted, and whether that adds up.
// The books hold the caller's texts, in the local code page; the simulator's are UTF-8.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "Modem.h"
#include "Tarvik.h"
#include "support/TestPlatform.h"

namespace TestSupport {

class CAccounting {
public:
    // A message queued for `number` whose text fits one part.
    void Queued(const std::string& text, const std::string& number, bool toModem) {
        queued_.push_back({text, number});
        if (toModem) {
            expectedBack_.insert(text);
        }
    }
    // `text` as the simulator stores it.
    void Stored(const std::string& text) { stored_.insert(LocalText(text)); }
    void Report(const SendReport& report) { reports_.push_back(report); }
    void Delivered(const RecvMsg& message) { ++delivered_[message.text]; }

    // Every problem found, empty when the books balance. `deletionFailed`: texts whose
    // deletion the modem refused, the only excuse for a second delivery.
    std::vector<std::string> Problems(ModemSim::CModem& modem,
                                      const std::set<std::string>& deletionFailed = {}) const {
        std::vector<std::string> problems;
        std::map<std::string, int> reported;
        std::map<std::string, int> accepted;
        for (const auto& report : reports_) {
            ++reported[report.text];
            accepted[report.text] += report.result == 1 ? 1 : 0;
        }
        const std::map<std::string, int> submittedTimes = Submitted(modem);
        auto submitted = [&](const std::string& text) {
            const auto found = submittedTimes.find(text);
            return found == submittedTimes.end() ? 0 : found->second;
        };
        for (const auto& [text, number] : queued_) {
            if (reported[text] != 1) {
                problems.push_back(text + ": " + std::to_string(reported[text]) + " reports");
            }
            if (accepted[text] == 1 && submitted(text) != 1) {
                problems.push_back(text + ": accepted but submitted " +
                                   std::to_string(submitted(text)) + " times");
            }
        }
        std::set<std::string> onModem;
        for (const auto& message : modem.Storage()) {
            onModem.insert(LocalText(message.text));
        }
        std::set<std::string> mustArrive = stored_;
        for (const auto& text : expectedBack_) {
            if (submitted(text) > 0) {
                mustArrive.insert(text);
            }
        }
        for (const auto& text : mustArrive) {
            const auto found = delivered_.find(text);
            const int times = found == delivered_.end() ? 0 : found->second;
            if (times == 0 && onModem.count(text) == 0) {
                problems.push_back(text + ": lost");
            }
            if (times > 1 && deletionFailed.count(text) == 0) {
                problems.push_back(text + ": delivered " + std::to_string(times) + " times");
            }
        }
        for (const auto& [text, times] : delivered_) {
            if (mustArrive.count(text) == 0) {
                problems.push_back(text + ": delivered but never stored");
            }
        }
        return problems;
    }

    // Takes every report and message waiting in the library into the books.
    void Drain() {
        SendReport report{};
        while (SMSReport(&report) == 1) {
            Report(report);
        }
        RecvMsg message{};
        while (SMSGetNextMessage(&message) == 1) {
            Delivered(message);
        }
    }

    std::size_t ReportCount() const { return reports_.size(); }
    std::size_t QueuedCount() const { return queued_.size(); }
    bool AllDelivered(ModemSim::CModem& modem) const {
        std::map<std::string, int> submitted = Submitted(modem);
        for (const auto& text : stored_) {
            if (delivered_.count(text) == 0) {
                return false;
            }
        }
        for (const auto& text : expectedBack_) {
            if (submitted[text] > 0 && delivered_.count(text) == 0) {
                return false;
            }
        }
        return true;
    }

private:
    // How often the modem took each text, in the caller's code page.
    static std::map<std::string, int> Submitted(ModemSim::CModem& modem) {
        std::map<std::string, int> times;
        for (const auto& submission : modem.Submitted()) {
            ++times[LocalText(submission.text)];
        }
        return times;
    }

    std::vector<std::pair<std::string, std::string>> queued_;
    std::set<std::string> expectedBack_;
    std::set<std::string> stored_;
    std::vector<SendReport> reports_;
    std::map<std::string, int> delivered_;
};

}  // namespace TestSupport
