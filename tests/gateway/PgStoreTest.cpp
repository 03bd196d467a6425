// What a store shared by several daemons adds: a message is claimed by one daemon only, a
// daemon's claims outlive it only by their lease, a message for a modem goes to the daemon
// holding it, a daemon queueing work wakes the others, events are written with their
// change, and a connection lost is taken again. Runs when TARVIKD_TEST_PG names a server.
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

#include "Log.h"
#include "StoreTestSupport.h"

namespace Tarvikd {
namespace {

std::vector<std::string> Servers() {
    return TestPgUrl().empty() ? std::vector<std::string>{} : std::vector<std::string>{"pg"};
}

// Counts the wakes a store gives and lets a case wait for one.
struct Wakes {
    std::mutex lock;
    std::condition_variable changed;
    int count = 0;
    void Wake() {
        std::lock_guard hold(lock);
        ++count;
        changed.notify_all();
    }
    bool WaitAbove(int seen) {
        std::unique_lock hold(lock);
        return changed.wait_for(hold, std::chrono::seconds(60), [&] { return count > seen; });
    }
};

class PgStoreTest : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        url_ = FreshPgDatabase();
        ASSERT_FALSE(url_.empty());
    }
    std::unique_ptr<IStore> Open(const std::string& daemon, bool events = false,
                                 int leaseMs = 30000) {
        std::string error;
        auto store = OpenPgStore(url_, error, TestOptions(daemon, events, leaseMs));
        EXPECT_TRUE(store) << error;
        return store;
    }
    static int64_t Queue(IStore& store, const std::string& text, const std::string& modem = "",
                         int64_t now = 1000) {
        return store.Enqueue({"api", "", text, "+8613800138000", text, modem}, now).id;
    }
    std::string url_;
};

INSTANTIATE_TEST_SUITE_P(Shared, PgStoreTest, ::testing::ValuesIn(Servers()));
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(PgStoreTest);

TEST_P(PgStoreTest, DaemonsContendingClaimEachMessageOnce) {
    constexpr int kMessages = 300;
    std::vector<std::unique_ptr<IStore>> stores;
    for (const char* daemon : {"one", "two", "three"}) {
        stores.push_back(Open(daemon));
        ASSERT_TRUE(stores.back());
    }
    for (int i = 0; i < kMessages; ++i) {
        Queue(*stores[static_cast<std::size_t>(i) % 3], "m" + std::to_string(i));
    }
    std::mutex lock;
    std::map<int64_t, int> claims;
    std::vector<std::thread> senders;
    for (std::size_t s = 0; s < stores.size(); ++s) {
        for (int modem = 0; modem < 2; ++modem) {
            senders.emplace_back([&, s, modem] {
                IStore& store = *stores[s];
                const std::string name = "modem" + std::to_string(s) + std::to_string(modem);
                while (auto claimed = store.Claim(name, {}, 2000)) {
                    {
                        std::lock_guard hold(lock);
                        ++claims[claimed->id];
                    }
                    store.MarkSubmitted(claimed->id, 2000);
                    store.Finish(claimed->id, Outcome::Sent, "1 part", 1, 1, 0, 2001);
                }
            });
        }
    }
    for (auto& sender : senders) {
        sender.join();
    }
    EXPECT_EQ(claims.size(), static_cast<std::size_t>(kMessages));
    for (const auto& [id, count] : claims) {
        EXPECT_EQ(count, 1) << "message " << id;
    }
    const Counts counts = stores[0]->Count();
    int64_t sent = 0;
    std::set<std::string> vias;
    for (const auto& [where, count] : counts.out) {
        EXPECT_EQ(where.second, "sent");
        sent += count;
        vias.insert(where.first);
    }
    EXPECT_EQ(sent, kMessages);
    EXPECT_GT(vias.size(), 1u) << "one sender took everything";
}

TEST_P(PgStoreTest, ExpiredClaimsAreSweptByAnotherDaemon) {
    auto gone = Open("gone", false, 1000);
    auto other = Open("other", false, 1000);
    const int64_t now = NowMs();
    const int64_t handed = Queue(*gone, "handed over", "", now);
    const int64_t claimedOnly = Queue(*gone, "claimed only", "", now);
    ASSERT_EQ(gone->Claim("a", {}, now)->id, handed);
    gone->MarkSubmitted(handed, now);
    gone->RecordPart(handed, {1, PartState::Writing, -1, ""}, now);
    ASSERT_EQ(gone->Claim("a", {}, now)->id, claimedOnly);
    // Another daemon's start recovers its own claims only.
    EXPECT_EQ(other->RecoverInterrupted(now), 0);
    EXPECT_EQ(other->Get(handed)->state, MessageState::Sending);
    EXPECT_FALSE(other->Claim("b", {}, now)) << "a live claim was taken";
    // As after kill -9: no more renewals.
    gone.reset();
    const int64_t later = NowMs() + 60000;
    const auto taken = other->Claim("b", {}, later);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->id, claimedOnly);
    EXPECT_EQ(taken->attempts, 1) << "the dead daemon's claim never reached a modem";
    EXPECT_EQ(other->Get(handed)->state, MessageState::Unknown)
        << "a handed-over send was requeued";
    // The dead daemon's late word: its unknown send learns its end, the one now held by
    // another daemon is left alone.
    gone = Open("gone", false, 1000);
    gone->Finish(claimedOnly, Outcome::Sent, "late", 1, 1, 0, later);
    EXPECT_EQ(other->Get(claimedOnly)->state, MessageState::Sending);
    // ...and so is the record of a part it kept through an outage: the part the other daemon
    // sent since keeps its reference, and its report finds it.
    other->RecordPart(claimedOnly, {1, PartState::Accepted, 42, ""}, later);
    gone->RecordPart(claimedOnly, {1, PartState::Refused, -1, "NOT WRITTEN"}, later + 1);
    other->Finish(claimedOnly, Outcome::Sent, "1 part", 1, 1, 0, later + 2);
    EXPECT_EQ(other->RecordReport({"b", 42, "+8613800138000", 0, "", ""}, later + 3),
              ReportResult::Final);
    EXPECT_EQ(other->Get(claimedOnly)->delivery, "delivered");
    gone->Finish(handed, Outcome::Sent, "1 part", 1, 1, 0, later);
    EXPECT_EQ(other->Get(handed)->state, MessageState::Sent);
}

TEST_P(PgStoreTest, MessageForAModemGoesOnlyToTheDaemonHoldingIt) {
    auto north = Open("north-host");
    auto south = Open("south-host");
    // The API of either daemon knows the other's modems once it holds them.
    EXPECT_FALSE(south->HeldElsewhere("north"));
    north->HoldModems({"north"});
    south->HoldModems({"south"});
    EXPECT_TRUE(south->HeldElsewhere("north"));
    EXPECT_FALSE(south->HeldElsewhere("east"));
    const int64_t id = Queue(*south, "for north", "north");
    EXPECT_FALSE(south->Claim("south", {}, 2000));
    const auto claimed = north->Claim("north", {}, 2000);
    ASSERT_TRUE(claimed);
    EXPECT_EQ(claimed->id, id);
    EXPECT_EQ(north->Get(id)->via, "north");
}

TEST_P(PgStoreTest, WorkQueuedThroughOneDaemonWakesTheOthers) {
    auto listener = Open("listener");
    auto poster = Open("poster");
    Wakes wakes;
    listener->SetWake([&] { wakes.Wake(); });
    Queue(*poster, "wake up");
    ASSERT_TRUE(wakes.WaitAbove(0)) << "no wake for another daemon's enqueue";
    // A connection lost is taken again: the call that finds it gone says so, the next
    // works, and the listener listens again.
    PgExec(url_,
           "SELECT pg_terminate_backend(pid, 10000) FROM pg_stat_activity WHERE "
           "datname = current_database() AND pid <> pg_backend_pid()");
    EXPECT_THROW(poster->Count(), std::exception);
    const int64_t id = Queue(*poster, "after the loss");
    EXPECT_EQ(poster->Get(id)->state, MessageState::Queued);
    int seen = 0;
    {
        std::lock_guard hold(wakes.lock);
        seen = wakes.count;
    }
    Queue(*poster, "once more");
    EXPECT_TRUE(wakes.WaitAbove(seen)) << "the listener did not come back";
    listener->SetWake({});
}

TEST_P(PgStoreTest, EventsAreWrittenWithTheirChangeForTheirDaemon) {
    auto one = Open("one", true);
    auto two = Open("two", true);
    auto quiet = Open("quiet", false);
    const int64_t id = Queue(*one, "hello", "", 1000);
    ASSERT_EQ(one->Claim("a", {}, 1100)->id, id);
    EXPECT_EQ(one->Cancel(id, 1150), CancelResult::NotCancellable);
    one->Finish(id, Outcome::Sent, "1 part(s) on modem a", 1, 1, 0, 1200);
    ASSERT_TRUE(one->StoreReceived("a", "k1", "10086", "", "back", false, 1300));
    EXPECT_FALSE(one->StoreReceived("a", "k1", "10086", "", "back", false, 1400));
    Queue(*quiet, "no events");
    quiet->Claim("q", {}, 1500);

    const auto events = one->PendingEvents(10);
    std::vector<std::string> seen;
    for (const Event& event : events) {
        const auto payload = nlohmann::json::parse(event.payload);
        EXPECT_EQ(event.daemon, "one");
        EXPECT_EQ(payload["daemon"], "one");
        seen.push_back(event.direction + " " + event.modem + " " +
                       payload["state"].get<std::string>());
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"out  queued", "out a sending", "out a sent",
                                              "in a received"}));
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(nlohmann::json::parse(events[2].payload)["detail"], "1 part(s) on modem a");
    EXPECT_TRUE(two->PendingEvents(10).empty()) << "another daemon's events";
    EXPECT_TRUE(quiet->PendingEvents(10).empty());
    one->EventsPublished({events[0].id, events[1].id});
    const auto left = one->PendingEvents(10);
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].id, events[2].id);
    // What the metrics show as waiting for the broker.
    EXPECT_EQ(one->Count().events, 2);
    EXPECT_EQ(two->Count().events, 0);
}

TEST_P(PgStoreTest, AWebhookIsPostedByOneDaemonAtATimeAndCountedOnce) {
    auto one = Open("one", false, 1000);
    const int64_t now = NowMs();
    ASSERT_TRUE(one->StoreReceived("a", "k1", "10086", "", "hello", true, now));
    const auto posting = one->NextWebhook(now);
    ASSERT_TRUE(posting);
    // The outcome lost with the connection: the post has ended, so this daemon posts again.
    PgExec(url_,
           "SELECT pg_terminate_backend(pid, 10000) FROM pg_stat_activity WHERE "
           "datname = current_database() AND pid <> pg_backend_pid()");
    EXPECT_THROW(one->FinishWebhook(posting->id, true, false, "", 0, now), StoreUnavailable);
    auto two = Open("two", false, 1000);
    EXPECT_FALSE(two->NextWebhook(now)) << "two daemons post the same message at once";
    ASSERT_EQ(one->NextWebhook(now)->id, posting->id);
    EXPECT_FALSE(two->NextWebhook(now));
    // Killed while posting: its post may still be open at the receiver, so even its next
    // life waits for the lease; then another takes it up, and the dead one's late outcome
    // is not counted on top of the new one's attempt.
    one.reset();
    one = Open("one", false, 1000);
    EXPECT_FALSE(one->NextWebhook(now)) << "posted again while the first post may be open";
    const int64_t later = NowMs() + 60000;
    const auto taken = two->NextWebhook(later);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->id, posting->id);
    one->FinishWebhook(posting->id, false, false, "answered 500", later + 1000, later);
    two->FinishWebhook(taken->id, true, false, "", 0, later);
    const auto delivered = two->Get(taken->id);
    EXPECT_EQ(delivered->webhookState, WebhookState::Delivered);
    EXPECT_EQ(delivered->webhookAttempts, 1);
}

TEST_P(PgStoreTest, ADeadDaemonsEventsArePublishedByAnother) {
    auto gone = Open("gone", true);
    auto other = Open("other", true);
    Queue(*gone, "before the kill");
    EXPECT_TRUE(other->PendingEvents(10).empty()) << "a live daemon's events taken";
    gone.reset();
    // As if its lease ran out with no renewal.
    ASSERT_TRUE(PgExec(url_, "UPDATE events SET lease_until = 0"));
    const auto taken = other->PendingEvents(10);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].daemon, "gone") << "published under another name";
    // Taken once: the dead daemon back under its name does not publish it as well.
    gone = Open("gone", true);
    EXPECT_TRUE(gone->PendingEvents(10).empty());
    other->EventsPublished({taken[0].id});
    EXPECT_TRUE(other->PendingEvents(10).empty());
}

TEST_P(PgStoreTest, ADatabaseOfTheSchemaBeforeIsBroughtForwardInPlace) {
    Queue(*Open("gw", true), "from before");
    ASSERT_TRUE(Open("gw", true)->StoreReceived("a", "k1", "10086", "", "came in", true, 1000));
    // Back to version 2, before webhooks and events were claimed, parts recorded and long
    // messages kept their parts.
    ASSERT_TRUE(PgExec(url_,
                       "DROP TABLE parts, unmatched_reports; ALTER TABLE messages DROP COLUMN "
                       "delivery_report, DROP COLUMN delivery, DROP COLUMN delivered_at, "
                       "DROP COLUMN concat_reference, "
                       "DROP COLUMN webhook_daemon, DROP COLUMN webhook_lease_until, DROP COLUMN "
                       "concatenated, DROP COLUMN complete, DROP COLUMN missing, DROP COLUMN "
                       "revision, DROP COLUMN webhook_event; UPDATE messages SET parts = 0 WHERE "
                       "direction = 'in'; ALTER TABLE events DROP COLUMN claimed_by, DROP COLUMN "
                       "lease_until; DELETE FROM schema_version WHERE version >= 3"));
    auto store = Open("gw", true);
    ASSERT_TRUE(store);
    EXPECT_EQ(store->List("out", 0, 10).at(0).text, "from before");
    EXPECT_EQ(store->PendingEvents(10).size(), 2u) << "the events owed from before";
    const auto hook = store->NextWebhook(NowMs());
    ASSERT_TRUE(hook);
    EXPECT_EQ(hook->text, "came in");
    EXPECT_EQ(hook->parts, 1) << "one of its own";
    EXPECT_TRUE(hook->complete);
}

}  // namespace
}  // namespace Tarvikd
