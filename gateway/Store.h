// The daemon's durable state, in the roles its parts take: outgoing messages with their
// states and history and idempotency keys, received messages under their stable keys,
// deliveries owed to the webhook and the broker, and the daemons and modems around a shared
// store. SQLite serves one daemon, PostgreSQL several sharing a database.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Tarvikd {

// The states a message and its webhook delivery go through, and their names, which are what
// the API, the events' payloads, the metrics and the database show.
//
// Outgoing: queued -> sending -> sent | failed | unknown, and queued -> cancelled. `unknown`
// is a send that was handed to a modem when the daemon or the modem's child died before its
// outcome came: it may have gone, so it is never sent again by itself. A received message is
// `received`.
enum class MessageState { Queued, Sending, Sent, Failed, Unknown, Cancelled, Received };

// A received message's delivery to the webhook; None without a webhook.
enum class WebhookState { None, Pending, Delivered, Dead };

const char* ToString(MessageState state);
const char* ToString(WebhookState state);
// Nothing for a name no state has.
std::optional<MessageState> MessageStateNamed(const std::string& name);
std::optional<WebhookState> WebhookStateNamed(const std::string& name);

// A store's refusal: a constraint, a value it cannot take.
struct StoreFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The store's server cannot be reached, or the connection to it was lost.
struct StoreUnavailable : StoreFault {
    using StoreFault::StoreFault;
};

struct HistoryEntry {
    int64_t at = 0;  // milliseconds since the epoch
    std::string state;
    std::string detail;
};

struct Message {
    int64_t id = 0;
    std::string direction;  // "in" or "out"
    MessageState state = MessageState::Queued;
    std::string modem;  // out: the modem asked for (empty: any); in: the one it came on
    std::string via;    // out: the modem it went through
    std::string number;
    std::string text;
    int64_t createdAt = 0;
    int64_t updatedAt = 0;
    int attempts = 0;
    int64_t nextAt = 0;
    int parts = 0;
    int partsAccepted = 0;
    bool concatenated = false;  // out: sent as one message whose parts a phone joins
    std::string error;
    std::string key;       // in: the stable key
    std::string sentTime;  // in: the time stamp the message carries
    // in: a long message stored before all its parts came; `revision` counts the times a
    // later part brought more.
    bool complete = true;
    std::vector<int> missing;
    int revision = 0;
    std::string webhookEvent;  // in: what the next post announces
    WebhookState webhookState = WebhookState::None;
    // out: off (not asked), pending, delivered, undelivered, unknown or unsupported.
    std::string delivery;
    int64_t deliveredAt = 0;
    int webhookAttempts = 0;
    std::string webhookError;
    std::vector<HistoryEntry> history;
};

struct EnqueueRequest {
    std::string apiKey;
    std::string idempotencyKey;  // empty: none
    std::string fingerprint;     // what the request asked for, to tell a retry from a reuse
    std::string number;
    std::string text;
    std::string modem;           // empty: any
    bool deliveryReport = true;  // ask the network for delivery reports
};

struct EnqueueResult {
    int64_t id = 0;
    bool replayed = false;  // the idempotency key was seen with the same request
    bool conflict = false;  // the idempotency key was seen with another request
};

enum class CancelResult { Cancelled, NotFound, NotCancellable };

struct Claimed {
    int64_t id = 0;
    std::string number;
    std::string text;
    int attempts = 0;           // this one included
    bool statusReport = false;  // ask for delivery reports
    // A concatenated message an earlier attempt began: its reference, its count of parts,
    // and the parts the network accepted already, which never go again.
    std::optional<int> concatReference;
    int parts = 0;
    std::vector<int> acceptedParts;
};

// One part's record: written to the modem, then accepted or refused.
enum class PartState { Writing, Accepted, Refused };
struct PartRecord {
    int part = 0;
    PartState state = PartState::Writing;
    int reference = -1;  // accepted: the network's reference
    std::string error;   // refused
};
const char* ToString(PartState state);

enum class Outcome { Sent, Retry, Failed, Unknown, Released };

// A delivery report as a modem's child read it: the part's network reference, its recipient
// and status (TP-ST), and the centre's time stamps, kept only for the record.
struct DeliveryReport {
    std::string modem;
    int reference = 0;
    std::string number;
    int status = 0;
    std::string scTime;
    std::string dischargeTime;
};

// Matched: a part took it. Final: and its message's delivery reached its end by it.
// Copy: the final report of a part that has it already, given again.
enum class ReportResult { Unmatched, Matched, Final, Copy };

struct Counts {
    // Delivery reports: final ones by outcome, those that matched no part, and the time
    // from a part's sending to its report.
    int64_t reportsDelivered = 0;
    int64_t reportsFailed = 0;
    int64_t reportsUnmatched = 0;
    int64_t reportDelayCount = 0;
    int64_t reportDelaySumMs = 0;
    std::map<std::pair<std::string, std::string>, int64_t> out;  // (modem or "", state)
    std::map<std::string, int64_t> in;                           // modem
    std::map<std::string, int64_t> webhooks;                     // state
    int64_t events = 0;                                          // this daemon's unpublished
};

// The console's overview: outgoing messages by state, and of the messages made since a
// time, those sent, delivered, undelivered (their reports' end) and received.
struct Summary {
    std::map<std::string, int64_t> outgoing;  // state
    int64_t sent = 0;
    int64_t delivered = 0;
    int64_t undelivered = 0;
    int64_t received = 0;
};

// What the daemon publishes when a message arrives or an outgoing one changes state,
// written in the transaction of the change and taken out once the broker has it, so that a
// crash publishes again rather than loses. `payload` is JSON carrying the message id, on
// which consumers dedupe.
struct Event {
    int64_t id = 0;  // the event's, not the message's
    std::string daemon;
    std::string modem;      // in: the modem it came on; out: the one it went through, or ""
    std::string direction;  // "in" or "out"
    std::string payload;
};

// What a store is opened with.
struct StoreOptions {
    std::string daemon = "tarvikd";         // this daemon's name: it holds its claims under it
    bool events = false;                    // record events (only with a broker to take them)
    int leaseMs = 30000;                    // a shared store: how long a claim lasts unrenewed
    bool webhook = false;                   // outgoing messages' ends are owed to the webhook
    int64_t deliveryTimeoutMs = 259200000;  // how long a part's report is awaited
};

// The payload of a message's event after a change: the message as it now is (its id, state,
// modem, number, text, time and the change's detail), from `daemon`.
std::string EventPayload(const Message& message, const std::string& daemon,
                         const std::string& detail, int64_t at);

// The outgoing messages, and what the API reads of every message.
class IOutbox {
public:
    virtual ~IOutbox() = default;

    // A request with an idempotency key seen before gives that message again.
    virtual EnqueueResult Enqueue(const EnqueueRequest& request, int64_t now) = 0;
    virtual std::optional<Message> Get(int64_t id) = 0;
    // Messages of one direction with ids above `after`, oldest first.
    virtual std::vector<Message> List(const std::string& direction, int64_t after, int limit) = 0;
    // The newest `limit` messages of one direction, newest first; only those in `state`
    // unless it is empty.
    virtual std::vector<Message> Latest(const std::string& direction, const std::string& state,
                                        int limit) = 0;
    virtual CancelResult Cancel(int64_t id, int64_t now) = 0;
    virtual Counts Count() = 0;
    virtual Summary Summarize(int64_t since) = 0;

    // At start: a send whose part was written to a modem without an outcome becomes unknown
    // (it may have gone); one with parts accepted that a retry cannot complete fails; the
    // rest go back to the queue, accepted parts kept. Returns how many became unknown.
    virtual int RecoverInterrupted(int64_t now) = 0;
    // The oldest due queued message for `modem`: addressed to it, to any modem, or to one
    // of `alsoFor`; the rest of a concatenated message only on the modem its first parts
    // went through. It becomes `sending`.
    virtual std::optional<Claimed> Claim(const std::string& modem,
                                         const std::vector<std::string>& alsoFor, int64_t now) = 0;
    // Just before the request goes to the modem's child.
    virtual void MarkSubmitted(int64_t id, int64_t now) = 0;
    // A part's record, in the message's history too; a part written again (a retry of a
    // refused one) replaces its record.
    virtual void RecordPart(int64_t id, const PartRecord& part, int64_t now) = 0;
    // A concatenated message's reference and count of parts, kept for its retries.
    virtual void RecordConcat(int64_t id, int reference, int parts, int64_t now) = 0;
    // The modem's child queued it in `parts` parts, joined by the phone when `concatenated`,
    // asking for delivery reports when `statusReport` (a modem that cannot makes it
    // `unsupported`).
    virtual void RecordQueued(int64_t id, int parts, bool concatenated, bool statusReport,
                              int64_t now) = 0;
    // Matches a delivery report to the newest accepted part of its modem with its reference
    // and recipient, sent within the report window and without a final report yet; one that
    // matches none is kept unmatched, unless it repeats a part's final report.
    virtual ReportResult RecordReport(const DeliveryReport& report, int64_t now) = 0;
    // The end of one attempt. Retry queues it again for `nextAt`; Released queues it
    // without counting the attempt (it never reached the modem).
    virtual void Finish(int64_t id, Outcome outcome, const std::string& detail, int parts,
                        int accepted, int64_t nextAt, int64_t now) = 0;
};

// The webhook's `event`: the first post of a received message, and a post after a late part
// completed it (or brought more of it).
inline constexpr const char* kEventReceived = "message.received";
inline constexpr const char* kEventUpdated = "message.updated";
// An outgoing message's end: every part delivered, a part failed for good, or never sent.
inline constexpr const char* kEventDelivered = "message.delivered";
inline constexpr const char* kEventUndelivered = "message.undelivered";
inline constexpr const char* kEventFailed = "message.failed";

// A received message as the modem's child gives it: one of its own, or a long one joined,
// perhaps without some parts.
struct Incoming {
    std::string modem;
    std::string key;
    std::string number;
    std::string sentTime;
    std::string text;
    int parts = 1;
    bool complete = true;
    std::vector<int> missing;  // part numbers, in order
};

// New: stored now. Updated: its key was stored without parts this one brings. Seen: nothing
// new, only to be acknowledged.
enum class ReceiveResult { New, Updated, Seen };

// The received messages.
class IInbox {
public:
    virtual ~IInbox() = default;

    // A message under a stored key that brings more (complete now, or fewer parts missing)
    // replaces that message's text and parts, and is posted and published again.
    virtual ReceiveResult Receive(const Incoming& message, bool webhook, int64_t now) = 0;

    // True when the message was new; false when its key was stored already.
    bool StoreReceived(const std::string& modem, const std::string& key, const std::string& number,
                       const std::string& sentTime, const std::string& text, bool webhook,
                       int64_t now) {
        return Receive({modem, key, number, sentTime, text, 1, true, {}}, webhook, now) ==
               ReceiveResult::New;
    }
};

// What is owed to the webhook and to the broker, each claimed by one daemon at a time.
class IDeliveries {
public:
    virtual ~IDeliveries() = default;

    // The next due delivery; on a shared store claimed for this daemon under a lease until
    // its FinishWebhook, which counts the attempt only while the claim is still its own.
    virtual std::optional<Message> NextWebhook(int64_t now) = 0;
    virtual void FinishWebhook(int64_t id, bool delivered, bool dead, const std::string& error,
                               int64_t nextAt, int64_t now) = 0;
    // This daemon's unpublished events, oldest first; the ones the broker took go. On a
    // shared store, also those of a daemon whose claim on them ran out.
    virtual std::vector<Event> PendingEvents(int limit) = 0;
    virtual void EventsPublished(const std::vector<int64_t>& ids) = 0;
};

// The daemons and modems around the store; a store of one daemon has none but this one.
class IModems {
public:
    virtual ~IModems() = default;

    // A store shared by several daemons calls `wake` when another queued work; one in a
    // single process never needs to.
    virtual void SetWake(std::function<void()> /*wake*/) {}
    // False while a store on a server cannot reach it (as of its last call).
    virtual bool Reachable() { return true; }
    // A shared store: this daemon holds these modems, so that a message any daemon takes for
    // one of them reaches it. A name another daemon holds is taken over, as a modem moved.
    virtual void HoldModems(const std::vector<std::string>& /*names*/) {}
    // Whether some daemon of a shared store holds the modem `name`.
    virtual bool HeldElsewhere(const std::string& /*name*/) { return false; }
};

// The whole store; each part of the daemon takes the role it needs.
class IStore : public IOutbox, public IInbox, public IDeliveries, public IModems {};

// The SQLite store in one file (WAL); nothing and `error` when it cannot be opened or its
// schema is newer than this program knows.
std::unique_ptr<IStore> OpenSqliteStore(const std::string& path, std::string& error,
                                        const StoreOptions& options = {});
// The PostgreSQL store at `url`, shared by every daemon pointed at it; nothing and `error`
// when it cannot be reached at start or its schema is newer than this program knows.
std::unique_ptr<IStore> OpenPgStore(const std::string& url, std::string& error,
                                    const StoreOptions& options = {});
// Whether the configuration's store names a database server rather than a SQLite file.
bool IsServerStore(const std::string& store);
// The store as logs and messages show it: a password in a URL as "***".
std::string StoreShown(const std::string& store);
// The store the configuration names: a "postgresql://" or "postgres://" URL, or a SQLite
// file.
std::unique_ptr<IStore> OpenStore(const std::string& store, const StoreOptions& options,
                                  std::string& error);

}  // namespace Tarvikd
