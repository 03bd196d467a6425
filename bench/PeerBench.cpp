// Tarvik's side of the peer comparison: the same work as one peer command, through the
// exports, on a simulator already running. Exit status 0 when the work was done.
//   tarvik-bench-peer PORT identify    start (identification and set-up), stop
//   tarvik-bench-peer PORT send [N]    start, N texts (default 1), their reports, stop
//   tarvik-bench-peer PORT read N      start, N stored messages fetched (each deleted on
//                                      the modem as it is handed over), stop
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BenchSupport.h"
#include "Tarvik.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: tarvik-bench-peer PORT identify|send|read [N]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const std::string work = argv[2];
    if (SMSStartService(port, 115200, 0, 0, 0, 0, nullptr) != 1) {
        std::fprintf(stderr, "start failed\n");
        return 1;
    }
    bool done = true;
    if (work == "send") {
        const int wanted = argc > 3 ? std::atoi(argv[3]) : 1;
        for (int i = 0; i < wanted && done; ++i) {
            done = SMSSendMessage2("Peer text", "13912345678", "86") > 0;
        }
        int reported = 0;
        SendReport report{};
        done = done &&
               Bench::WaitFor(
                   [&] {
                       while (SMSReport(&report) == 1) {
                           reported += report.result == 1 ? 1 : 1000;
                       }
                       return reported >= wanted;
                   },
                   std::chrono::seconds(30 + 10 * wanted)) &&
               reported == wanted;
    } else if (work == "read") {
        const int wanted = argc > 3 ? std::atoi(argv[3]) : 1;
        int fetched = 0;
        RecvMsg message{};
        done = Bench::WaitFor(
            [&] {
                while (SMSGetNextMessage(&message) == 1) {
                    ++fetched;
                }
                return fetched >= wanted;
            },
            std::chrono::seconds(120));
    }
    SMSStopSerice();
    return done ? 0 : 1;
}
