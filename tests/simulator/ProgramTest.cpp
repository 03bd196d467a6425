// The tarvik-modemsim program: it names its link, answers on it, and ends on SIGTERM.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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
    EXPECT_EQ(TestSupport::RunProgram({"--chatter", "50"}), 2);
    EXPECT_EQ(TestSupport::RunProgram({"--network-delay", "soon"}), 2);
}

// A modem that talks on its own, confirms slowly and lists slowly, from the command line.
TEST(ModemSimProgram, TalksOnItsOwnAndTakesItsTimeWhenTold) {
    TestSupport::TempPortDir dir;
    const auto program = TestSupport::LaunchProgram(
        {"--dir", dir.Path(), "--port", "4", "--chatter", "150", "--chatter-line", "^MODE:5,4",
         "--network-delay", "600", "--slow-listing", "300", "--message", "10086:slow one"});
    ASSERT_GT(program.pid, 0);
    {
        TestSupport::ModemLine line(program.firstLine);
        ASSERT_TRUE(line.IsOpen());
        // Unasked, again and again.
        const std::string heard = line.ReadUntil("^MODE:5,4\r\n\r\n^MODE:5,4\r\n", 3000).bytes;
        EXPECT_NE(heard.find("\r\n^MODE:5,4\r\n\r\n^MODE:5,4\r\n"), std::string::npos) << heard;
        EXPECT_NE(line.Ask("AT+CMGF=1\r\n").find("OK"), std::string::npos);
        const auto listed = line.Ask("AT+CMGL=\"ALL\"\r\n", "\r\nOK\r\n");
        EXPECT_NE(listed.find("\r\nslow one\r\n"), std::string::npos) << listed;
        line.Write("AT+CMGS=\"13912345678\"\rLater\x1A");
        EXPECT_NE(line.ReadUntil("\r\nOK\r\n", 3000).bytes.find("+CMGS: 1"), std::string::npos);
    }
    EXPECT_NE(TestSupport::Terminate(program), -1);
}

// The options a user tests a program with: messages from a file, the network of the SIM,
// and faults on the commands named.
TEST(ModemSimProgram, StoresAFilesMessagesAndInjectsTheFaultsNamed) {
    TestSupport::TempPortDir dir;
    const std::string file = dir.Path() + "/inbox.txt";
    std::ofstream(file) << "# two messages\n\n10086:First one\r\n+8613900000001:Second: a:b\n";
    const auto program = TestSupport::LaunchProgram(
        {"--dir", dir.Path(), "--port", "3", "--model", "SIM7600CE", "--messages", file, "--imsi",
         "460031234567890", "--fail", "AT+CNMI", "--silence", "AT+CPIN?", "--refuse-sends"});
    ASSERT_GT(program.pid, 0);
    ASSERT_EQ(program.firstLine, dir.Path() + "/COM3");
    {
        TestSupport::ModemLine line(program.firstLine);
        ASSERT_TRUE(line.IsOpen());
        EXPECT_EQ(line.Ask("AT+CIMI\r\n"), "\r\n460031234567890\r\n\r\nOK\r\n");
        EXPECT_EQ(line.Ask("AT+CNMI=1,0,0,0,1\r\n", "ERROR\r\n"), "\r\nERROR\r\n");
        line.Write("AT+CPIN?\r\n");
        EXPECT_EQ(line.ReadUntil("OK\r\n", 1000).bytes, "");
        // Commands the faults do not name are answered as ever.
        EXPECT_EQ(line.Ask("AT+CMGF=1\r\n"), "\r\nOK\r\n");
        const std::string listing = line.Ask("AT+CMGL=\"ALL\"\r\n");
        EXPECT_NE(listing.find("+CMGL: 1,\"REC UNREAD\",\"10086\","), std::string::npos);
        EXPECT_NE(listing.find("\r\nFirst one\r\n"), std::string::npos);
        // Only the first colon ends the number.
        EXPECT_NE(listing.find("+CMGL: 2,\"REC UNREAD\",\"+8613900000001\","), std::string::npos);
        EXPECT_NE(listing.find("\r\nSecond: a:b\r\n"), std::string::npos);
        EXPECT_EQ(listing.find("+CMGL: 3"), std::string::npos);
        // A refused message is not looped back to its own number.
        line.Write("AT+CMGS=\"13800138000\"\rLoop\x1A");
        const std::string result = line.ReadUntil("500\r\n").bytes;
        EXPECT_NE(result.find("+CMS ERROR: 500"), std::string::npos);
        EXPECT_EQ(result.find("+CMGS:"), std::string::npos);
        line.Write("AT+CMGR=3\r\n");
        EXPECT_EQ(line.ReadUntil("OK\r\n", 1000).bytes.find("Loop"), std::string::npos);
    }
    EXPECT_NE(TestSupport::Terminate(program), -1);
}

// Every option the program takes is in its --help, so a new one cannot go undocumented.
TEST(ModemSimProgram, HelpNamesEveryOption) {
    std::ifstream source(TARVIK_MODEMSIM_SOURCE);
    ASSERT_TRUE(source.is_open());
    const std::string code((std::istreambuf_iterator<char>(source)),
                           std::istreambuf_iterator<char>());
    std::string help;
    FILE* out = ::popen(TARVIK_MODEMSIM_PATH " --help", "r");
    ASSERT_NE(out, nullptr);
    char chunk[512];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, out)) > 0;) {
        help.append(chunk, n);
    }
    EXPECT_EQ(::pclose(out), 0);

    // Every `arg == "--name"` of the program's source; std::regex trips g++ 12's
    // uninitialised-use warning under AddressSanitizer.
    const std::string opening = "arg == \"--";
    int options = 0;
    for (auto at = code.find(opening); at != std::string::npos; at = code.find(opening, at + 1)) {
        const auto start = at + opening.size() - 2;
        const auto stop = code.find('"', start);
        ASSERT_NE(stop, std::string::npos);
        ++options;
        std::string named = " ";
        named += code.substr(start, stop - start);
        named += ' ';
        EXPECT_NE(help.find(named), std::string::npos) << named;
    }
    EXPECT_GE(options, 14);
}

TEST(ModemSimProgram, RefusesUnusableValues) {
    TestSupport::TempPortDir dir;
    const std::string badFile = dir.Path() + "/bad.txt";
    std::ofstream(badFile) << "10086:fine\nno colon here\n";
    for (const std::vector<std::string>& options : std::vector<std::vector<std::string>>{
             {"--port", "0"},
             {"--port", "1025"},
             {"--port", "7x"},
             {"--port", ""},
             {"--latency", "-5"},
             {"--latency", "99999999999999"},
             {"--imsi", "4600x1234"},
             {"--message", ":no number"},
             {"--messages", dir.Path() + "/missing.txt"},
             {"--messages", badFile},
             {"--fail", ""},
             {"--silence", ""},
             {"--model"},
         }) {
        EXPECT_EQ(TestSupport::RunProgram(options), 2) << options[0] << " " << options.back();
    }
    // Nothing was linked by a refused start.
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.Path() + "/COM1")));
}

}  // namespace
