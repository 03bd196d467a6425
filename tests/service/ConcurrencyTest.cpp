// Callers on many threads while the service is started and stopped under them.
#include <algorithm>
#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "ServiceFixture.h"

namespace {

using TestSupport::ServiceTest;

class ConcurrencyTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        serial::SerialTiming quick;
        quick.firstByteWaitMs = 300;
        quick.burstGapMs = 10;
        GSM::ServiceHost().port.SetTiming(quick);
    }
};

TEST_F(ConcurrencyTest, CallersSurviveAHundredStartsAndStopsAndNeverShareANumber) {
    std::atomic<bool> done{false};
    std::vector<std::vector<int>> numbers(3);
    std::vector<std::thread> callers;
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        callers.emplace_back([&, i] {
            while (!done.load()) {
                const int sequence = SMSSendMessage2(i == 0 ? "plain text" : "über", "123", "86");
                if (sequence > 0) {
                    numbers[i].push_back(sequence);
                }
            }
        });
    }
    for (int i = 0; i < 2; ++i) {
        callers.emplace_back([&] {
            SendReport report{};
            RecvMsg message{};
            while (!done.load()) {
                SMSReport(&report);
                SMSGetNextMessage(&message);
            }
        });
    }
    callers.emplace_back([&] {
        while (!done.load()) {
            EXPECT_GE(SMSCounts(), -1);
            EXPECT_LE(SMSCounts(), 500);
        }
    });
    callers.emplace_back([&] {
        char reply[1025];
        while (!done.load()) {
            SMSCommand("AT\r\n", reply, 0);
            std::this_thread::yield();
        }
    });
    callers.emplace_back([&] {
        char text[1024];
        while (!done.load()) {
            SMSGetLastError(text);
            SMSSetCountryCode(49);
        }
    });

    int started = 0;
    for (int round = 0; round < 100; ++round) {
        started += Start();
        if (round % 3 == 0) {
            Start();  // a second start while running
        }
        EXPECT_EQ(SMSStopSerice(), 1);
    }
    done.store(true);
    for (auto& caller : callers) {
        caller.join();
    }

    EXPECT_GT(started, 50);
    std::vector<int> all;
    for (const auto& list : numbers) {
        all.insert(all.end(), list.begin(), list.end());
    }
    EXPECT_FALSE(all.empty());
    EXPECT_EQ(std::set<int>(all.begin(), all.end()).size(), all.size());
}

}  // namespace
