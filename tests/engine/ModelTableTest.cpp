// The table of models: one row per code, identification by its names in its order, the
// README's list of models, and the simulator's dialects.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "EngineFixture.h"
#include "Modem.h"
#include "engine/ModelTable.h"
#include "support/TempPortDir.h"

namespace {

// The engine and the simulator over a real pseudo-terminal.
class SimulatedModemTest : public ::testing::Test {
protected:
    static constexpr int kPort = 5;

    SimulatedModemTest() : modem(dir.Path(), kPort, ModemSim::ProfileFor("MU609")) {}

    void SetUp() override { ASSERT_EQ(TestSupport::OpenForTest(port, kPort), 1); }

    std::string Wire() { return modem.Port().Received(); }

    TestSupport::TempPortDir dir;
    ModemSim::CModem modem;
    CSXCom port;
    GSM::IComBaseCmd engine;
};

// The codes a model can have; every other code has no row of its own.
constexpr int32_t kCodes[] = {0, 7, 8, 9, 10, 11, 13, 15, 16, 17, 18, 19, 20};

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
    std::vector<std::string> pieces;
    std::size_t at = 0;
    for (std::size_t next; (next = text.find(separator, at)) != std::string::npos;
         at = next + separator.size()) {
        pieces.push_back(text.substr(at, next - at));
    }
    pieces.push_back(text.substr(at));
    return pieces;
}

struct ReadmeRow {
    std::vector<std::string> names;
    int32_t code;
};

// The rows of the README's table of supported modems, in its order.
std::vector<ReadmeRow> ReadmeRows() {
    std::ifstream file(TARVIK_README);
    std::vector<ReadmeRow> rows;
    bool inSection = false;
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("## ", 0) == 0) {
            inSection = line == "## Supported modems";
            continue;
        }
        if (!inSection || line.rfind("| ", 0) != 0) {
            continue;
        }
        const std::vector<std::string> cells = Split(line.substr(2), " | ");
        if (cells.size() < 2 || cells[1].empty() ||
            cells[1].find_first_not_of("0123456789") != std::string::npos) {
            continue;  // the heading
        }
        rows.push_back({Split(cells[0], ", "), std::stoi(cells[1])});
    }
    return rows;
}

std::vector<std::string> Names(const GSM::ModelProfile& profile) {
    const auto names = GSM::NamesOf(profile);
    return std::vector<std::string>(names.begin(), names.end());
}

TEST(ModelTable, EveryCodeHasExactlyOneRowAndOtherCodesTheRowOfNone) {
    for (const int32_t code : kCodes) {
        int rows = 0;
        for (const GSM::ModelProfile& profile : GSM::kModelProfiles) {
            rows += profile.code == code ? 1 : 0;
        }
        EXPECT_EQ(rows, 1) << "code " << code;
        EXPECT_EQ(GSM::ProfileOf(code).code, code);
    }
    EXPECT_EQ(std::size(GSM::kModelProfiles), std::size(kCodes));
    for (const int32_t code : {-1, 1, 2, 3, 4, 5, 6, 12, 14, 21}) {
        EXPECT_EQ(GSM::ProfileOf(code).code, GSM::kModelNone) << "code " << code;
        EXPECT_TRUE(GSM::ProfileOf(code).setup.empty()) << "code " << code;
    }
}

TEST(ModelTable, NamesAndTheirOrderAreTheReadmes) {
    const std::vector<ReadmeRow> readme = ReadmeRows();
    ASSERT_FALSE(readme.empty()) << TARVIK_README;
    std::size_t at = 0;
    for (const GSM::ModelProfile& profile : GSM::kModelProfiles) {
        if (GSM::NamesOf(profile).empty()) {
            continue;  // reached by its code only
        }
        ASSERT_LT(at, readme.size()) << "no README row for code " << profile.code;
        EXPECT_EQ(readme[at].code, profile.code);
        EXPECT_EQ(readme[at].names, Names(profile)) << "code " << profile.code;
        ++at;
    }
    // The last row names the refined code: a model of the table on its networks.
    ASSERT_EQ(at + 1, readme.size());
    const GSM::ModelProfile& refined = GSM::ProfileOf(GSM::kModelSIM7600CE);
    EXPECT_EQ(readme[at].code, refined.refinement.code);
    std::string networks;
    for (std::string_view network : refined.refinement.networks) {
        networks += (networks.empty() ? "" : ", ") + std::string(network);
    }
    EXPECT_EQ(readme[at].names, Split(Names(refined)[0] + " on the networks " + networks, ", "));
}

TEST(MatchModel, TheFirstRowWithANameInTheReplyDecides) {
    GSM::IComBaseCmd engine;
    const auto match = [&](const std::string& reply) {
        int32_t got = -5;
        return engine.MatchModel(reply.c_str(), got) == 1 ? got : -5;
    };
    std::size_t names = 0;
    for (const GSM::ModelProfile& earlier : GSM::kModelProfiles) {
        for (const std::string& name : Names(earlier)) {
            ++names;
            EXPECT_EQ(match(name), earlier.code) << name;
            EXPECT_EQ(match("\r\n" + name + "-M-PCIE\r\n\r\nOK\r\n"), earlier.code) << name;
            // A later row's name first in the reply still loses to this one.
            for (const GSM::ModelProfile* later = &earlier + 1;
                 later != std::end(GSM::kModelProfiles); ++later) {
                for (const std::string& other : Names(*later)) {
                    EXPECT_EQ(match(other + " " + name), earlier.code) << other << " " << name;
                    EXPECT_EQ(other.find(name), std::string::npos)
                        << other << " would never be matched";
                }
            }
        }
    }
    EXPECT_EQ(names, 25u);
    EXPECT_EQ(match("Quectel EC20F"), GSM::kModelCommon);  // not "UC20"
    for (const char* reply : {"SIM800", "\r\nERROR\r\n", "", "mu609", "XYZ1000"}) {
        GSM::SetLastError("");
        int32_t got = -5;
        EXPECT_EQ(engine.MatchModel(reply, got), 0) << reply;
        EXPECT_EQ(got, -5) << reply;
        EXPECT_EQ(TestSupport::LastError(), "Can not find the device type");
    }
}

// Every name, as the simulator answers it, identifies its row's code in one exchange, and
// the simulator speaks the dialect the row expects of it.
TEST_F(SimulatedModemTest, EveryNameOfTheTableIsIdentifiedOverTheLineAndSimulatedInItsDialect) {
    for (const GSM::ModelProfile& profile : GSM::kModelProfiles) {
        for (const std::string& name : Names(profile)) {
            const ModemSim::ModemProfile simulated = ModemSim::ProfileFor(name);
            modem.UpdateProfile(
                [&](ModemSim::ModemProfile& p) { p.identity = simulated.identity; });
            modem.ClearLogs();
            EXPECT_EQ(engine.Identify(port), profile.code) << name;
            EXPECT_EQ(Wire(), "AT+GMM\r\n") << name;

            const GSM::ReceiveProfile& receive = profile.receive;
            EXPECT_EQ(simulated.indexDialect, receive.method == GSM::ReceiveMethod::ByIndex)
                << name;
            EXPECT_EQ(simulated.unpromptedSubmit,
                      profile.submitMethod == GSM::SubmitMethod::Unprompted)
                << name;
            if (receive.method == GSM::ReceiveMethod::PduListing) {
                EXPECT_EQ(simulated.listTag, receive.listingTag) << name;
                EXPECT_EQ(simulated.blankLineAfterListHeader, receive.blankLineAfterHeader) << name;
            }
        }
    }
}

}  // namespace
