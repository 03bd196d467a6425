// The floor of an exchange sequence: the least time any implementation of the described
// dialogue needs for the commands the simulator actually received, given the quiet gap
// that ends every read, the fixed pauses of each operation and the simulator's latency.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "BenchSupport.h"

namespace Bench {

enum class Submit { Prompted, Ucs2Text, Unprompted };

struct FloorModel {
    double latencyMs = 20;
    double gapMs = 300;          // silence that ends a read
    double reportPauseMs = 500;  // unprompted submissions: the report follows this late
    double burstPauseMs = 400;   // index listings: one entry per burst, this far apart
    Submit submit = Submit::Prompted;

    // Fixed pauses of the dialogue.
    static constexpr double kQueryPauseMs = 10;
    static constexpr double kListingPauseMs = 30;
    static constexpr double kReadPauseMs = 500;
    static constexpr double kUcs2LeadMs = 1000;
    static constexpr double kUcs2BodyMs = 220;  // 200 after the body, 20 before the read
    static constexpr double kSendPassSleepMs = 600;
    static constexpr double kReceivePassSleepMs = 700;

    // One burst answered `latency` after the command, collected up to the quiet gap; a
    // pause before the read hides in the latency.
    double Exchange(double pauseBeforeReadMs = 0) const {
        return std::max(latencyMs, pauseBeforeReadMs) + gapMs;
    }

    // Until the submission's report is read (`toBody` false), or until its body is out.
    double Submission(bool toBody) const {
        switch (submit) {
            case Submit::Prompted:
                return toBody ? Exchange() : 2 * Exchange();
            case Submit::Ucs2Text:
                return kUcs2LeadMs + Exchange() + (toBody ? 0 : Exchange(kUcs2BodyMs));
            case Submit::Unprompted:
                return toBody ? 0 : latencyMs + std::max(reportPauseMs, gapMs) + gapMs;
        }
        return 0;
    }

    static bool IsListing(const std::string& command) { return StartsWith(command, "AT+CMGL"); }
    // The listing that begins a receive pass; the "READ" listing only follows an empty one.
    static bool StartsReceivePass(const std::string& command) {
        return IsListing(command) && command != "AT+CMGL=\"READ\"";
    }

    // Cost of command i of `events` (entries of an index listing are the reads by index that
    // follow it).
    double Cost(const std::vector<Event>& events, std::size_t i, bool toBody) const {
        const std::string& c = events[i].text;
        if (events[i].kind == Event::Kind::Body) {
            return 0;  // counted with its command
        }
        if (c == "AT+CSCA?" || c == "AT+CIMI" || StartsWith(c, "AT+CSCA=")) {
            return Exchange(kQueryPauseMs);
        }
        if (c == "AT+CMGL=4" || c == "AT+CMGL=\"ALL\"") {
            return Exchange(kListingPauseMs);
        }
        if (IsListing(c)) {
            double entries = 0;
            for (std::size_t j = i + 1; j < events.size() && !IsListing(events[j].text); ++j) {
                entries += StartsWith(events[j].text, "AT+CMGR=") ? 1 : 0;
            }
            return Exchange(kListingPauseMs) + entries * burstPauseMs;
        }
        if (StartsWith(c, "AT+CMGR=")) {
            return Exchange(kReadPauseMs);
        }
        if (StartsWith(c, "AT+CMGS=")) {
            return Submission(toBody);
        }
        return Exchange();
    }

    // Floor of events [first, last]: every exchange plus the sleeps of the receive passes
    // that end inside it; the command at `last` counts in full unless `endAtArrival`, when
    // the sequence ends as that command reaches the modem.
    double Sequence(const std::vector<Event>& events, std::size_t first, std::size_t last,
                    bool toBody, bool endAtArrival) const {
        double total = 0;
        int passes = 0;
        for (std::size_t i = first; i <= last && i < events.size(); ++i) {
            if (i == last && endAtArrival) {
                break;
            }
            total += Cost(events, i, toBody);
            passes += StartsReceivePass(events[i].text) ? 1 : 0;
        }
        // A pass ends with its sleeps when the next pass (or a submission) begins.
        bool sendInside = false;
        for (std::size_t i = first; i <= last && i < events.size(); ++i) {
            sendInside = sendInside || StartsWith(events[i].text, "AT+CMGS=");
        }
        const int ended = sendInside ? passes : std::max(0, passes - 1);
        return total + ended * kReceivePassSleepMs;
    }
};

}  // namespace Bench
