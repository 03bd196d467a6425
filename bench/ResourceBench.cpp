// CPU time and resident memory of a process whose service runs idle, runs with a vanished
// modem, or carries messages both ways. The simulated modem is a separate process, so every
// CPU millisecond counted here is the library's (and this program's few polls).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "BenchSupport.h"
#include "Tarvik.h"
#include "service/ServiceHost.h"

namespace {

using Bench::Clock;

constexpr int kPort = 11;
constexpr int kBaud = 115200;
// A number the simulator takes for its own: what is sent there comes back as received.
constexpr const char* kOwnNumber = "13800138000";

struct Window {
    double seconds = 0;
    double cpuMs = 0;
    long rssStartKb = 0;
    long rssMaxKb = 0;
    long rssEndKb = 0;
};

// Runs `step` every 100 ms for `seconds` (or until it returns false), sampling memory once
// a second: reading /proc costs more CPU than an idle service.
template <typename Step>
Window Measure(double seconds, Step&& step) {
    Window w;
    w.rssStartKb = w.rssMaxKb = Bench::ResidentKb();
    const double cpu0 = Bench::CpuMs();
    const auto t0 = Clock::now();
    long ticks = 0;
    while (Bench::MsBetween(t0, Clock::now()) < seconds * 1000.0) {
        if (!step()) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (++ticks % 10 == 0) {
            w.rssMaxKb = std::max(w.rssMaxKb, Bench::ResidentKb());
        }
    }
    w.seconds = Bench::MsBetween(t0, Clock::now()) / 1000.0;
    w.cpuMs = Bench::CpuMs() - cpu0;
    w.rssEndKb = Bench::ResidentKb();
    return w;
}

void Print(const char* what, long baselineKb, const Window& w) {
    std::printf("| %s | %.1f | %.1f | %.4f%% | %ld | %ld | %ld | %+ld |\n", what, w.seconds,
                w.cpuMs, 100.0 * w.cpuMs / (w.seconds * 1000.0), baselineKb, w.rssStartKb,
                w.rssMaxKb, w.rssMaxKb - baselineKb);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "idle";
    const double amount = argc > 2 ? std::atof(argv[2]) : 60;
    const int latencyMs = argc > 3 ? std::atoi(argv[3]) : 20;
    Bench::PortDir dir;
    Bench::SimProcess sim(TARVIK_MODEMSIM_PATH, dir.Path(), kPort,
                          {"--latency", std::to_string(mode == "traffic" ? 0 : latencyMs)});

    // The same process before the service exists: the library loaded, nothing started.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const long baselineKb = Bench::ResidentKb();
    if (mode == "baseline") {
        Print("no service (60 s sleep)", baselineKb, Measure(amount, [] { return true; }));
        return 0;
    }
    if (mode == "traffic") {
        // Shorter quiet gaps, so that a thousand parts pass in minutes; the worker's own
        // sleeps stay as they are.
        serial::SerialTiming timing;
        timing.burstGapMs = 30;
        GSM::ServiceHost().port.SetTiming(timing);
    }
    if (SMSStartService(kPort, kBaud, 0, 0, 0, 0, nullptr) != 1) {
        std::fprintf(stderr, "start failed\n");
        return 1;
    }
    if (mode == "idle") {
        Print("idle", baselineKb, Measure(amount, [] { return true; }));
    } else if (mode == "vanished") {
        sim.End();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        Print("vanished modem", baselineKb, Measure(amount, [] { return true; }));
    } else if (mode == "traffic") {
        const int total = static_cast<int>(amount);
        int queued = 0;
        int reports = 0;
        int received = 0;
        int failed = 0;
        const auto window = Measure(24 * 3600, [&] {
            SendReport report{};
            while (SMSReport(&report) == 1) {
                ++reports;
                failed += report.result == 1 ? 0 : 1;
            }
            RecvMsg message{};
            while (SMSGetNextMessage(&message) == 1) {
                ++received;
            }
            // A few parts waiting at a time, so that receive passes come between them.
            while (queued < total && SMSCounts() < 10) {
                const std::string text = "Traffic message " + std::to_string(queued);
                if (SMSSendMessage2(text.c_str(), kOwnNumber, "86") <= 0) {
                    std::fprintf(stderr, "queueing failed\n");
                    return false;
                }
                ++queued;
            }
            if (std::getenv("TARVIK_BENCH_TRACE") != nullptr) {
                std::fprintf(stderr, "queued %d reports %d (%d failed) received %d\n", queued,
                             reports, failed, received);
            }
            return received < total;
        });
        char what[96];
        std::snprintf(what, sizeof what, "%d sent (%d reported, %d failed), %d received", queued,
                      reports, failed, received);
        Print(what, baselineKb, window);
    } else {
        std::fprintf(stderr,
                     "usage: tarvik-bench-resources baseline|idle|vanished|traffic "
                     "[seconds|messages] [latency-ms]\n");
        return 2;
    }
    SMSStopSerice();
    return 0;
}
