// How long the exports keep a caller: SMSReport, SMSGetNextMessage, SMSCounts and
// SMSSendMessage2 from four threads while the worker submits and receives through the
// simulated modem. p50, p99 and max per export.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "Tarvik.h"

namespace {

using Bench::Clock;

constexpr int kPort = 12;
constexpr int kThreads = 4;
constexpr int kQueueLimit = 300;
constexpr int kStoredMessages = 60;
enum Op { kReport, kNext, kCounts, kSend, kOps };
const char* const kNames[kOps] = {"SMSReport", "SMSGetNextMessage", "SMSCounts", "SMSSendMessage2"};

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 30;
    Bench::PortDir dir;
    // Messages waiting on the modem: the worker's first pass lists and deletes them while
    // the callers fetch.
    std::vector<std::string> options = {"--latency", "20"};
    for (int i = 0; i < kStoredMessages; ++i) {
        options.push_back("--message");
        options.push_back("10086:Waiting message " + std::to_string(i));
    }
    Bench::SimProcess sim(TARVIK_MODEMSIM_PATH, dir.Path(), kPort, options);
    if (SMSStartService(kPort, 115200, 0, 0, 0, 0, nullptr) != 1) {
        std::fprintf(stderr, "start failed\n");
        return 1;
    }
    std::atomic<bool> stop{false};
    std::vector<std::vector<double>> samples(kThreads * kOps);
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            auto* mine = &samples[static_cast<std::size_t>(t * kOps)];
            SendReport report{};
            RecvMsg message{};
            for (unsigned i = 0; !stop.load(); ++i) {
                const Op op = static_cast<Op>(i % kOps);
                // The queue is kept well below its 500 parts, so that every queueing is a
                // real one; the worker submits them one by one meanwhile.
                if (op == kSend && SMSCounts() >= kQueueLimit) {
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
                    continue;
                }
                const auto t0 = Clock::now();
                switch (op) {
                    case kReport:
                        SMSReport(&report);
                        break;
                    case kNext:
                        SMSGetNextMessage(&message);
                        break;
                    case kCounts:
                        SMSCounts();
                        break;
                    case kSend:
                        SMSSendMessage2("Latency probe", "13912345678", "86");
                        break;
                    case kOps:
                        break;
                }
                const auto t1 = Clock::now();
                mine[op].push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
        });
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop.store(true);
    for (auto& caller : callers) {
        caller.join();
    }
    SMSStopSerice();

    std::printf(
        "%d caller threads, %.0f s, a 100 us pause between calls; the worker lists and "
        "deletes %d stored messages, then submits the queued parts, on a simulator with "
        "20 ms latency. Times in us.\n\n",
        kThreads, seconds, kStoredMessages);
    std::printf("| Export | Calls | p50 | p99 | max |\n|---|---:|---:|---:|---:|\n");
    for (int op = 0; op < kOps; ++op) {
        std::vector<double> all;
        for (int t = 0; t < kThreads; ++t) {
            const auto& s = samples[static_cast<std::size_t>(t * kOps + op)];
            all.insert(all.end(), s.begin(), s.end());
        }
        std::printf("| %s | %zu | %.2f | %.2f | %.2f |\n", kNames[op], all.size(),
                    Bench::Percentile(all, 0.5), Bench::Percentile(all, 0.99),
                    Bench::Percentile(all, 1.0));
    }
    return 0;
}
