// The tarvik-modemsim program: it names its link, answers on it, and ends on SIGTERM.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "SimFixture.h"

namespace {

TEST(ModemSimProgram, ServesItsLinkUntilTerminated) {
    TestSupport::TempPortDir dir;
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        ::execl(TARVIK_MODEMSIM_PATH, "tarvik-modemsim", "--dir", dir.Path().c_str(), "--port", "6",
                "--model", "MC8618", "--message", "10086:Hi there", "--own-number",
                "+8613912345678", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string printed;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') {
        printed.push_back(c);
    }
    ::close(out[0]);
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

    ASSERT_EQ(::kill(child, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST(ModemSimProgram, RefusesUnknownOptions) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::freopen("/dev/null", "w", stderr);
        ::execl(TARVIK_MODEMSIM_PATH, "tarvik-modemsim", "--colour", "blue",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

}  // namespace
