// Claims per second on the shared PostgreSQL store: three daemons' stores on one database,
// each with two senders claiming, recording and finishing until the queue is empty.
//
// usage: tarvik-bench-claims URL [MESSAGES]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Store.h"

int main(int argc, char** argv) {
    using namespace Tarvikd;
    if (argc < 2) {
        std::fputs("usage: tarvik-bench-claims URL [MESSAGES]\n", stderr);
        return 2;
    }
    const int count = argc > 2 ? std::atoi(argv[2]) : 3000;
    std::vector<std::unique_ptr<IStore>> stores;
    for (const char* daemon : {"bench1", "bench2", "bench3"}) {
        StoreOptions options;
        options.daemon = daemon;
        std::string error;
        stores.push_back(OpenPgStore(argv[1], error, options));
        if (!stores.back()) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
    }
    for (int i = 0; i < count; ++i) {
        stores[0]->Enqueue({"bench", "", "", "+8613800138000", "claim " + std::to_string(i), ""},
                           1000);
    }
    std::vector<int> claimed(6, 0);
    std::vector<std::thread> senders;
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t s = 0; s < 6; ++s) {
        senders.emplace_back([&, s] {
            IStore& store = *stores[s / 2];
            const std::string modem = "m" + std::to_string(s);
            while (const auto message = store.Claim(modem, {}, 2000)) {
                store.MarkSubmitted(message->id, 2000);
                store.Finish(message->id, Outcome::Sent, "1 part", 1, 1, 0, 2001);
                ++claimed[s];
            }
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int total = 0;
    std::string split;
    for (const int n : claimed) {
        total += n;
        split += (split.empty() ? "" : " ") + std::to_string(n);
    }
    std::printf(
        "%d messages claimed, submitted and finished by 3 daemons x 2 senders in %.2f s: "
        "%.0f per second (per sender: %s)\n",
        total, seconds, total / seconds, split.c_str());
    return total == count ? 0 : 1;
}
