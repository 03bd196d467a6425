// Delivery reports as modems hand them over: PDU units and text-mode fields.
#include <gtest/gtest.h>

#include "codec/StatusReport.h"

namespace {

using GSM::DeliveryState;
using GSM::ParseStatusReportPdu;
using GSM::ParseStatusReportText;

// The unit of the Go package fkgi/sms's status-report test (statusreport_test.go), behind
// the empty service-centre part a modem lists: reference 0, recipient 1234 of unknown type,
// both stamps 2011-03-22 14:25:40 at +09:00, status 0.
constexpr const char* kFkgiReport =
    "0006000480214311302241520463113022415204630"
    "0";

TEST(StatusReport, ReadsAUnitFromAPeersTestData) {
    const auto report = ParseStatusReportPdu(kFkgiReport);
    ASSERT_TRUE(report);
    EXPECT_EQ(report->reference, 0);
    EXPECT_EQ(report->recipient, "1234");
    EXPECT_FALSE(report->internationalRecipient);
    EXPECT_EQ(report->serviceCentreTime, "2011-03-22 14:25:40+09:00");
    EXPECT_EQ(report->dischargeTime, "2011-03-22 14:25:40+09:00");
    EXPECT_EQ(report->status, 0);
    EXPECT_EQ(report->storageIndex, -1);
}

TEST(StatusReport, ReadsTheCentreTheReferenceTheInternationalRecipientAndAFailure) {
    // Centre +31624000000, reference 0x2A, recipient +31641600986 (odd digit count),
    // stamps at -02:15 and +05:30, status 0x41 (incompatible destination).
    const auto report = ParseStatusReportPdu(
        "07911326040000F0062A0B911346610089F6"
        "21119041051098"
        "21119041154022"
        "41\r\n");
    ASSERT_TRUE(report);
    EXPECT_EQ(report->reference, 0x2A);
    EXPECT_EQ(report->recipient, "31641600986");
    EXPECT_TRUE(report->internationalRecipient);
    EXPECT_EQ(report->serviceCentreTime, "2012-11-09 14:50:01-02:15");
    EXPECT_EQ(report->dischargeTime, "2012-11-09 14:51:04+05:30");
    EXPECT_EQ(report->status, 0x41);
    EXPECT_EQ(GSM::DeliveryStateOf(report->status), DeliveryState::Failed);
}

TEST(StatusReport, RefusesOtherUnitsAndCutOnes) {
    // An SMS-DELIVER, a unit cut inside its stamps and one without its status, digits that
    // are no stamp, and no hex at all.
    for (const char* unit :
         {"0004048121430000113022415204630568656C6C6F", "000600048021431130224152046311302241",
          "0006000480214311302241520463113022415204630",
          "00060004802143AA302241520463113022415204630"
          "0",
          "", "zz"}) {
        EXPECT_FALSE(ParseStatusReportPdu(unit)) << unit;
    }
}

TEST(StatusReport, ReadsTextModeFields) {
    const auto report = ParseStatusReportText(
        " 6,46,\"+447700900123\",145,\"24/05/01,10:00:00+08\",\"24/05/01,10:00:07+08\",0");
    ASSERT_TRUE(report);
    EXPECT_EQ(report->reference, 46);
    EXPECT_EQ(report->recipient, "447700900123");
    EXPECT_TRUE(report->internationalRecipient);
    EXPECT_EQ(report->serviceCentreTime, "2024-05-01 10:00:00+02:00");
    EXPECT_EQ(report->dischargeTime, "2024-05-01 10:00:07+02:00");
    EXPECT_EQ(report->status, 0);

    const auto national = ParseStatusReportText(
        "6,7,\"0170123\",129,\"24/05/01,10:00:00-04\",\"24/05/01,10:00:"
        "07-04\",48");
    ASSERT_TRUE(national);
    EXPECT_FALSE(national->internationalRecipient);
    EXPECT_EQ(national->dischargeTime, "2024-05-01 10:00:07-01:00");
    EXPECT_EQ(GSM::DeliveryStateOf(national->status), DeliveryState::Pending);

    // A new-message line, a report with a field missing, and a status that is not a number.
    for (const char* fields : {"\"SM\",3", "6,46,\"+44\",145,\"24/05/01,10:00:00+08\",0",
                               "6,46,,,\"24/05/01,10:00:00+08\",\"24/05/01,10:00:07+08\",x"}) {
        EXPECT_FALSE(ParseStatusReportText(fields)) << fields;
    }
}

TEST(StatusReport, StatusCodesFallIntoThreeStates) {
    EXPECT_EQ(GSM::DeliveryStateOf(0x00), DeliveryState::Delivered);
    EXPECT_EQ(GSM::DeliveryStateOf(0x1F), DeliveryState::Delivered);
    EXPECT_EQ(GSM::DeliveryStateOf(0x20), DeliveryState::Pending);
    EXPECT_EQ(GSM::DeliveryStateOf(0x3F), DeliveryState::Pending);
    EXPECT_EQ(GSM::DeliveryStateOf(0x40), DeliveryState::Failed);
    EXPECT_EQ(GSM::DeliveryStateOf(0x80), DeliveryState::Failed);
}

TEST(StatusReport, ReportLinesCarryTheReportOrWhereItIsKept) {
    const auto routed = GSM::ReadReportLine(std::string("+CDS: 20\r\n") + kFkgiReport);
    ASSERT_TRUE(routed && routed->report);
    EXPECT_EQ(routed->report->recipient, "1234");

    const auto text = GSM::ReadReportLine(
        "+CDS: 6,9,\"+4477\",145,\"24/05/01,10:00:00+08\",\"24/05/01,10:00:07+08\",0");
    ASSERT_TRUE(text && text->report);
    EXPECT_EQ(text->report->reference, 9);

    const auto stored = GSM::ReadReportLine("+CDSI: \"SR\",3");
    ASSERT_TRUE(stored);
    EXPECT_FALSE(stored->report);
    EXPECT_EQ(stored->storage, "SR");
    EXPECT_EQ(stored->index, 3);

    for (const char* line : {"+CDSI: \"SR\"", "+CDS: 20\r\n0004", "+CMTI: \"SM\",1"}) {
        EXPECT_FALSE(GSM::ReadReportLine(line)) << line;
    }
}

}  // namespace
