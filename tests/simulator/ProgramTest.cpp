// The tarvik-modemsim program: it names its link, answers on it, and ends on SIGTERM.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ProgramRun.h"
#include "SimFixture.h"

namespace {

TEST(ModemSimProgram, ServesItsLinkUntilTerminated) {
    TestSupport::TempPortDir dir;
    const auto program = TestSupport::LaunchProgram({"--dir", dir.Path(), "--port", "6", "--model",
                                                     "MC8618", "--message", "10086:Hi there",
                                                     "--own-number", "+8613912345678"});
    ASSERT_GT(program.pid, 0);
    const std::string& printed = program.firstLine;
    const std::string link = dir.Path() + "/COM6";
    EXPECT_EQ(printed, link);

    {
        TestSupport::ModemLine line(link);
        ASSERT_TRUE(line.IsOpen());
        EXPECT_EQ(line.Ask("AT+CGMM\r\n"), "\r\nMC8618\r\n\r\nOK\r\n");
        EXPECT_EQ(line.Ask("AT+CMGF=1\r\n"), "\r\nOK\r\n");
        const std::string listing = line.Ask("AT+CMGL=\"ALL\"\r\n");
        EXPECT_NE(listing.find("+CMGL: 1,\"REC UNREAD\",\"10086\","), std::string::npos);
        EXPECT_NE(listing.find("\r\nHi there\r\n"), std::string::npos);
        // The own number given: a message to it is stored.
        line.Write("AT+CMGS=\"13912345678\"\rLoop\x1A");
        EXPECT_NE(line.ReadUntil(",0\r\n").bytes.find("+CMGS: 1"), std::string::npos);
        EXPECT_NE(line.Ask("AT+CMGR=2\r\n").find("\r\nLoop\r\n"), std::string::npos);
    }

    const int status = TestSupport::Terminate(program);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(ModemSimProgram, RefusesUnknownOptions) {
    EXPECT_EQ(TestSupport::RunProgram({"--colour", "blue"}), 2);
}

}  // namespace
