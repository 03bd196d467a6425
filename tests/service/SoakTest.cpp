// Messages both ways for a long time with random faults: nothing lost, nothing repeated
// without a failed deletion to explain it, memory flat. TARVIK_SOAK_MESSAGES sets the count.
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

class SoakTest : public ServiceTest {
protected:
    void SetUp() override {
        ServiceTest::SetUp();
        serial::SerialTiming quick;
        quick.firstByteWaitMs = 300;
        quick.burstGapMs = 15;
        GSM::ServiceHost().port.SetTiming(quick);
    }

    void Drain(TestSupport::CAccounting& books) {
        SendReport report{};
        while (SMSReport(&report) == 1) {
            books.Report(report);
        }
        RecvMsg message{};
        while (SMSGetNextMessage(&message) == 1) {
            books.Delivered(message);
        }
    }
};

TEST_F(SoakTest, MessagesBothWaysThroughRandomFaults) {
    const int count = MessageCount();
    std::mt19937 random(20261207);
    const char* prefixes[] = {"AT+CMGS", "AT+CMGL", "AT+CMGD", "AT+CMGF"};
    ASSERT_EQ(Start(), 1);
    TestSupport::CAccounting books;
    int faults = 0;
    int deletionFaults = 0;
    long peak = 0;
    long settled = 0;
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
            deletionFaults += prefix == "AT+CMGD" ? 1 : 0;
        }
        // A caller that keeps up: never more than a few parts waiting.
        TestSupport::WaitFor([&] {
            Drain(books);
            return SMSCounts() < 4;
        });
        peak = std::max(peak, ResidentKiB());
        if (i == count / 4) {
            settled = ResidentKiB();
        }
        if (i > 0 && i % 1000 == 0) {
            std::cout << "soak: " << i << " each way, " << faults << " faults, resident "
                      << ResidentKiB() << " KiB" << std::endl;
        }
    }
    TestSupport::WaitFor(
        [&] {
            Drain(books);
            return books.ReportCount() >= books.QueuedCount() && books.AllDelivered(modem);
        },
        60s);
    EXPECT_EQ(SMSStopSerice(), 1);

    // Every second delivery must have a refused deletion behind it.
    int duplicates = 0;
    for (const auto& problem : books.Problems(modem)) {
        if (problem.find("delivered") != std::string::npos &&
            problem.find("times") != std::string::npos) {
            ++duplicates;
        } else {
            ADD_FAILURE() << problem;
        }
    }
    EXPECT_LE(duplicates, deletionFaults);
    std::cout << "soak: " << count << " messages each way, " << faults << " faults ("
              << deletionFaults << " on deletion), " << duplicates
              << " explained duplicates, resident " << settled << " KiB settled, " << peak
              << " KiB peak\n";
    if (count >= 400) {
        EXPECT_LT(peak - settled, 2048) << "memory grows";
    }
}

}  // namespace
