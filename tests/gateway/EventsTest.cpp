// The outbox of events for the broker: each received message and each outgoing change
// writes one in its own transaction, only this daemon's are handed out, and they stay
// until they are marked published, across a reopen as after a crash.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <tuple>

#include "Store.h"
#include "StoreTestSupport.h"

namespace Tarvikd {
namespace {

class EventsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/tarvikd-events-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
        path_ = folder_ + "/store.db";
        store_ = Open("gw", true);
    }
    void TearDown() override {
        store_.reset();
        std::filesystem::remove_all(folder_);
    }
    std::unique_ptr<IStore> Open(const std::string& daemon, bool events) {
        std::string error;
        auto store = OpenSqliteStore(path_, error, TestOptions(daemon, events));
        EXPECT_TRUE(store) << error;
        return store;
    }
    int64_t Queue(IStore& store, const std::string& text, const std::string& modem = "",
                  const std::string& key = "") {
        return store.Enqueue({"api", key, text, "+8613800138000", text, modem}, 1000).id;
    }
    // The pending events as (modem, direction, state, message id), and all taken out.
    using Seen = std::tuple<std::string, std::string, std::string, int64_t>;
    std::vector<Seen> Drain() {
        std::vector<Seen> seen;
        std::vector<int64_t> ids;
        for (const Event& event : store_->PendingEvents(1000)) {
            const auto payload = nlohmann::json::parse(event.payload);
            EXPECT_EQ(event.daemon, "gw");
            EXPECT_EQ(payload["daemon"], "gw");
            EXPECT_EQ(payload["direction"], event.direction);
            EXPECT_EQ(payload["modem"], event.modem);
            seen.emplace_back(event.modem, event.direction, payload["state"].get<std::string>(),
                              payload["id"].get<int64_t>());
            ids.push_back(event.id);
        }
        store_->EventsPublished(ids);
        EXPECT_TRUE(store_->PendingEvents(1000).empty());
        return seen;
    }
    // Runs SQL on the file beside the store, as another program would.
    void Sql(const std::string& sql) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
        char* error = nullptr;
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
            << (error != nullptr ? error : "");
        sqlite3_free(error);
        sqlite3_close(db);
    }

    std::string folder_;
    std::string path_;
    std::unique_ptr<IStore> store_;
};

TEST_F(EventsTest, EveryChangeOfStateWritesOneEvent) {
    const int64_t a = Queue(*store_, "one", "", "k1");
    EXPECT_EQ(Queue(*store_, "one", "", "k1"), a) << "a replay";
    ASSERT_EQ(store_->Claim("north", {}, 1100)->id, a);
    store_->MarkSubmitted(a, 1100);
    store_->RecordPart(a, {1, PartState::Refused, -1, "refused"}, 1150);
    store_->Finish(a, Outcome::Retry, "refused", 1, 0, 1200, 1200);
    ASSERT_EQ(store_->Claim("south", {}, 1300)->id, a);
    store_->Finish(a, Outcome::Sent, "1 part", 1, 1, 0, 1400);
    // The message as the change left it.
    const auto last = nlohmann::json::parse(store_->PendingEvents(10).back().payload);
    EXPECT_EQ(last["parts_accepted"], 1);
    EXPECT_EQ(last["detail"], "1 part");
    EXPECT_EQ(last["at"], 1400);
    EXPECT_EQ(Drain(), (std::vector<Seen>{{"", "out", "queued", a},
                                          {"north", "out", "sending", a},
                                          {"north", "out", "queued", a},
                                          {"south", "out", "sending", a},
                                          {"south", "out", "sent", a}}));

    const int64_t b = Queue(*store_, "two", "east");
    EXPECT_EQ(store_->Cancel(b, 1500), CancelResult::Cancelled);
    const int64_t c = Queue(*store_, "three");
    const int64_t d = Queue(*store_, "four");
    const int64_t e = Queue(*store_, "five");
    ASSERT_EQ(store_->Claim("m", {}, 1600)->id, c);
    store_->MarkSubmitted(c, 1600);
    store_->RecordPart(c, {1, PartState::Writing, -1, ""}, 1610);
    ASSERT_EQ(store_->Claim("m", {}, 1600)->id, d);
    ASSERT_EQ(store_->Claim("m", {}, 1600)->id, e);
    store_->Finish(e, Outcome::Released, "child gone", 0, 0, 0, 1650);
    EXPECT_EQ(store_->RecoverInterrupted(1700), 1);
    EXPECT_EQ(store_->Cancel(c, 1800), CancelResult::NotCancellable) << "no event either";
    EXPECT_EQ(Drain(), (std::vector<Seen>{{"", "out", "queued", b},
                                          {"", "out", "cancelled", b},
                                          {"", "out", "queued", c},
                                          {"", "out", "queued", d},
                                          {"", "out", "queued", e},
                                          {"m", "out", "sending", c},
                                          {"m", "out", "sending", d},
                                          {"m", "out", "sending", e},
                                          {"m", "out", "queued", e},
                                          {"m", "out", "unknown", c},
                                          {"m", "out", "queued", d}}));

    ASSERT_TRUE(store_->StoreReceived("north", "k", "10086", "t", "hello", false, 2000));
    EXPECT_FALSE(store_->StoreReceived("north", "k", "10086", "t", "hello", false, 2100));
    store_->StoreReceived("south", "k", "10086", "t", "hello", true, 2200);
    const std::vector<Message> in = store_->List("in", 0, 10);
    ASSERT_EQ(in.size(), 2u);
    EXPECT_EQ(Drain(), (std::vector<Seen>{{"north", "in", "received", in[0].id},
                                          {"south", "in", "received", in[1].id}}))
        << "the duplicate wrote one";
}

// What a subscriber sees of a long message: its first event incomplete, then one event of
// the completed message under the same id; a copy that brings nothing writes none.
TEST_F(EventsTest, ALongMessageCompletedLateIsPublishedAgainAsAnUpdate) {
    const Incoming partial{"north", "set", "+8613800138000", "t", "one three", 3, false, {2}};
    Incoming whole = partial;
    whole.text = "one two three";
    whole.complete = true;
    whole.missing = {};
    store_->Receive(partial, false, 1000);
    store_->Receive(partial, false, 1100);
    store_->Receive(whole, false, 1200);
    store_->Receive(whole, false, 1300);
    const std::vector<Event> events = store_->PendingEvents(10);
    ASSERT_EQ(events.size(), 2u);
    const auto first = nlohmann::json::parse(events[0].payload);
    const auto second = nlohmann::json::parse(events[1].payload);
    EXPECT_EQ(first["event"], kEventReceived);
    EXPECT_EQ(first["number"], "+8613800138000");
    EXPECT_EQ(first["parts"], 3);
    EXPECT_EQ(first["complete"], false);
    EXPECT_EQ(first["missing"], nlohmann::json::array({2}));
    EXPECT_EQ(second["id"], first["id"]);
    EXPECT_EQ(second["event"], kEventUpdated);
    EXPECT_EQ(second["text"], "one two three");
    EXPECT_EQ(second["complete"], true);
    EXPECT_EQ(second["missing"], nlohmann::json::array());
    EXPECT_EQ(second["at"], 1200);
}

TEST_F(EventsTest, AChangeAndItsEventAreKeptOnlyTogether) {
    // Whichever of the two cannot be written, the other is undone with it.
    Sql("CREATE TRIGGER no_events BEFORE INSERT ON events BEGIN SELECT RAISE(ABORT, 'full'); "
        "END;");
    EXPECT_ANY_THROW(Queue(*store_, "lost"));
    EXPECT_TRUE(store_->List("out", 0, 10).empty());
    Sql("DROP TRIGGER no_events");
    const int64_t id = Queue(*store_, "kept");
    Sql("CREATE TRIGGER no_history BEFORE INSERT ON history BEGIN SELECT RAISE(ABORT, 'full'); "
        "END;");
    EXPECT_ANY_THROW(store_->Claim("m", {}, 1100));
    Sql("DROP TRIGGER no_history");
    EXPECT_EQ(store_->Get(id)->state, MessageState::Queued);
    EXPECT_EQ(Drain(), (std::vector<Seen>{{"", "out", "queued", id}}));
}

TEST_F(EventsTest, OnlyThisDaemonsEventsAreHandedOutAndStayUntilPublished) {
    std::unique_ptr<IStore> other = Open("other", true);
    for (int i = 0; i < 5; ++i) {
        Queue(*store_, "mine " + std::to_string(i));
    }
    Queue(*other, "theirs");
    std::vector<Event> first = store_->PendingEvents(3);
    ASSERT_EQ(first.size(), 3u);
    EXPECT_LT(first[0].id, first[1].id);
    EXPECT_LT(first[1].id, first[2].id);
    store_->EventsPublished({first[0].id, first[2].id});
    EXPECT_EQ(store_->Count().events, 3);
    // As after kill -9: what was not acknowledged is handed out again, oldest first.
    store_ = Open("gw", true);
    const std::vector<Event> again = store_->PendingEvents(10);
    ASSERT_EQ(again.size(), 3u);
    EXPECT_EQ(again[0].id, first[1].id);
    for (const Event& event : again) {
        EXPECT_EQ(event.daemon, "gw");
    }
    ASSERT_EQ(other->PendingEvents(10).size(), 1u);
    EXPECT_NE(other->PendingEvents(10)[0].payload.find("theirs"), std::string::npos);
}

TEST_F(EventsTest, NoEventsWithoutABroker) {
    store_ = Open("gw", false);
    const int64_t id = Queue(*store_, "quiet");
    store_->Claim("m", {}, 1100);
    store_->Finish(id, Outcome::Sent, "", 1, 1, 0, 1200);
    store_->StoreReceived("m", "k", "1", "", "in", false, 1300);
    EXPECT_TRUE(store_->PendingEvents(10).empty());
    EXPECT_EQ(store_->Count().events, 0);
}

// A store file as the daemon wrote it before claims were recorded in it (version 2).
constexpr const char* kVersion2File = R"sql(
CREATE TABLE messages(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  direction TEXT NOT NULL CHECK(direction IN ('in', 'out')),
  state TEXT NOT NULL,
  modem TEXT NOT NULL DEFAULT '',
  via TEXT NOT NULL DEFAULT '',
  number TEXT NOT NULL,
  text TEXT NOT NULL,
  created_at INTEGER NOT NULL,
  updated_at INTEGER NOT NULL,
  attempts INTEGER NOT NULL DEFAULT 0,
  next_at INTEGER NOT NULL DEFAULT 0,
  submitted INTEGER NOT NULL DEFAULT 0,
  parts INTEGER NOT NULL DEFAULT 0,
  parts_accepted INTEGER NOT NULL DEFAULT 0,
  error TEXT NOT NULL DEFAULT '',
  in_key TEXT,
  sent_time TEXT NOT NULL DEFAULT '',
  webhook_state TEXT NOT NULL DEFAULT '',
  webhook_attempts INTEGER NOT NULL DEFAULT 0,
  webhook_next_at INTEGER NOT NULL DEFAULT 0,
  webhook_error TEXT NOT NULL DEFAULT '');
CREATE UNIQUE INDEX messages_in_key ON messages(modem, in_key) WHERE direction = 'in';
CREATE INDEX messages_direction ON messages(direction, id);
CREATE INDEX messages_queue ON messages(state, next_at) WHERE direction = 'out';
CREATE INDEX messages_webhook ON messages(webhook_state, webhook_next_at) WHERE direction = 'in';
CREATE TABLE history(
  id INTEGER PRIMARY KEY,
  message_id INTEGER NOT NULL REFERENCES messages(id),
  at INTEGER NOT NULL,
  state TEXT NOT NULL,
  detail TEXT NOT NULL DEFAULT '');
CREATE INDEX history_message ON history(message_id, id);
CREATE TABLE idempotency(
  api_key TEXT NOT NULL,
  key TEXT NOT NULL,
  fingerprint TEXT NOT NULL,
  message_id INTEGER NOT NULL REFERENCES messages(id),
  created_at INTEGER NOT NULL,
  PRIMARY KEY(api_key, key));
CREATE TABLE events(
  id INTEGER PRIMARY KEY,
  daemon TEXT NOT NULL,
  modem TEXT NOT NULL,
  direction TEXT NOT NULL,
  payload TEXT NOT NULL,
  created_at INTEGER NOT NULL);
CREATE INDEX events_daemon ON events(daemon, id);
INSERT INTO messages(direction, state, number, text, created_at, updated_at)
  VALUES('out', 'queued', '+8613800138000', 'waiting', 900, 900);
INSERT INTO messages(direction, state, via, number, text, created_at, updated_at, attempts,
  submitted) VALUES('out', 'sending', 'm', '+8613800138000', 'with the modem', 900, 900, 1, 1);
INSERT INTO messages(direction, state, modem, number, text, created_at, updated_at, in_key,
  webhook_state) VALUES('in', 'received', 'm', '10086', 'came in', 900, 900, 'k1', 'pending');
INSERT INTO idempotency VALUES('api', 'key-1', 'waiting', 1, 900);
INSERT INTO events(daemon, modem, direction, payload, created_at)
  VALUES('gw', 'm', 'in', '{"id":3}', 900);
PRAGMA user_version=2;
)sql";

TEST_F(EventsTest, FileOfAnEarlierSchemaIsBroughtForwardWithItsMessages) {
    store_.reset();
    std::filesystem::remove(path_);
    Sql(kVersion2File);
    store_ = Open("gw", true);
    ASSERT_TRUE(store_);
    EXPECT_EQ(store_->Get(1)->text, "waiting");
    EXPECT_EQ(store_->List("in", 0, 10).at(0).text, "came in");
    EXPECT_EQ(store_->List("in", 0, 10).at(0).parts, 1) << "one of its own";
    EXPECT_TRUE(store_->List("in", 0, 10).at(0).complete);
    // What was under way before is settled, queued work is sent, and its key still holds.
    EXPECT_EQ(store_->RecoverInterrupted(1000), 1);
    EXPECT_EQ(store_->Get(2)->state, MessageState::Unknown);
    EXPECT_TRUE(store_->Enqueue({"api", "key-1", "waiting", "+8613800138000", "waiting", ""}, 1000)
                    .replayed);
    ASSERT_EQ(store_->Claim("m", {}, 1100)->id, 1);
    store_->Finish(1, Outcome::Sent, "", 1, 1, 0, 1200);
    EXPECT_EQ(store_->Get(1)->state, MessageState::Sent);
    // The pending webhook and the unpublished event are still owed.
    const auto hook = store_->NextWebhook(1300);
    ASSERT_TRUE(hook);
    store_->FinishWebhook(hook->id, true, false, "", 0, 1300);
    EXPECT_EQ(store_->Get(3)->webhookState, WebhookState::Delivered);
    const auto events = store_->PendingEvents(10);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].payload, R"({"id":3})");
}

}  // namespace
}  // namespace Tarvikd
