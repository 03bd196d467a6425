// Command transactions and the query operations, checked by the bytes the modem received.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "EngineFixture.h"

using TestSupport::EngineTest;
using TestSupport::LastError;

namespace {

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

TEST_F(EngineTest, SimpleCommandCountsItsWritesByTheReply) {
    // "OK" at once: one write.
    EXPECT_EQ(engine.SendSimpleCommand(port, "AT\r\n"), GSM::Outcome::Done);
    EXPECT_EQ(Wire(), "AT\r\n");

    // "ERROR": one write, failure.
    ClearWire();
    Fail("AT+CSMP=1\r\n", "\r\n+CMS ERROR: 302\r\n", 1);
    EXPECT_EQ(engine.SendSimpleCommand(port, "AT+CSMP=1\r\n"), GSM::Outcome::Failed);
    EXPECT_EQ(Wire(), "AT+CSMP=1\r\n");

    // Both words in one burst count as success.
    ClearWire();
    Reply("ATI\r\n", "\r\nERROR in the banner\r\n\r\nOK\r\n", 1);
    EXPECT_EQ(engine.SendSimpleCommand(port, "ATI\r\n"), GSM::Outcome::Done);
    EXPECT_EQ(Count(Wire(), "ATI\r\n"), 1);

    // Information, a pause longer than a burst gap, then "OK": the command goes out twice.
    ClearWire();
    Reply("AT+CPMS=\"SM\"\r\n", {{"\r\n+CPMS: 0,50,0,50,0,50\r\n", 0}, {"\r\nOK\r\n", 250}}, 1);
    EXPECT_EQ(engine.SendSimpleCommand(port, "AT+CPMS=\"SM\"\r\n"), GSM::Outcome::Done);
    EXPECT_EQ(Count(Wire(), "AT+CPMS=\"SM\"\r\n"), 2);

    // A silent modem: five writes, then failure.
    ClearWire();
    Silence("AT+CNMI=1,0,0,0,1\r\n");
    EXPECT_EQ(engine.SendSimpleCommand(port, "AT+CNMI=1,0,0,0,1\r\n"), GSM::Outcome::Failed);
    EXPECT_EQ(Count(Wire(), "AT+CNMI=1,0,0,0,1\r\n"), 5);
}

TEST_F(EngineTest, OperationsOnAClosedPortWriteNothing) {
    port.Close();
    GSM::SetLastError("earlier");
    EXPECT_EQ(engine.CheckAt(port), GSM::kStatusPortClosed);
    EXPECT_EQ(engine.EchoOff(port), GSM::kStatusPortClosed);
    EXPECT_EQ(engine.CheckSim(port), GSM::kStatusPortClosed);
    EXPECT_EQ(engine.SetMessageFormat(port, 0), GSM::kStatusPortClosed);
    EXPECT_EQ(engine.SetNewMessageIndication(port, 1, 0, 0, 0, 1), GSM::kStatusPortClosed);
    EXPECT_EQ(engine.SetPreferredStorage(port, "SM"), GSM::kStatusPortClosed);
    EXPECT_EQ(engine.SetCharacterSet(port, "UCS2"), GSM::kStatusPortClosed);
    EXPECT_EQ(engine.SetSubmitParameters(port), GSM::kStatusPortClosed);
    engine.SetMessageEncoding(port, 1, 2);
    EXPECT_EQ(engine.Identify(port), -1);
    char number[GSM::kServiceCentreCapacity] = {};
    char operatorCode[8] = {};
    EXPECT_EQ(engine.GetServiceCentre(port, number, nullptr), 0);
    EXPECT_EQ(engine.GetOperatorCode(port, operatorCode), 0);
    EXPECT_EQ(engine.SetServiceCentre(port, "+8613800100500"), 0);
    EXPECT_EQ(Wire(), "");
    EXPECT_EQ(LastError(), "earlier");
}

TEST_F(EngineTest, StatusOperationsLeaveTheirFailureTexts) {
    struct Case {
        const char* command;
        int (*run)(GSM::IComBaseCmd&, CSXCom&);
        const char* text;
    };
    const Case cases[] = {
        {"AT\r\n", [](GSM::IComBaseCmd& e, CSXCom& p) { return e.CheckAt(p); },
         "Device Not Connected,or wrong Baud rate"},
        {"ATE0\r\n", [](GSM::IComBaseCmd& e, CSXCom& p) { return e.EchoOff(p); },
         "Device Not Connected,or wrong Baud rate "},
        {"AT+CPIN?\r\n", [](GSM::IComBaseCmd& e, CSXCom& p) { return e.CheckSim(p); },
         "Device Not Connected,or No SIM card"},
        {"AT+CNMI=2,1,1,1,0\r\n",
         [](GSM::IComBaseCmd& e, CSXCom& p) { return e.SetNewMessageIndication(p, 2, 1, 1, 1, 0); },
         "CNMI ERROR"},
        {"AT+CPMS=\"MT\"\r\n",
         [](GSM::IComBaseCmd& e, CSXCom& p) { return e.SetPreferredStorage(p, "MT"); },
         "CPMS ERROR"},
    };
    for (const Case& c : cases) {
        GSM::SetLastError("before");
        Fail(c.command, "\r\nERROR\r\n", 1);
        EXPECT_EQ(c.run(engine, port), GSM::kStatusFailed) << c.command;
        EXPECT_EQ(LastError(), c.text) << c.command;
    }
    // Format and character set fail without a text of their own.
    GSM::SetLastError("before");
    Fail("AT+CMGF=1\r\n", "\r\nERROR\r\n", 1);
    Fail("AT+CSCS=\"UCS2\"\r\n", "\r\nERROR\r\n", 1);
    EXPECT_EQ(engine.SetMessageFormat(port, 1), GSM::kStatusFailed);
    EXPECT_EQ(engine.SetCharacterSet(port, "UCS2"), GSM::kStatusFailed);
    EXPECT_EQ(LastError(), "before");
    // A success clears nothing.
    EXPECT_EQ(engine.CheckAt(port), GSM::kStatusOk);
    EXPECT_EQ(LastError(), "before");
}

TEST_F(EngineTest, CommandsWrittenExactlyAsTheirTemplates) {
    EXPECT_EQ(engine.SetMessageFormat(port, 1), GSM::kStatusOk);
    EXPECT_EQ(engine.SetNewMessageIndication(port, 2, 1, 1, 1, 0), GSM::kStatusOk);
    EXPECT_EQ(engine.SetPreferredStorage(port, "SM\",\"SM\",\"SM"), GSM::kStatusOk);
    EXPECT_EQ(engine.SetCharacterSet(port, "GSM"), GSM::kStatusOk);
    EXPECT_EQ(engine.SetSubmitParameters(port), GSM::kStatusOk);
    engine.SetMessageEncoding(port, 6, 4);
    EXPECT_EQ(engine.SetServiceCentre(port, "+8613800100500"), 1);
    EXPECT_EQ(Wire(),
              "AT+CMGF=1\r\n"
              "AT+CNMI=2,1,1,1,0\r\n"
              "AT+CPMS=\"SM\",\"SM\",\"SM\"\r\n"
              "AT+CSCS=\"GSM\"\r\n"
              "AT+CSMP=4098,0,\"15/12/25,16:15:00\",1,1\r\n"
              "AT+ZMSGL=6,4\r\n"
              "AT+CSCA=\"+8613800100500\"\r\n");
}

TEST_F(EngineTest, ACommandTooLongForItsBufferIsNeverSent) {
    const std::string storages(600, 'S');
    EXPECT_EQ(engine.SetPreferredStorage(port, storages.c_str()), GSM::kStatusFailed);
    EXPECT_EQ(LastError(), "CPMS ERROR");
    // 20 digits and the template exceed the 31 characters of the short command buffer.
    EXPECT_EQ(engine.SetServiceCentre(port, "+86138001005001234567"), 0);
    EXPECT_EQ(Wire(), "");
}

TEST_F(EngineTest, ServiceCentreIsTheNumberBetweenTheQuotes) {
    struct Case {
        std::string line;
        int result;
        std::string number;
        bool international;
    };
    const std::string seventy(70, '1');
    const Case cases[] = {
        {"+CSCA: \"+8613800100500\",145", 1, "8613800100500", true},
        {"+CSCA: \"13800100500\",129", 1, "13800100500", false},
        {"+CSCA: \"8613800100500\",145", 1, "8613800100500", true},
        {"+CSCA: \"+447785016005\"", 1, "447785016005", true},  // no type given
        // The same number as a modem in the UCS2 character set gives it.
        {"+CSCA: \"002B0038003600310033003800300030003100300030003500300030\",145", 1,
         "8613800100500", true},
        {"+CSCA: \"" + seventy + "\",129", 0, "", false},
        {"+CSCA: \"\",129", 0, "", false},
        {"+CSCA: \"+8613800100500,145", 0, "", false},  // no closing quote
    };
    for (const Case& c : cases) {
        Reply("AT+CSCA?\r\n", TestSupport::Answer(c.line));
        ClearWire();
        GSM::SetLastError("");
        char number[GSM::kServiceCentreCapacity];
        std::memset(number, 0, sizeof number);
        bool international = !c.international;
        EXPECT_EQ(engine.GetServiceCentre(port, number, &international), c.result) << c.line;
        EXPECT_EQ(std::string(number), c.number) << c.line;
        if (c.result == 1) {
            EXPECT_EQ(international, c.international) << c.line;
            EXPECT_EQ(Wire(), "AT+CSCA?\r\n");
        } else {
            // An unusable number is asked for again, five times in all.
            EXPECT_EQ(Count(Wire(), "AT+CSCA?\r\n"), 5) << c.line;
            EXPECT_EQ(LastError(), "Device Not Connected,or No SIM card");
        }
    }
    // "ERROR" ends the attempts at once.
    ClearWire();
    Fail("AT+CSCA?\r\n", "\r\n+CME ERROR: 10\r\n", 1);
    char number[GSM::kServiceCentreCapacity] = {};
    EXPECT_EQ(engine.GetServiceCentre(port, number, nullptr), 0);
    EXPECT_EQ(Wire(), "AT+CSCA?\r\n");
}

TEST_F(EngineTest, OperatorCodeIsTheStartOfTheSubscriberIdentity) {
    char code[6] = {};
    EXPECT_EQ(engine.GetOperatorCode(port, code), 1);
    EXPECT_STREQ(code, "46000");

    Reply("AT+CIMI\r\n", TestSupport::Answer("234101234567890"));
    std::memset(code, 0, sizeof code);
    EXPECT_EQ(engine.GetOperatorCode(port, code), 1);
    EXPECT_STREQ(code, "23410");

    // A reply of five bytes or fewer never counts, even with "460" and "OK" in it.
    ClearWire();
    Reply("AT+CIMI\r\n", "460OK");
    std::memset(code, 0, sizeof code);
    EXPECT_EQ(engine.GetOperatorCode(port, code), 0);
    EXPECT_EQ(Count(Wire(), "AT+CIMI\r\n"), 5);
    EXPECT_EQ(LastError(), "Device Not Connected,or No SIM card");
}

}  // namespace
