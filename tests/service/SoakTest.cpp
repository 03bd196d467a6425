// Messages both ways for a long time with random faults: nothing lost, nothing repeated
// without a failed deletion to explain it, memory flat. TARVIK_SOAK_MESSAGES sets the count,
// TARVIK_SOAK_SEED the faults' sequence (runs side by side then meet different faults).
// The books are settled and closed every round of 100, so that the test's own records do not grow
// with the run and the memory figures are the service's.
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <random>
#include <string>

#include "Accounting.h"
#include "ServiceFixture.h"

namespace {

using namespace std::chrono_literals;
using TestSupport::ServiceTest;

// Sending always goes before receiving, so a caller that keeps parts waiting holds off the
// receive passes; the rounds are short enough that the modem's storage never fills meanwhile.
constexpr int kRound = 100;

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

int MessageCount() {
    const char* count = std::getenv("TARVIK_SOAK_MESSAGES");
    return count != nullptr ? std::max(1, std::atoi(count)) : 12;
}

unsigned FaultSeed() {
    const char* seed = std::getenv("TARVIK_SOAK_SEED");
    return seed != nullptr ? static_cast<unsigned>(std::strtoul(seed, nullptr, 10)) : 20261207U;
}

class SoakTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        serial::SerialTiming quick;
        quick.firstByteWaitMs = 300;
        quick.burstGapMs = 15;
        GSM::ServiceHost().port.SetTiming(quick);
    }

    // Waits until every part is reported and every message delivered and gone from the
    // modem (a second delivery after a refused deletion then falls in this round too), and
    // returns the deliveries beyond the first, failing the test for anything unexplained.
    int CloseRound(TestSupport::CAccounting& books, int deletionFaults) {
        const bool settled = TestSupport::WaitFor(
            [&] {
                books.Drain();
                return books.ReportCount() >= books.QueuedCount() && books.AllDelivered(modem) &&
                       modem.Storage().empty();
            },
            60s);
        EXPECT_TRUE(settled) << "the round did not settle";
        int duplicates = 0;
        for (const auto& problem : books.Problems(modem)) {
            if (problem.find("delivered") != std::string::npos &&
                problem.find("times") != std::string::npos) {
                ++duplicates;
            } else {
                ADD_FAILURE() << problem;
            }
        }
        // Every second delivery must have a refused deletion behind it.
        EXPECT_LE(duplicates, deletionFaults);
        books = TestSupport::CAccounting();
        modem.ClearLogs();
        return duplicates;
    }

    // `chatty`: the modem also reports status on its own all the time, confirms slowly and
    // lists slowly, as real modules do.
    void Soak(bool chatty);
};

void SoakTest::Soak(bool chatty) {
    if (chatty) {
        modem.UpdateProfile([](ModemSim::ModemProfile& profile) {
            profile.networkDelayMs = 400;
            profile.listingPauseMs = 20;
        });
        modem.StartChatter({"^RSSI:17", "+CREG: 1", "+CGREG: 1", "+CMTI: \"SM\",3"}, 100, 33);
    }
    const int count = MessageCount();
    std::mt19937 random(FaultSeed());
    const char* prefixes[] = {"AT+CMGS", "AT+CMGL", "AT+CMGD", "AT+CMGF"};
    ASSERT_EQ(Start(), 1);
    TestSupport::CAccounting books;
    int faults = 0;
    int deletionFaults = 0;
    int roundDeletionFaults = 0;
    int duplicates = 0;
    long peak = 0;
    long firstRoundEnd = 0;
    long lastRoundEnd = 0;
    for (int i = 0; i < count; ++i) {
        const std::string out = "out " + std::to_string(i) + (i % 3 == 0 ? " 你好" : "");
        ASSERT_GE(SMSSendMessage(out.c_str(), "13800138000"), 1);
        books.Queued(out, "13800138000", true);
        ModemSim::StoredMessage in;
        in.number = "+8613912345678";
        in.text = "in " + std::to_string(i);
        if (modem.StoreMessage(in) >= 0) {
            books.Stored(in.text);
        }
        if (random() % 4 == 0) {
            const std::string prefix = prefixes[random() % 4];
            switch (random() % 3) {
                case 0:
                    modem.SilenceCommand(prefix, 1);
                    break;
                case 1:
                    modem.FailCommand(prefix, "\r\n+CMS ERROR: 500\r\n", 1);
                    break;
                default:
                    modem.UnsolicitedAround(prefix, "+CMTI: \"SM\",3", true, 1);
                    break;
            }
            ++faults;
            roundDeletionFaults += prefix == "AT+CMGD" ? 1 : 0;
        }
        // A caller that keeps up: never more than a few parts waiting.
        TestSupport::WaitFor([&] {
            books.Drain();
            return SMSCounts() < 4;
        });
        peak = std::max(peak, ResidentKiB());
        if ((i + 1) % kRound == 0 || i + 1 == count) {
            duplicates += CloseRound(books, roundDeletionFaults);
            deletionFaults += roundDeletionFaults;
            roundDeletionFaults = 0;
            lastRoundEnd = ResidentKiB();
            peak = std::max(peak, lastRoundEnd);
            // Memory is compared from a quarter of the way on, once the heap has settled.
            if (firstRoundEnd == 0 && i + 1 >= count / 4) {
                firstRoundEnd = lastRoundEnd;
            }
            if ((i + 1) % 1000 != 0 && i + 1 != count) {
                continue;
            }
            std::cout << "soak: " << i + 1 << " each way, " << faults << " faults ("
                      << deletionFaults << " on deletion), " << duplicates
                      << " explained duplicates, resident " << lastRoundEnd << " KiB" << std::endl;
        }
    }
    EXPECT_EQ(SMSStopSerice(), 1);
    std::cout << "soak" << (chatty ? " (chatty modem)" : "") << ": " << count
              << " messages each way, " << faults << " faults (" << deletionFaults
              << " on deletion), " << duplicates << " explained duplicates, resident "
              << firstRoundEnd << " KiB a quarter of the way, " << lastRoundEnd
              << " KiB after the last, " << peak << " KiB peak\n";
    if (count >= 20 * kRound) {
        EXPECT_LT(lastRoundEnd - firstRoundEnd, 1024) << "memory grows";
    }
}

TEST_F(SoakTest, MessagesBothWaysThroughRandomFaults) {
    Soak(false);
}

TEST_F(SoakTest, MessagesBothWaysThroughRandomFaultsWithAChattyModem) {
    Soak(true);
}

}  // namespace
