// What a modem's sender makes of its child's events: each outcome is decided by the events'
// codes and counts, never their text, and a refused part's reason comes from its report.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ModemLink.h"
#include "ModemSender.h"
#include "StoreTestSupport.h"

namespace Tarvikd {
namespace {

class SenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/tarvikd-sender-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
        std::string error;
        store_ = OpenSqliteStore(folder_ + "/store.db", error, TestOptions("gw", false));
        ASSERT_TRUE(store_) << error;
        // The child reads its requests and says nothing: the events are the test's.
        program_ = folder_ + "/quiet-serve";
        std::ofstream(program_) << "#!/bin/sh\nexec cat > '" << folder_ << "/requests'\n";
        chmod(program_.c_str(), 0755);
        modem_.name = "a";
        modem_.port = 3;
    }
    void TearDown() override {
        store_.reset();
        std::filesystem::remove_all(folder_);
    }

    // A supervisor that notes the failures it hears of.
    CModemSender::Host Host() {
        CModemSender::Host host;
        host.rerouted = [] { return std::vector<std::string>{}; };
        host.failure = [this](const std::string& why) { failures_.push_back(why); };
        host.finished = [](Outcome) {};
        host.wake = [] {};
        return host;
    }

    // One message claimed and handed over, then `lines` from its child; the message after.
    Message Attempt(const std::vector<std::string>& lines) {
        store_->Enqueue({"api", "", "x", "+8613800138000", "hello", ""}, 1);
        CModemSender sender(config_, modem_, *store_, Host());
        CModemLink link("a", [] {});
        std::string why;
        EXPECT_TRUE(link.Start(program_, modem_, 86400000, {}, why)) << why;
        EXPECT_TRUE(sender.SendNext(link));
        EXPECT_TRUE(sender.Busy());
        // The message handed over: the new one, or one an earlier attempt released.
        int64_t id = 0;
        for (const Message& message : store_->List("out", 0, 100)) {
            id = message.state == MessageState::Sending ? message.id : id;
        }
        EXPECT_NE(id, 0);
        Feed(sender, link, id, lines);
        EXPECT_FALSE(sender.Busy());
        EXPECT_TRUE(sender.Settle());
        link.Finish(true);
        return *store_->Get(id);
    }

    static void Feed(CModemSender& sender, CModemLink& link, int64_t id,
                     const std::vector<std::string>& lines) {
        for (std::string line : lines) {
            const std::string mark = "ID";
            line.replace(line.find(mark), mark.size(), "\"m" + std::to_string(id) + "\"");
            std::string why;
            const auto event = TarvikLink::ParseEvent(line, why);
            EXPECT_TRUE(event) << why;
            EXPECT_TRUE(sender.OnEvent(*event, link)) << line;
        }
    }

    // The requests the child was given, once `count` of them came.
    std::vector<std::string> Requests(std::size_t count) const {
        std::vector<std::string> lines;
        for (int i = 0; i < 2000 && lines.size() < count; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            lines.clear();
            std::ifstream file(folder_ + "/requests");
            for (std::string line; std::getline(file, line);) {
                lines.push_back(line);
            }
        }
        return lines;
    }

    std::string folder_;
    std::string program_;
    std::unique_ptr<IStore> store_;
    Config config_;
    ModemConfig modem_;
    std::vector<std::string> failures_;
};

TEST_F(SenderTest, AnErrorIsDecidedByItsCodeAndWhetherTheSendWasQueued) {
    // "not queued" in the text, but the code says the request was wrong: it failed.
    Message wrong = Attempt(
        {R"({"event":"error","id":ID,"error":"not queued, they say","code":"invalid_request"})"});
    EXPECT_STREQ(ToString(wrong.state), "failed");
    EXPECT_EQ(wrong.error, "not queued, they say");
    // Never queued, whatever the text: it goes back as it was, the attempt not counted.
    Message released =
        Attempt({R"({"event":"error","id":ID,"error":"service ended","code":"not_queued"})"});
    EXPECT_STREQ(ToString(released.state), "queued");
    EXPECT_EQ(released.attempts, 0);
    // Queued, but no body was let go: nothing went, it goes back without counting.
    Message unwritten =
        Attempt({R"({"event":"queued","id":ID,"sequence":1})",
                 R"({"event":"error","id":ID,"error":"stopped","code":"stopped"})"});
    EXPECT_STREQ(ToString(unwritten.state), "queued");
    EXPECT_EQ(unwritten.attempts, 0);
    // A body let go without its report may have gone: never sent again by itself.
    Message maybe = Attempt({R"({"event":"queued","id":ID,"sequence":2})",
                             R"({"event":"writing","id":ID,"sequence":2,"part":1})",
                             R"({"event":"error","id":ID,"error":"gone","code":"not_queued"})"});
    EXPECT_STREQ(ToString(maybe.state), "unknown");
    EXPECT_TRUE(failures_.empty());
}

TEST_F(SenderTest, ARefusedPartsReasonComesFromItsReport) {
    Message refused = Attempt(
        {R"({"event":"queued","id":ID,"sequence":1})",
         R"({"event":"report","id":ID,"sequence":1,"part":1,"result":"refused","error":"+CMS ERROR: 500","code":"refused"})",
         R"({"event":"sent","id":ID,"sequence":1,"parts":1,"accepted":0})"});
    EXPECT_STREQ(ToString(refused.state), "queued");  // again after its backoff
    EXPECT_EQ(refused.attempts, 1);
    EXPECT_EQ(refused.error, "the modem refused it: +CMS ERROR: 500");

    Message half = Attempt(
        {R"({"event":"queued","id":ID,"sequence":2})",
         R"({"event":"report","id":ID,"sequence":2,"part":1,"result":"accepted"})",
         R"({"event":"report","id":ID,"sequence":2,"part":2,"result":"refused","error":"+CMS ERROR: 38"})",
         R"({"event":"sent","id":ID,"sequence":2,"parts":2,"accepted":1})"});
    EXPECT_STREQ(ToString(half.state), "failed");
    EXPECT_EQ(half.error, "1 of 2 parts refused: +CMS ERROR: 38");
    EXPECT_EQ(half.partsAccepted, 1);
    EXPECT_EQ(failures_,
              (std::vector<std::string>{"refused a message", "refused part of a message"}));

    // A part the daemon held back (its write could not be recorded) is not the modem's
    // refusal: the message goes back to the queue, its attempt not counted.
    Message withheld = Attempt(
        {R"({"event":"queued","id":ID,"sequence":4})",
         R"({"event":"report","id":ID,"sequence":4,"part":1,"result":"refused","error":"NOT WRITTEN","code":"not_written"})",
         R"({"event":"sent","id":ID,"sequence":4,"parts":1,"accepted":0})"});
    EXPECT_STREQ(ToString(withheld.state), "queued");
    EXPECT_EQ(withheld.attempts, 0);
    EXPECT_EQ(failures_.size(), 2u);

    Message sent =
        Attempt({R"({"event":"queued","id":ID,"sequence":3})",
                 R"({"event":"report","id":ID,"sequence":3,"part":1,"result":"accepted"})",
                 R"({"event":"sent","id":ID,"sequence":3,"parts":1,"accepted":1})"});
    EXPECT_STREQ(ToString(sent.state), "sent");
}

TEST_F(SenderTest, ARetryOfAConcatenatedMessageSendsOnlyItsMissingPartsUnderItsReference) {
    config_.retryBaseMs = 0;  // due again at once
    const int64_t id = store_->Enqueue({"api", "", "x", "+8613800138000", "long", ""}, 1).id;
    CModemSender sender(config_, modem_, *store_, Host());
    CModemLink link("a", [] {});
    std::string why;
    ASSERT_TRUE(link.Start(program_, modem_, 86400000, {}, why)) << why;
    ASSERT_TRUE(sender.SendNext(link));
    Feed(
        sender, link, id,
        {R"({"event":"queued","id":ID,"sequence":1,"parts":3,"reference":42})",
         R"({"event":"writing","id":ID,"sequence":1,"part":1})",
         R"({"event":"report","id":ID,"sequence":1,"part":1,"result":"accepted","reference":7})",
         R"({"event":"writing","id":ID,"sequence":1,"part":2})",
         R"({"event":"report","id":ID,"sequence":1,"part":2,"result":"refused","error":"+CMS ERROR: 500"})",
         R"({"event":"writing","id":ID,"sequence":1,"part":3})",
         R"({"event":"report","id":ID,"sequence":1,"part":3,"result":"accepted","reference":8})",
         R"({"event":"sent","id":ID,"sequence":1,"parts":3,"accepted":2})"});
    ASSERT_TRUE(sender.Settle());
    Message first = *store_->Get(id);
    EXPECT_STREQ(ToString(first.state), "queued");
    EXPECT_EQ(first.error, "1 of 3 parts refused: +CMS ERROR: 500");
    EXPECT_EQ(first.partsAccepted, 2);

    ASSERT_TRUE(sender.SendNext(link));
    Feed(sender, link, id,
         {R"({"event":"queued","id":ID,"sequence":2,"parts":1,"reference":42})",
          R"({"event":"writing","id":ID,"sequence":2,"part":2})",
          R"({"event":"report","id":ID,"sequence":2,"part":2,"result":"accepted","reference":9})",
          R"({"event":"sent","id":ID,"sequence":2,"parts":1,"accepted":1})"});
    ASSERT_TRUE(sender.Settle());
    const Message done = *store_->Get(id);
    EXPECT_STREQ(ToString(done.state), "sent");
    EXPECT_EQ(done.parts, 3);
    EXPECT_EQ(done.partsAccepted, 3);
    std::vector<std::string> parts;
    for (const HistoryEntry& entry : done.history) {
        if (entry.state == "part") {
            parts.push_back(entry.detail);
        }
    }
    EXPECT_EQ(parts, (std::vector<std::string>{"1 accepted", "2 refused: +CMS ERROR: 500",
                                               "3 accepted", "2 accepted"}));

    // Each body let go by its own write; the retry names the reference and part 2 alone.
    const std::vector<std::string> requests = Requests(6);
    link.Finish(true);
    ASSERT_EQ(requests.size(), 6u);
    const std::string m = "\"m" + std::to_string(id) + "\"";
    EXPECT_NE(requests[0].find("\"confirm_writes\":true"), std::string::npos) << requests[0];
    EXPECT_EQ(requests[0].find("only_parts"), std::string::npos) << requests[0];
    for (const int at : {1, 2, 3}) {
        EXPECT_EQ(requests[at],
                  R"({"op":"write","id":)" + m + ",\"part\":" + std::to_string(at) + "}");
    }
    EXPECT_NE(requests[4].find(R"("reference":42,"only_parts":[2],"confirm_writes":true)"),
              std::string::npos)
        << requests[4];
    EXPECT_EQ(requests[5], R"({"op":"write","id":)" + m + R"(,"part":2})");
}

}  // namespace
}  // namespace Tarvikd
