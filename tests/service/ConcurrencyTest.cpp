// Callers on many threads while the service is started and stopped under them.
#include <algorithm>
#include <atomic>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "Accounting.h"
#include "ServiceFixture.h"

namespace {

using namespace std::chrono_literals;
using TestSupport::LocalText;
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
            const std::string text = i == 0 ? "plain text" : LocalText("über");
            while (!done.load()) {
                const int sequence = SMSSendMessage2(text.c_str(), "123", "86");
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

// Two callers sending, two fetching, two counting and two talking to the modem directly while
// messages arrive: every message accounted for, and no command sees the worker's dialogue.
TEST_F(ConcurrencyTest, EightCallersWhileMessagesArriveLoseNothing) {
    ASSERT_EQ(Start(), 1);
    std::mutex booksLock;
    TestSupport::CAccounting books;
    std::atomic<bool> done{false};
    std::atomic<int> commandsAnswered{0};
    std::vector<std::string> strayReplies;
    std::vector<std::thread> callers;
    for (int sender = 0; sender < 2; ++sender) {
        callers.emplace_back([&, sender] {
            for (int k = 0; k < 4; ++k) {
                const std::string text = LocalText("from " + std::to_string(sender) + "." +
                                                   std::to_string(k) + (k % 2 ? " 好" : ""));
                std::lock_guard hold(booksLock);
                ASSERT_GE(SMSSendMessage(text.c_str(), "13800138000"), 1);
                books.Queued(text, "13800138000", true);
            }
        });
    }
    for (int fetcher = 0; fetcher < 2; ++fetcher) {
        callers.emplace_back([&] {
            while (!done.load()) {
                SendReport report{};
                RecvMsg message{};
                const bool reported = SMSReport(&report) == 1;
                const bool delivered = SMSGetNextMessage(&message) == 1;
                {
                    std::lock_guard hold(booksLock);
                    if (reported) {
                        books.Report(report);
                    }
                    if (delivered) {
                        books.Delivered(message);
                    }
                }
                std::this_thread::yield();
            }
        });
    }
    for (int counter = 0; counter < 2; ++counter) {
        callers.emplace_back([&] {
            while (!done.load()) {
                const int counts = SMSCounts();
                EXPECT_GE(counts, 0);
                EXPECT_LE(counts, 500);
                std::this_thread::sleep_for(1ms);
            }
        });
    }
    for (int commander = 0; commander < 2; ++commander) {
        callers.emplace_back([&] {
            char reply[1025];
            while (!done.load()) {
                if (SMSCommand("AT+CGMM\r\n", reply, 0) > 0) {
                    const std::string text(reply);
                    if (text.find("MU609") != std::string::npos) {
                        ++commandsAnswered;
                    }
                    if (text.find("CMG") != std::string::npos ||
                        text.find('>') != std::string::npos) {
                        std::lock_guard hold(booksLock);
                        strayReplies.push_back(text);
                    }
                }
                std::this_thread::sleep_for(50ms);
            }
        });
    }
    for (int i = 0; i < 8; ++i) {
        ModemSim::StoredMessage in;
        in.number = "+8613912345678";
        in.text = "arriving " + std::to_string(i);
        std::lock_guard hold(booksLock);
        if (modem.StoreMessage(in) >= 0) {
            books.Stored(in.text);
        }
    }
    const bool settled = TestSupport::WaitFor(
        [&] {
            std::lock_guard hold(booksLock);
            return books.ReportCount() >= 8 && books.AllDelivered(modem);
        },
        90s);
    done.store(true);
    for (auto& caller : callers) {
        caller.join();
    }
    EXPECT_EQ(SMSStopSerice(), 1);
    EXPECT_TRUE(settled);
    for (const auto& problem : books.Problems(modem)) {
        ADD_FAILURE() << problem;
    }
    EXPECT_GT(commandsAnswered.load(), 0);
    EXPECT_TRUE(strayReplies.empty()) << strayReplies.front();
}

}  // namespace
