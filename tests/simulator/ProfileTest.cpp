// The simulated models and profile files: every model the library names can be simulated,
// a profile file written from a captured dialogue answers as the capture shows, and a
// file or a model that cannot be used is refused with the reason.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ProfileFile.h"
#include "ProgramRun.h"
#include "SimFixture.h"

using ModemSim::ModemProfile;
using TestSupport::ModemLine;

namespace {

const std::string kExample = TARVIK_PROFILES_DIR "/MC8618.profile";
const std::string kCapture = TARVIK_PROFILES_DIR "/MC8618.capture";

std::vector<std::string> KnownNames() {
    std::vector<std::string> names;
    std::stringstream list(ModemSim::KnownModelNames());
    for (std::string name; std::getline(list, name, ',');) {
        names.push_back(name.substr(name.front() == ' ' ? 1 : 0));
    }
    return names;
}

ModemSim::StoredMessage Unread(const std::string& number, const std::string& text,
                               ModemSim::Coding coding = ModemSim::Coding::Gsm7) {
    ModemSim::StoredMessage message;
    message.number = number;
    message.text = text;
    message.coding = coding;
    return message;
}

std::optional<ModemProfile> Parse(const std::string& text, std::string& error) {
    std::istringstream in(text);
    return ModemSim::ReadProfile(in, "t.profile", error);
}

TEST(SimulatedModels, EveryNameOfTheLibraryIsAModelAndNoOtherIs) {
    const std::vector<std::string> names = KnownNames();
    EXPECT_EQ(names.size(), 25u);
    for (const std::string& name : names) {
        const auto profile = ModemSim::KnownProfile(name);
        ASSERT_TRUE(profile.has_value()) << name;
        EXPECT_EQ(profile->identity.at("AT+CGMM"), name);
        EXPECT_EQ(profile->identity.at("AT+CGMR"), "Revision: " + name + "_V1.00");
    }
    // A variant the library recognises by the name it holds is that model.
    EXPECT_EQ(ModemSim::KnownProfile("SIM7600CE-M-PCIE")->storageName, "SM");
    // A family's module has its row's quirks; a generic one the standard dialect.
    EXPECT_EQ(ModemSim::KnownProfile("SIMCOM_SIM800L")->identity.at("AT+GMM"), "SIMCOM_SIM800L");
    EXPECT_EQ(ModemSim::KnownProfile("EC25"), ModemSim::ProfileFor("EC25"));
    EXPECT_EQ(ModemSim::KnownProfile("generic:XYZ 4G")->identity.at("AT+CGMM"), "XYZ 4G");
    EXPECT_NE(ModemSim::KnownFamilyNames().find("SIM800"), std::string::npos);
    for (const char* unknown : {"XYZ1000", "SIM80", "EC200U", "mu609", "", "generic:"}) {
        EXPECT_FALSE(ModemSim::KnownProfile(unknown).has_value()) << unknown;
    }
    // In process an unknown name still makes a modem: one the library cannot identify,
    // in the common dialect.
    ModemProfile unknown = ModemSim::ProfileFor("XYZ1000");
    EXPECT_EQ(unknown.identity.at("AT+GMM"), "XYZ1000");
    unknown.identity = ModemSim::ProfileFor("MU609").identity;
    EXPECT_EQ(unknown, ModemSim::ProfileFor("MU609"));
}

// Commands that touch every part of the index dialect (identity, storage, listing, reading,
// deletion, refusals), each with the end of its reply.
const std::vector<std::pair<std::string, std::string>> kScript = {
    {"AT+CGMM\r\n", "OK\r\n"},           {"AT+CGMR\r\n", "OK\r\n"},
    {"AT+CPMS=\"MT\"\r\n", "OK\r\n"},    {"AT+CPMS?\r\n", "OK\r\n"},
    {"AT+CMGF=1\r\n", "OK\r\n"},         {"AT+CMGL=\"ALL\"\r\n", "OK\r\n"},
    {"AT+CMGR=1\r\n", "OK\r\n"},         {"AT+CMGL=\"READ\"\r\n", "OK\r\n"},
    {"AT+CMGF=0\r\n", "OK\r\n"},         {"AT+CMGL=4\r\n", "OK\r\n"},
    {"AT+CMGD=1\r\n", "OK\r\n"},         {"AT+CMGL=4\r\n", "OK\r\n"},
    {"AT+CMGS=\"1391\"\r\n", "302\r\n"}, {"AT+CNMI=2,1,1,1,0\r\n", "OK\r\n"},
    {"AT+ZMSGL=6,4\r\n", "OK\r\n"},      {"AT+CMEE=1\r\n", "ERROR\r\n"},
};

TEST(ProfileFile, TheExampleIsTheModelItWasWrittenFromByteForByte) {
    std::string error;
    const auto loaded = ModemSim::LoadProfile(kExample, error);
    ASSERT_TRUE(loaded.has_value()) << error;
    EXPECT_EQ(*loaded, ModemSim::ProfileFor("MC8618"));

    TestSupport::TempPortDir dir;
    ModemSim::CModem fromFile(dir.Path(), 4, *loaded);
    ModemSim::CModem builtIn(dir.Path(), 5, ModemSim::ProfileFor("MC8618"));
    ModemLine fileLine(fromFile.Port().LinkPath());
    ModemLine builtInLine(builtIn.Port().LinkPath());
    ASSERT_TRUE(fileLine.IsOpen() && builtInLine.IsOpen());
    for (ModemSim::CModem* modem : {&fromFile, &builtIn}) {
        ASSERT_EQ(modem->StoreMessage(Unread("10086", "Hello")), 1);
        ASSERT_EQ(modem->StoreMessage(Unread("+8613912345678", "中文", ModemSim::Coding::Ucs2)), 2);
    }
    for (const auto& [command, tail] : kScript) {
        fileLine.Write(command);
        builtInLine.Write(command);
        const std::string heard = fileLine.ReadUntil(tail).bytes;
        EXPECT_EQ(heard, builtInLine.ReadUntil(tail).bytes) << command;
        EXPECT_TRUE(heard.ends_with(tail)) << command << heard;
    }
}

// A write and the reads after it, as the capture holds them.
struct Exchange {
    std::string command;
    std::string reply;
};

// The quoted bytes of a strace line, unescaped.
std::string QuotedBytes(const std::string& line) {
    const std::size_t open = line.find('"');
    std::size_t close = open + 1;
    while (close < line.size() && line[close] != '"') {
        close += line[close] == '\\' ? 2 : 1;
    }
    std::string reason;
    const auto bytes = ModemSim::Unquote(line.substr(open, close + 1 - open), reason);
    EXPECT_TRUE(bytes.has_value()) << reason << ": " << line;
    return bytes.value_or("");
}

std::vector<Exchange> ReadCapture(const std::string& path) {
    std::ifstream file(path);
    std::vector<Exchange> exchanges;
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("write(", 0) == 0) {
            exchanges.push_back({QuotedBytes(line), ""});
        } else if (line.rfind("read(", 0) == 0 && !exchanges.empty()) {
            exchanges.back().reply += QuotedBytes(line);
        }
    }
    return exchanges;
}

TEST(ProfileFile, TheExampleAnswersAsTheCaptureItWasWrittenFromShows) {
    const std::vector<Exchange> exchanges = ReadCapture(kCapture);
    ASSERT_EQ(exchanges.size(), 21u);
    std::string error;
    const auto loaded = ModemSim::LoadProfile(kExample, error);
    ASSERT_TRUE(loaded.has_value()) << error;

    TestSupport::TempPortDir dir;
    ModemSim::CModem modem(dir.Path(), 4, *loaded);
    ModemLine line(modem.Port().LinkPath());
    ASSERT_TRUE(line.IsOpen());
    // The message waiting in the capture, at its time.
    ModemSim::StoredMessage waiting = Unread("10086", "Hello from the network");
    waiting.time = {26, 12, 8, 3, 50, 3, 0};
    ASSERT_EQ(modem.StoreMessage(waiting), 1);
    for (const Exchange& exchange : exchanges) {
        line.Write(exchange.command);
        // A report carries the time of its run: only what comes before it is compared.
        const std::string expected = exchange.reply.substr(0, exchange.reply.find("\r\n+CDS:"));
        const std::string heard = line.ReadUntil(expected, 3000, 50).bytes;
        EXPECT_EQ(heard.substr(0, expected.size()), expected) << exchange.command;
        if (expected.size() < exchange.reply.size()) {
            EXPECT_NE(line.ReadUntil("0\r\n").bytes.find("+CDS: 6,1,\"+8613800138000\",129,"),
                      std::string::npos);
        }
    }
    ASSERT_EQ(modem.Submitted().size(), 1u);
    EXPECT_EQ(modem.Submitted()[0].text, "Hi there");
}

TEST(ProfileFile, RowsChangeTheBaseModelAndQuotedValuesKeepTheirBytes) {
    std::string error;
    const auto loaded = Parse(
        "# a modem seen in the field\r\n"
        "model MU609\r\n"
        "  imsi 460031234567890  \r\n"
        "reply AT+CGMM \"\\r\\nX\\r\\n\\r\\nOK\\r\\n\"\r\n"
        "answer ATI \"Maker: \\\"Q\\\"\\r\\nModel: \\101\\x42\"\r\n"
        "prompt \"\\r\\n>\\x20\"\r\n"
        "boot-line \"\"\r\n"
        "mode-switch-probe AT^CURC=\r\n"
        "mode-switch-probe AT+MODE=\r\n"
        "generic yes\r\n"
        "answer AT+CSQ +CSQ: 12,99\r\n",
        error);
    ASSERT_TRUE(loaded.has_value()) << error;
    ModemProfile expected = ModemSim::ProfileFor("MU609");
    expected.imsi = "460031234567890";
    expected.identity.erase("AT+CGMM");
    expected.replies["AT+CGMM"] = "\r\nX\r\n\r\nOK\r\n";
    expected.identity["ATI"] = "Maker: \"Q\"\r\nModel: AB";
    expected.bootLines.clear();
    expected.modeSwitchProbes = {"AT^CURC=", "AT+MODE="};
    expected.generic = true;
    expected.identity["AT+CSQ"] = "+CSQ: 12,99";
    EXPECT_EQ(*loaded, expected);

    TestSupport::TempPortDir dir;
    ModemSim::CModem modem(dir.Path(), 4, *loaded);
    ModemLine line(modem.Port().LinkPath());
    ASSERT_TRUE(line.IsOpen());
    EXPECT_EQ(line.Ask("AT+CGMM\r\n"), "\r\nX\r\n\r\nOK\r\n");
    EXPECT_EQ(line.Ask("AT+GMM\r\n"), "\r\nMU609\r\n\r\nOK\r\n");
    EXPECT_EQ(line.Ask("ATI\r\n"), "\r\nMaker: \"Q\"\r\nModel: AB\r\n\r\nOK\r\n");
    EXPECT_EQ(line.Ask("AT^CURC=0\r\n", "ERROR\r\n"), "\r\nERROR\r\n");
    EXPECT_EQ(line.Ask("AT+CFUN?\r\n"), "\r\nOK\r\n");
    // A row comes before the built-in answer to the same command.
    EXPECT_EQ(line.Ask("AT+CSQ\r\n"), "\r\n+CSQ: 12,99\r\n\r\nOK\r\n");

    // Without identity rows the modem names no model: one the library cannot identify.
    const auto anonymous = Parse("imsi 460001234567890\n", error);
    ASSERT_TRUE(anonymous.has_value()) << error;
    ModemSim::CModem nameless(dir.Path(), 5, *anonymous);
    ModemLine namelessLine(nameless.Port().LinkPath());
    ASSERT_TRUE(namelessLine.IsOpen());
    EXPECT_EQ(namelessLine.Ask("AT+GMM\r\n", "ERROR\r\n"), "\r\nERROR\r\n");
}

TEST(ProfileFile, ARowThatCannotBeUsedIsNamedByItsLine) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"colour blue", "t.profile:1: unknown key \"colour\""},
        {"# note\n\necho maybe", "t.profile:3: echo: \"maybe\" is neither yes nor no"},
        {"capacity lots", "t.profile:1: capacity: \"lots\" is not a number from 0 to 999999999"},
        {"capacity -1", "t.profile:1: capacity: \"-1\" is not a number from 0 to 999999999"},
        {"imsi 1\r\nimsi 2", "t.profile:2: imsi is given twice (first on line 1)"},
        {"answer AT+CGMM X\nreply AT+CGMM \"Y\"",
         "t.profile:2: the answer to AT+CGMM is given twice (first on line 1)"},
        {"answer", "t.profile:1: answer needs a command line and what it answers"},
        {"prompt \"\\r\\n> ", "t.profile:1: the quoted value does not close"},
        {"prompt \"a\\\"", "t.profile:1: the quoted value does not close"},
        {"prompt \"\\q\"", "t.profile:1: unknown escape \\q"},
        {"prompt \"\\x4\"", "t.profile:1: \\x needs two hex digits"},
        {"prompt \"\\400\"", "t.profile:1: an octal escape above \\377"},
        {"prompt \"a\" b", "t.profile:1: text after the closing quote"},
        {"imsi 1\nmodel MU609", "t.profile:2: model must be the first row"},
    };
    for (const auto& [text, message] : cases) {
        std::string error;
        EXPECT_FALSE(Parse(text, error).has_value()) << text;
        EXPECT_EQ(error, message) << text;
    }
    std::string error;
    EXPECT_FALSE(Parse("model XYZ1000", error).has_value());
    EXPECT_EQ(error.rfind("t.profile:1: unknown model \"XYZ1000\"; known: MC37i, MG323,", 0), 0u)
        << error;
    EXPECT_FALSE(ModemSim::LoadProfile("/nonexistent/x.profile", error).has_value());
    EXPECT_EQ(error, "cannot read /nonexistent/x.profile");
}

TEST(ModemSimProgram, TakesAProfileFileWithOptionsOnTop) {
    TestSupport::TempPortDir dir;
    const auto program = TestSupport::LaunchProgram(
        {"--dir", dir.Path(), "--port", "5", "--profile", kExample, "--imsi", "460111234567890"});
    ASSERT_GT(program.pid, 0);
    ASSERT_EQ(program.firstLine, dir.Path() + "/COM5");
    {
        ModemLine line(program.firstLine);
        ASSERT_TRUE(line.IsOpen());
        EXPECT_EQ(line.Ask("AT+CGMM\r\n"), "\r\nMC8618\r\n\r\nOK\r\n");
        EXPECT_EQ(line.Ask("AT+CIMI\r\n"), "\r\n460111234567890\r\n\r\nOK\r\n");
        EXPECT_EQ(line.Ask("AT+CPMS?\r\n"),
                  "\r\n+CPMS: \"MT\",0,1000,\"MT\",0,1000,\"MT\",0,1000\r\n\r\nOK\r\n");
    }
    EXPECT_NE(TestSupport::Terminate(program), -1);
}

TEST(ModemSimProgram, RefusesAnUnknownModelAndAnUnusableProfileWithTheReason) {
    TestSupport::TempPortDir dir;
    std::string complaint;
    EXPECT_EQ(TestSupport::RunProgram({"--dir", dir.Path(), "--model", "XYZ1000"}, complaint), 2);
    EXPECT_NE(complaint.find("unknown model XYZ1000"), std::string::npos) << complaint;
    for (const auto& name : KnownNames()) {
        EXPECT_NE(complaint.find(name), std::string::npos) << name;
    }

    const std::string bad = dir.Path() + "/bad.profile";
    std::ofstream(bad) << "answer AT+CGMM MU609\ncapacity none\n";
    complaint.clear();
    EXPECT_EQ(TestSupport::RunProgram({"--dir", dir.Path(), "--profile", bad}, complaint), 2);
    EXPECT_EQ(complaint, "tarvik-modemsim: " + bad +
                             ":2: capacity: \"none\" is not a number from 0 to 999999999\n");

    for (const std::vector<std::string>& options : std::vector<std::vector<std::string>>{
             {"--profile", dir.Path() + "/missing.profile"},
             {"--profile", ""},
             {"--profile", kExample, "--model", "MU609"},
         }) {
        EXPECT_EQ(TestSupport::RunProgram(options), 2) << options[0] << " " << options.back();
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.Path() + "/COM1")));
}

}  // namespace
