// Numbers and texts that try to smuggle a command to the modem: refused, or carried as
// message content, never executed.
#include <algorithm>
#include <string>
#include <vector>

#include "ServiceFixture.h"

namespace {

using TestSupport::Fetch;
using TestSupport::Reports;
using TestSupport::ServiceTest;

constexpr char kInjected[] = "AT+CMGD=1,4";

class HostileInputTest : public ServiceTest {
protected:
    bool ModemRan(const std::string& command) {
        for (const auto& line : modem.Commands()) {
            if (line.find(command) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
};

TEST_F(HostileInputTest, NumbersAndPrefixesCarryingCommandsAreRefused) {
    ASSERT_EQ(Start(), 1);
    for (const std::string& number : std::vector<std::string>{
             "139\"\r\nAT+CMGD=1,4\r\n", "139\r", "139\n", "139\x1A", "139\x1B", "139\"", "139;",
             "1,39", std::string(40, '1'), std::string(3000, '9')}) {
        EXPECT_EQ(SMSSendMessage2("hi", number.c_str(), nullptr), -1) << number.size();
    }
    for (const char* prefix : {"86\"", "8\r6", "86\x1A", "+86"}) {
        EXPECT_EQ(SMSSendMessage2("hi", "139", prefix), -1) << prefix;
    }
    EXPECT_EQ(SMSCounts(), 0);
}

TEST_F(HostileInputTest, TextsCarryingCommandsArriveAsText) {
    ModemSim::StoredMessage keep;
    keep.text = "must survive";
    ASSERT_GE(modem.StoreMessage(keep), 0);
    ASSERT_EQ(Start(), 1);
    const std::vector<std::string> texts = {
        std::string("\r\n") + kInjected + "\r\n",
        std::string("\x1A") + kInjected + "\r",
        std::string("\x1B") + kInjected + "\r",
        std::string("say \"") + kInjected + "\"",
        std::string(400, '\x1A'),
    };
    for (const auto& text : texts) {
        ASSERT_GE(SMSSendMessage(text.c_str(), "13912345678"), 1);
    }
    const std::size_t parts = 4 + 6;  // the Ctrl-Z run goes as UCS2, 70 units a part
    const auto reports = Reports(parts, std::chrono::seconds(40));
    ASSERT_EQ(reports.size(), parts);
    for (const auto& report : reports) {
        EXPECT_EQ(report.result, 1);
    }
    EXPECT_FALSE(ModemRan(kInjected));
    std::vector<std::string> submitted;
    for (const auto& submission : modem.Submitted()) {
        submitted.push_back(submission.text);
    }
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_NE(std::find(submitted.begin(), submitted.end(), texts[i]), submitted.end()) << i;
    }
    // The storage was not wiped on the way.
    const auto messages = Fetch(1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(std::string(messages[0].text), "must survive");
}

}  // namespace
