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
#include "engine/Reports.h"
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
constexpr int32_t kCodes[] = {0, 7, 8, 9, 10, 11, 13, 15, 16, 17, 18, 19, 20, 21};

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
    std::vector<std::string> families;  // names matched by family, or none for "—"
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
        std::vector<std::string> families;
        if (cells.size() > 2 && cells[2] != "—") {
            families = Split(cells[2], ", ");
        }
        rows.push_back({Split(cells[0], ", "), std::stoi(cells[1]), families});
    }
    return rows;
}

std::vector<std::string> Names(const GSM::ModelProfile& profile) {
    const auto names = GSM::NamesOf(profile);
    return std::vector<std::string>(names.begin(), names.end());
}

std::vector<std::string> FamilyNames(const GSM::ModelProfile& profile) {
    std::vector<std::string> names;
    for (const GSM::ModelFamily& family : GSM::FamiliesOf(profile)) {
        for (std::string_view name : GSM::NamesOf(family)) {
            names.emplace_back(name);
        }
    }
    return names;
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
    for (const int32_t code : {-1, 1, 2, 3, 4, 5, 6, 12, 14, 22}) {
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
        EXPECT_EQ(readme[at].families, FamilyNames(profile)) << "code " << profile.code;
        ++at;
    }
    // The last rows name the refined code, a model of the table on its networks, and the
    // generic profile.
    ASSERT_EQ(at + 2, readme.size());
    EXPECT_EQ(readme[at + 1].code, GSM::kModelGeneric);
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

// Family names are matched where they begin a word and no digit follows, after the table's
// own names.
TEST(CodeOfFamily, FamilyNamesAndTheirVariantsFindTheirRowAndNothingElseDoes) {
    std::size_t names = 0;
    for (const GSM::ModelProfile& profile : GSM::kModelProfiles) {
        for (const std::string& name : FamilyNames(profile)) {
            ++names;
            EXPECT_EQ(GSM::CodeOfReply(name), GSM::kModelNone) << name << " is a row's own name";
            for (const std::string& reply :
                 {name, "\r\n" + name + "\r\n\r\nOK\r\n", "SIMCOM_" + name + "L",
                  "Quectel " + name + "EFAR06A03M4G", "HUAWEI " + name + "u-2"}) {
                EXPECT_EQ(GSM::CodeOfFamily(reply), profile.code) << reply;
            }
            EXPECT_EQ(GSM::CodeOfFamily(name + "0"), GSM::kModelNone) << name;
            EXPECT_EQ(GSM::CodeOfFamily("X" + name), GSM::kModelNone) << name;
        }
    }
    EXPECT_EQ(names, 9u);
    EXPECT_EQ(GSM::CodeOfFamily("SIMCOM_SIM800L"), GSM::kModelUC20);
    EXPECT_EQ(GSM::CodeOfFamily("EC25"), GSM::kModelCommon);
    EXPECT_EQ(GSM::CodeOfFamily("EC200U"), GSM::kModelNone);
    EXPECT_EQ(GSM::CodeOfFamily("SIM8000"), GSM::kModelNone);
}

TEST_F(SimulatedModemTest, AFamilyIsKnownAfterOnePassAndALaterPassNeverRuns) {
    modem.UpdateProfile([](ModemSim::ModemProfile& p) {
        p.identity = ModemSim::ProfileFor("SIMCOM_SIM800L").identity;
    });
    EXPECT_EQ(engine.Identify(port), GSM::kModelUC20);
    EXPECT_EQ(Wire(), "AT+GMM\r\nAT+CGMM\r\nAT+CGMR\r\n");
}

// A modem whose name nothing matches is given the generic profile only when its answers to
// the three standard test commands fit; otherwise its name is in the last-error text.
TEST_F(SimulatedModemTest, AnUnknownNameIsProbedBeforeTheGenericProfileIsChosen) {
    modem.UpdateProfile([](ModemSim::ModemProfile& p) {
        p.identity = ModemSim::ProfileFor("XYZ 4G").identity;
        p.identity.erase("AT+GMM");  // answered ERROR
    });
    EXPECT_EQ(engine.Identify(port), GSM::kModelGeneric);
    EXPECT_EQ(Wire(), "AT+GMM\r\nAT+CGMM\r\nAT+CGMR\r\nAT+CMGF=?\r\nAT+CPMS=?\r\nAT+CSCS=?\r\n");

    struct Shortfall {
        std::string command;
        std::string reply;
        std::string text;
    };
    for (const Shortfall& shortfall : std::vector<Shortfall>{
             {"AT+CMGF=?", "\r\n+CMGF: (1)\r\n\r\nOK\r\n", "offers no PDU and text mode"},
             {"AT+CPMS=?", "\r\nERROR\r\n", "lists no message storage"},
             {"AT+CSCS=?", "\r\n+CSCS: (\"IRA\",\"UCS2\")\r\n\r\nOK\r\n",
              "offers no GSM character set"}}) {
        modem.FailCommand(shortfall.command, shortfall.reply, 1);
        GSM::SetLastError("");
        EXPECT_EQ(engine.Identify(port), GSM::kModelNone) << shortfall.command;
        EXPECT_EQ(TestSupport::LastError(),
                  "Can not find the device type: XYZ 4G " + shortfall.text);
    }
    // "(0-1)" offers both modes too.
    modem.FailCommand("AT+CMGF=?", "\r\n+CMGF: (0-1)\r\n\r\nOK\r\n", 1);
    EXPECT_EQ(engine.Identify(port), GSM::kModelGeneric);
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

namespace {

// Reports are asked for only where a row knows how they come back: never on the CDMA rows,
// and where they are, by the row's own indication settings with the report field alone
// changed (1 at once, 2 kept), so that nothing else the set-up chose moves.
TEST(ReportRouting, EachRowAsksForReportsByItsOwnIndicationWithOnlyTheReportFieldChanged) {
    for (const int32_t cdma : {GSM::kModelMC8332, GSM::kModelMC8618, GSM::kModelSIM6320C,
                               GSM::kModelSIM7600CEUcs2, GSM::kModelNone}) {
        EXPECT_EQ(GSM::ProfileOf(cdma).reports, GSM::ReportRoute::Unsupported) << cdma;
        EXPECT_FALSE(GSM::ReportIndication(cdma)) << cdma;
    }
    int routed = 0;
    for (const GSM::ModelProfile& row : GSM::kModelProfiles) {
        const auto values = GSM::ReportIndication(row.code);
        if (row.reports == GSM::ReportRoute::Unsupported) {
            EXPECT_FALSE(values) << row.code;
            continue;
        }
        ASSERT_TRUE(values) << row.code;
        ++routed;
        for (const GSM::SetupStep& step : row.setup) {
            if (step.kind != GSM::SetupStepKind::NewMessageIndication) {
                continue;
            }
            for (const std::size_t field : {0u, 1u, 2u, 4u}) {
                EXPECT_EQ((*values)[field], step.values[field]) << row.code;
            }
            EXPECT_EQ((*values)[3], row.reports == GSM::ReportRoute::Direct ? 1 : 2) << row.code;
            // Routed deliveries (mt 2) would want acknowledgements.
            EXPECT_NE((*values)[1], 2) << row.code;
        }
    }
    EXPECT_GE(routed, 4);
}

}  // namespace
