// What tarvikd and serve say to each other: every line one side writes, the other reads back
// the same; lines that are not the contract are refused with the reason a user sees.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "link/ServeLink.h"

namespace {

using namespace TarvikLink;

Event RoundTrip(const Event& event) {
    std::string why;
    const std::string line = EventLine(event);
    EXPECT_EQ(line.back(), '\n');
    const auto back = ParseEvent(line, why);
    EXPECT_TRUE(back) << line << ": " << why;
    return back ? *back : Event{};
}

TEST(LinkTest, EventsKeepTheirFieldsInTheOrderUsersHaveAlwaysSeen) {
    Event report;
    report.kind = EventKind::Report;
    report.id = 7;
    report.sequence = 3;
    report.part = 2;
    report.code = Code::Refused;
    report.error = "+CMS ERROR: 500";
    EXPECT_EQ(EventLine(report),
              "{\"event\":\"report\",\"id\":7,\"sequence\":3,\"part\":2,"
              "\"result\":\"refused\",\"error\":\"+CMS ERROR: 500\","
              "\"code\":\"refused\"}\n");
    Event message;
    message.kind = EventKind::Message;
    message.key = MessageKey("10086", "2026-12-08 10:00:00", "hi");
    message.number = "10086";
    message.time = "2026-12-08 10:00:00";
    message.text = "a\"\n你";
    EXPECT_EQ(EventLine(message), "{\"event\":\"message\",\"key\":\"" + message.key +
                                      "\",\"number\":\"10086\",\"time\":\"2026-12-08 "
                                      "10:00:00\",\"text\":\"a\\\"\\n你\"}\n");
    Event stopped;
    stopped.kind = EventKind::Stopped;
    stopped.unacked = 1;
    EXPECT_EQ(EventLine(stopped), "{\"event\":\"stopped\",\"unacked\":1}\n");
    Event delivered;
    delivered.kind = EventKind::StatusReport;
    delivered.reference = 0;
    delivered.number = "+447700900123";
    delivered.status = 0;
    delivered.scTime = "2026-12-08 10:00:00+01:00";
    delivered.dischargeTime = "2026-12-08 10:00:07+01:00";
    EXPECT_EQ(EventLine(delivered),
              "{\"event\":\"status_report\",\"reference\":0,\"number\":\"+447700900123\","
              "\"status\":0,\"sc_time\":\"2026-12-08 10:00:00+01:00\",\"discharge_time\":"
              "\"2026-12-08 10:00:07+01:00\"}\n");
}

TEST(LinkTest, EveryEventReadsBackAsItWasWritten) {
    Event ready;
    ready.kind = EventKind::Ready;
    ready.port = 3;
    ready.version = kVersion;
    const Event readyBack = RoundTrip(ready);
    EXPECT_EQ(readyBack.kind, EventKind::Ready);
    EXPECT_EQ(readyBack.version, kVersion);
    EXPECT_EQ(readyBack.port, 3);

    Event modem;
    modem.kind = EventKind::Modem;
    modem.modem = {"MU609", "11.608", "23,99", 23, 9};
    const Event modemBack = RoundTrip(modem);
    EXPECT_EQ(modemBack.modem.model, "MU609");
    EXPECT_EQ(modemBack.modem.code, 9);
    EXPECT_EQ(modemBack.modem.revision, "11.608");
    EXPECT_EQ(modemBack.modem.signal, "23,99");
    EXPECT_EQ(modemBack.modem.rssi, 23);

    // An accepted part's reference, 0 included; a report without one reads as none.
    for (const std::optional<int> reference :
         {std::optional<int>(0), std::optional<int>(255), std::optional<int>()}) {
        Event report;
        report.kind = EventKind::Report;
        report.accepted = true;
        report.reference = reference;
        const Event back = RoundTrip(report);
        EXPECT_TRUE(back.accepted);
        EXPECT_EQ(back.reference, reference);
    }

    Event sent;
    sent.kind = EventKind::Sent;
    sent.id = "m42";
    sent.sequence = 9;
    sent.parts = 3;
    sent.acceptedParts = 2;
    const Event sentBack = RoundTrip(sent);
    EXPECT_EQ(sentBack.id, "m42");
    EXPECT_EQ(sentBack.parts, 3);
    EXPECT_EQ(sentBack.acceptedParts, 2);

    // A long message given as it stands, and a message of its own without those fields.
    Event joined;
    joined.kind = EventKind::Message;
    joined.key = "0123456789abcdef";
    joined.parts = 3;
    joined.complete = false;
    joined.missing = {2};
    joined.keys = {"1111111111111111", "3333333333333333"};
    const Event joinedBack = RoundTrip(joined);
    EXPECT_EQ(joinedBack.parts, 3);
    EXPECT_EQ(joinedBack.complete, false);
    EXPECT_EQ(joinedBack.missing, std::vector<int>{2});
    EXPECT_EQ(joinedBack.keys, joined.keys);
    joined.parts = 0;
    EXPECT_EQ(EventLine(joined).find("complete"), std::string::npos);

    // A queued message's own reference and a part's network reference share the wire name.
    Event queued;
    queued.kind = EventKind::Queued;
    queued.concatReference = 0;
    queued.statusReport = true;
    const Event queuedBack = RoundTrip(queued);
    EXPECT_EQ(queuedBack.concatReference, 0);
    EXPECT_FALSE(queuedBack.reference);
    EXPECT_TRUE(queuedBack.statusReport);
    queued.statusReport = false;
    EXPECT_NE(EventLine(queued).find("\"status_report\":false"), std::string::npos);
    // A delivery report: reference 0 and status 0 are values, not absence.
    Event report;
    report.kind = EventKind::StatusReport;
    report.reference = 0;
    report.number = "+8613800138000";
    report.status = 0x41;
    report.scTime = "2026-12-08 10:00:00+08:00";
    report.dischargeTime = "2026-12-08 10:00:09+08:00";
    report.key = "report-1";  // held until acknowledged
    const Event reportBack = RoundTrip(report);
    EXPECT_EQ(reportBack.kind, EventKind::StatusReport);
    EXPECT_EQ(reportBack.reference, 0);
    EXPECT_EQ(reportBack.number, report.number);
    EXPECT_EQ(reportBack.status, 0x41);
    EXPECT_EQ(reportBack.scTime, report.scTime);
    EXPECT_EQ(reportBack.dischargeTime, report.dischargeTime);
    EXPECT_EQ(reportBack.key, "report-1");
    Event writing;
    writing.kind = EventKind::Writing;
    writing.id = 7;
    writing.part = 2;
    const Event writingBack = RoundTrip(writing);
    EXPECT_EQ(writingBack.kind, EventKind::Writing);
    EXPECT_EQ(writingBack.part, 2);

    for (const Code code :
         {Code::InvalidRequest, Code::TooLong, Code::NotQueued, Code::Stopped, Code::StartFailed,
          Code::DeviceGone, Code::SimLocked, Code::NotWritten}) {
        const Event back = RoundTrip(ErrorEvent(5, code, "why"));
        EXPECT_EQ(back.kind, EventKind::Error);
        EXPECT_EQ(back.code, code) << CodeName(code);
        EXPECT_EQ(back.error, "why");
        EXPECT_EQ(back.id, 5);
    }
}

TEST(LinkTest, ServeIsStartedOnADevicePathWhenOneIsGivenElseOnItsPortNumber) {
    using Args = std::vector<std::string>;
    EXPECT_EQ(ServeArguments({7, "", 9600}), (Args{"serve", "--port", "7", "--baud", "9600"}));
    EXPECT_EQ(
        ServeArguments({7, "/dev/serial/by-id/usb-X-if00-port0", 115200}),
        (Args{"serve", "--device", "/dev/serial/by-id/usb-X-if00-port0", "--baud", "115200"}));
    Event ready;
    ready.kind = EventKind::Ready;
    ready.device = "/dev/serial/by-id/usb-X-if00-port0";
    EXPECT_EQ(RoundTrip(ready).device, ready.device);
}

TEST(LinkTest, ReadersIgnoreWhatTheyDoNotKnowAndRefuseWhatIsMalformed) {
    std::string why;
    const auto later = ParseEvent(
        R"({"event":"queued","id":"m1","sequence":4,"new_field":[1,2],"code":"brand_new"})", why);
    ASSERT_TRUE(later) << why;
    EXPECT_EQ(later->sequence, 4);
    EXPECT_EQ(later->code, Code::Other);
    const auto unknown = ParseEvent(R"({"event":"weather","id":1})", why);
    ASSERT_TRUE(unknown) << why;
    EXPECT_EQ(unknown->kind, EventKind::Other);
    // A version from before there was one reads as 0, which the daemon does not drive.
    EXPECT_FALSE(Speaks(ParseEvent(R"({"event":"ready","port":3})", why)->version));
    EXPECT_TRUE(Speaks(kVersion));

    const struct {
        const char* line;
        const char* says;
    } bad[] = {
        {"not json", "one JSON object"},
        {"[1]", "one JSON object"},
        {R"({"id":1})", "needs \"event\""},
        {R"({"event":"queued","sequence":"4"})", "\"sequence\" must be an integer"},
        {R"({"event":"sent","parts":1.5})", "\"parts\" must be an integer"},
        {R"({"event":"message","text":7})", "\"text\" must be a string"},
        {R"({"event":"message","missing":["2"]})", "\"missing\" must be a list of integers"},
        {R"({"event":"message","complete":1})", "\"complete\" must be true or false"},
        {R"({"event":"error","id":[1]})", "\"id\" must be a string or an integer"},
    };
    for (const auto& c : bad) {
        EXPECT_FALSE(ParseEvent(c.line, why)) << c.line;
        EXPECT_NE(why.find(c.says), std::string::npos) << c.line << ": " << why;
    }
}

TEST(LinkTest, RequestsReadBackAndBadOnesSayWhatIsWrong) {
    Request send;
    send.op = Op::Send;
    send.id = "m9";
    send.number = "+8613800138000";
    send.text = "你好";
    send.prefixGiven = true;  // given as null: no prefix
    std::string why;
    Json id;
    const auto back = ParseRequest(RequestLine(send), why, id);
    ASSERT_TRUE(back) << why;
    EXPECT_EQ(back->op, Op::Send);
    EXPECT_EQ(back->text, "你好");
    EXPECT_TRUE(back->prefixGiven);
    EXPECT_FALSE(back->prefix);
    EXPECT_FALSE(back->statusReport);
    send.statusReport = true;
    const auto reporting = ParseRequest(RequestLine(send), why, id);
    ASSERT_TRUE(reporting) << why;
    EXPECT_TRUE(reporting->statusReport);
    const auto plain = ParseRequest(R"({"op":"send","number":"1","text":"x","extra":{}})", why, id);
    ASSERT_TRUE(plain) << why;
    EXPECT_FALSE(plain->prefixGiven);
    EXPECT_FALSE(plain->statusReport);
    EXPECT_FALSE(
        ParseRequest(R"({"op":"send","number":"1","text":"x","status_report":1})", why, id));
    const auto at = ParseRequest(R"({"op":"at","id":-12,"command":"AT+CSQ","wait":5})", why, id);
    ASSERT_TRUE(at) << why;
    EXPECT_EQ(at->waitMs, 5);
    EXPECT_EQ(at->id, -12);
    ASSERT_TRUE(ParseRequest(R"({"op":"status"})", why, id));
    // A retry that completes a concatenated message, each body written once confirmed.
    Request retry = send;
    retry.reference = 200;
    retry.onlyParts = {2, 3};
    retry.confirmWrites = true;
    const auto retryBack = ParseRequest(RequestLine(retry), why, id);
    ASSERT_TRUE(retryBack) << why;
    EXPECT_EQ(retryBack->reference, 200);
    EXPECT_EQ(retryBack->onlyParts, (std::vector<int>{2, 3}));
    EXPECT_TRUE(retryBack->confirmWrites);
    EXPECT_FALSE(back->confirmWrites);
    Request write;
    write.op = Op::Write;
    write.id = "m9";
    write.part = 3;
    const auto writeBack = ParseRequest(RequestLine(write), why, id);
    ASSERT_TRUE(writeBack) << why;
    EXPECT_EQ(writeBack->op, Op::Write);
    EXPECT_EQ(writeBack->part, 3);

    const struct {
        const char* line;
        const char* says;
        bool idKept;
    } bad[] = {
        {"{\"op\":\"send\"", "one JSON object", false},
        {"{\"op\":\"send\",\"number\":\"1\",\"text\":\"\xff\"}", "ill-formed UTF-8", false},
        {R"({"op":"send","id":1.5})", "\"id\" must be a string or an integer", false},
        {R"({"id":3})", "needs \"op\"", true},
        {R"({"op":"fly","id":3})", "unknown \"op\": fly", true},
        {R"({"op":"send","id":3,"number":"1"})", "needs \"number\" and \"text\"", true},
        {R"({"op":"send","id":3,"number":"1","text":"x","prefix":"+1"})", "takes digits", true},
        {R"({"op":"send","id":3,"number":"1","text":"x","prefix":""})", "takes digits", true},
        {R"({"op":"at","id":3,"command":""})", "needs \"command\"", true},
        {R"({"op":"at","id":3,"command":"AT","wait":600001})", "0 to 600000", true},
        {R"({"op":"ack","id":3,"key":5})", "needs \"key\"", true},
        {R"({"op":"send","id":3,"number":"1","text":"x","reference":256})", "0 to 255", true},
        {R"({"op":"send","id":3,"number":"1","text":"x","only_parts":[2]})", "needs the", true},
        {R"({"op":"send","id":3,"number":"1","text":"x","reference":1,"only_parts":[0]})",
         "1 to 255", true},
        {R"({"op":"write","part":1})", "needs the send's \"id\"", false},
    };
    for (const auto& c : bad) {
        EXPECT_FALSE(ParseRequest(c.line, why, id)) << c.line;
        EXPECT_NE(why.find(c.says), std::string::npos) << c.line << ": " << why;
        EXPECT_EQ(id.is_null(), !c.idKept) << c.line;
    }
}

TEST(LinkTest, TheMessageKeyIsTheJournalsAndSignalLevelsAreRead) {
    // The key the library's journal and every earlier serve gave this message.
    EXPECT_EQ(MessageKey("10086", "26/12/08,10:00:00+32", "first one"), "97939217daf852af");
    EXPECT_NE(MessageKey("1", "23", "x"), MessageKey("12", "3", "x"));
    EXPECT_EQ(RssiOf("23,99"), 23);
    EXPECT_EQ(RssiOf("0"), 0);
    EXPECT_FALSE(RssiOf("99,99"));
    EXPECT_FALSE(RssiOf("40,0"));
    EXPECT_FALSE(RssiOf(""));
    EXPECT_FALSE(RssiOf("x,1"));
}

}  // namespace
