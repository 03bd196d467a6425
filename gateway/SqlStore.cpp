// The store over the SQL layer, the same statements on SQLite and PostgreSQL. What a store
// shared by several daemons adds lives in CSharedStore alone: claims that lapse with their
// lease and are swept by any daemon, their renewal, and LISTEN/NOTIFY so that work queued
// through one daemon wakes the others' senders at once.
//
// Every claim (an outgoing message, a webhook delivery, a broker event) records the daemon's
// name and a lease; on a store of one daemon nobody else looks at them.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "Log.h"
#include "Rules.h"
#include "Sql.h"
#include "codec/StatusReport.h"

namespace Tarvikd {

namespace {

constexpr const char* kChannel = "tarvik_work";
// `submitted` of a message handed to a modem's child that writes each body only once its
// part is recorded; 1 is a hand-over without that, from before.
constexpr int kHandedConfirmed = 2;

constexpr const char* kMessageColumns =
    "id, direction, state, modem, via, number, text, created_at, updated_at, attempts, "
    "next_at, parts, parts_accepted, error, coalesce(in_key, ''), sent_time, webhook_state, "
    "webhook_attempts, webhook_error, concatenated, complete, missing, revision, webhook_event, "
    "delivery, delivered_at, (SELECT coalesce(max(p.at), 0) FROM parts p WHERE p.message_id = "
    "messages.id)";

// A state's name as the database holds it; a name no state has is a fault, not a guess.
template <typename State>
State Parsed(std::optional<State> state, const std::string& name) {
    if (!state) {
        throw StoreFault("a message in the store has the state \"" + name + "\"");
    }
    return *state;
}

// "(?, ?, ?)" for the ids, which go after `params`.
std::string In(SqlParams& params, const std::vector<int64_t>& ids) {
    std::string marks;
    for (const int64_t id : ids) {
        marks += marks.empty() ? "?" : ", ?";
        params.emplace_back(id);
    }
    return "(" + marks + ")";
}

// Part numbers as the store keeps them: "2,5".
std::string MissingText(const std::vector<int>& missing) {
    std::string text;
    for (const int part : missing) {
        text += (text.empty() ? "" : ",") + std::to_string(part);
    }
    return text;
}

std::vector<int> MissingParts(const std::string& text) {
    std::vector<int> parts;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        parts.push_back(std::atoi(text.substr(at, comma - at).c_str()));
        at = comma + 1;
    }
    return parts;
}

// Whether a message under a stored key brings more than the stored one has.
bool BringsMore(const Incoming& message, bool complete, const std::vector<int>& missing) {
    return !complete && (message.complete || message.missing.size() < missing.size());
}

// What a claim is of, for its renewal.
enum class Kind { Send, Webhook };

class CSqlStore : public IStore {
public:
    CSqlStore(std::unique_ptr<ISqlDriver> db, StoreOptions options)
        : db_(std::move(db)), options_(std::move(options)) {}

    virtual std::string Prepare() {
        std::lock_guard hold(lock_);
        return Migrate(*db_);
    }

    EnqueueResult Enqueue(const EnqueueRequest& request, int64_t now) override {
        EnqueueResult result;
        Transaction([&] {
            result = {};
            if (!request.idempotencyKey.empty()) {
                const CRows seen = db_->Exec(
                    "SELECT message_id, fingerprint FROM idempotency WHERE api_key = ? AND key = ?",
                    {request.apiKey, request.idempotencyKey});
                if (!seen.Empty()) {
                    result.id = seen.Int(0, 0);
                    result.replayed = seen.Text(0, 1) == request.fingerprint;
                    result.conflict = !result.replayed;
                    return;
                }
            }
            result.id =
                db_->Exec(
                       "INSERT INTO messages(direction, state, modem, number, text, "
                       "created_at, updated_at, next_at, delivery_report, delivery) "
                       "VALUES('out', 'queued', ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
                       {request.modem, request.number, request.text, now, now, now,
                        request.deliveryReport ? 1 : 0, request.deliveryReport ? "pending" : "off"})
                    .Int(0, 0);
            Changed(result.id, now, "queued",
                    request.modem.empty() ? "" : "for modem " + request.modem);
            if (!request.idempotencyKey.empty()) {
                db_->Exec(
                    "INSERT INTO idempotency(api_key, key, fingerprint, message_id, created_at) "
                    "VALUES(?, ?, ?, ?, ?)",
                    {request.apiKey, request.idempotencyKey, request.fingerprint, result.id, now});
            }
            Queued();
        });
        return result;
    }

    std::optional<Message> Get(int64_t id) override {
        std::lock_guard hold(lock_);
        std::optional<Message> message = Row(id);
        if (!message) {
            return std::nullopt;
        }
        const CRows history = db_->Exec(
            "SELECT at, state, detail FROM history WHERE message_id = ? ORDER BY id", {id});
        for (int i = 0; i < history.Size(); ++i) {
            message->history.push_back({history.Int(i, 0), history.Text(i, 1), history.Text(i, 2)});
        }
        return message;
    }

    std::vector<Message> List(const std::string& direction, int64_t after, int limit) override {
        std::lock_guard hold(lock_);
        return Messages("direction = ? AND id > ? ORDER BY id LIMIT ?", {direction, after, limit});
    }

    std::vector<Message> Latest(const std::string& direction, const std::string& state,
                                int limit) override {
        std::lock_guard hold(lock_);
        if (state.empty()) {
            return Messages("direction = ? ORDER BY id DESC LIMIT ?", {direction, limit});
        }
        return Messages("direction = ? AND state = ? ORDER BY id DESC LIMIT ?",
                        {direction, state, limit});
    }

    CancelResult Cancel(int64_t id, int64_t now) override {
        CancelResult result = CancelResult::NotFound;
        Transaction([&] {
            // Conditional, so that a claim taken meanwhile by another daemon wins.
            const CRows cancelled = db_->Exec(
                "UPDATE messages SET state = 'cancelled', error = '', updated_at = ?, "
                "lease_until = 0 WHERE id = ? AND direction = 'out' AND state = 'queued'",
                {now, id});
            if (cancelled.Affected() > 0) {
                Changed(id, now, "cancelled", "");
                result = CancelResult::Cancelled;
                return;
            }
            result =
                db_->Exec("SELECT 1 FROM messages WHERE id = ? AND direction = 'out'", {id}).Empty()
                    ? CancelResult::NotFound
                    : CancelResult::NotCancellable;
        });
        return result;
    }

    int RecoverInterrupted(int64_t now) override {
        int unknown = 0;
        Transaction([&] {
            const auto [where, params] = OwnClaims();
            unknown = Release(where, params, "the daemon stopped while a modem had it", now);
        });
        return unknown;
    }

    std::optional<Claimed> Claim(const std::string& modem, const std::vector<std::string>& alsoFor,
                                 int64_t now) override {
        std::optional<Claimed> claimed;
        Transaction([&] {
            claimed.reset();
            BeforeClaim(now);
            // The rest of a concatenated message goes from the modem that sent its first
            // parts: a phone joins the parts of one sender.
            SqlParams params = {now, modem, modem};
            std::string sql =
                "SELECT id, number, text, attempts, coalesce(concat_reference, -1), parts, "
                "delivery_report FROM "
                "messages WHERE direction = 'out' AND state = 'queued' AND next_at <= ? AND "
                "(concat_reference IS NULL OR parts_accepted = 0 OR via = ?) AND "
                "(modem = '' OR modem = ?";
            for (const std::string& other : alsoFor) {
                params.emplace_back(other);
                sql += " OR modem = ?";
            }
            const CRows row =
                db_->Exec(sql + ") ORDER BY next_at, id LIMIT 1" + db_->LockRows(), params);
            if (row.Empty()) {
                return;
            }
            claimed = Claimed{};
            claimed->id = row.Int(0, 0);
            claimed->number = row.Text(0, 1);
            claimed->text = row.Text(0, 2);
            claimed->attempts = static_cast<int>(row.Int(0, 3)) + 1;
            claimed->statusReport = row.Int(0, 6) != 0;
            Continued(*claimed, row.Int(0, 4), static_cast<int>(row.Int(0, 5)));
            // A concatenated message keeps its count and its accepted parts for the retry.
            db_->Exec(
                "UPDATE messages SET state = 'sending', via = ?, attempts = ?, submitted = 0, "
                "parts = CASE WHEN concat_reference IS NULL THEN 0 ELSE parts END, "
                "parts_accepted = CASE WHEN concat_reference IS NULL THEN 0 ELSE parts_accepted "
                "END, updated_at = ?, daemon = ?, lease_until = ? WHERE id = ?",
                {modem, claimed->attempts, now, options_.daemon, now + options_.leaseMs,
                 claimed->id});
            Changed(claimed->id, now, "sending",
                    "attempt " + std::to_string(claimed->attempts) + " on modem " + modem);
        });
        if (claimed) {
            Holding(Kind::Send, claimed->id, true);
        }
        return claimed;
    }

    void MarkSubmitted(int64_t id, int64_t now) override {
        Transaction([&] {
            db_->Exec(
                "UPDATE messages SET submitted = ?, updated_at = ?, lease_until = ? "
                "WHERE id = ? AND daemon = ? AND state = 'sending'",
                {kHandedConfirmed, now, now + options_.leaseMs, id, options_.daemon});
        });
    }

    void RecordPart(int64_t id, const PartRecord& record, int64_t now) override {
        const bool accepted = record.state == PartState::Accepted;
        const int part = record.part;
        Transaction([&] {
            // Only while this daemon still holds the message, as for its outcome: a record
            // kept through an outage must not overwrite the part another daemon sent since.
            const CRows held = db_->Exec(
                std::string("SELECT id FROM messages WHERE id = ? AND daemon = ? AND state IN "
                            "('sending', 'unknown')") +
                    db_->LockRows(),
                {id, options_.daemon});
            if (held.Empty()) {
                return;
            }
            db_->Exec(
                "INSERT INTO parts(message_id, part, state, modem, reference, at, error) "
                "SELECT id, ?, ?, via, NULLIF(?, -1), ?, ? FROM messages WHERE id = ? "
                "ON CONFLICT (message_id, part) DO UPDATE SET state = excluded.state, "
                "modem = excluded.modem, reference = excluded.reference, at = excluded.at, "
                "error = excluded.error, report_status = NULL, report_at = NULL, "
                "report_final = 0",
                {part, ToString(record.state), accepted ? record.reference : -1, now, record.error,
                 id});
            if (record.state == PartState::Writing) {
                db_->Exec("UPDATE messages SET updated_at = ?, lease_until = ? WHERE id = ?",
                          {now, now + options_.leaseMs, id});
                return;
            }
            db_->Exec(
                "UPDATE messages SET parts = CASE WHEN parts > ? THEN parts ELSE ? END, "
                "parts_accepted = parts_accepted + ?, updated_at = ?, lease_until = ? "
                "WHERE id = ?",
                {part, part, accepted ? 1 : 0, now, now + options_.leaseMs, id});
            History(id, now, "part",
                    std::to_string(part) + (accepted ? " accepted" : " refused: " + record.error));
        });
    }

    void RecordConcat(int64_t id, int reference, int parts, int64_t now) override {
        Transaction([&] {
            db_->Exec(
                "UPDATE messages SET concat_reference = ?, parts = CASE WHEN parts > ? THEN "
                "parts ELSE ? END, updated_at = ? WHERE id = ?",
                {reference, parts, parts, now, id});
        });
    }

    void Finish(int64_t id, Outcome outcome, const std::string& detail, int parts, int accepted,
                int64_t nextAt, int64_t now) override {
        // Retried and released messages are queued again.
        const MessageState state = outcome == Outcome::Sent      ? MessageState::Sent
                                   : outcome == Outcome::Failed  ? MessageState::Failed
                                   : outcome == Outcome::Unknown ? MessageState::Unknown
                                                                 : MessageState::Queued;
        Transaction([&] {
            // Only while this daemon still holds it: a claim swept back to the queue may be
            // another's by now. One swept to unknown learns its real end.
            const CRows updated = db_->Exec(
                "UPDATE messages SET state = ?, error = ?, next_at = ?, attempts = attempts - ?, "
                "parts = CASE WHEN parts > ? THEN parts ELSE ? END, parts_accepted = CASE WHEN "
                "parts_accepted > ? THEN parts_accepted ELSE ? END, updated_at = ?, "
                "lease_until = 0 WHERE id = ? AND daemon = ? AND state IN ('sending', 'unknown')",
                {ToString(state), outcome == Outcome::Sent ? std::string() : detail, nextAt,
                 outcome == Outcome::Released ? 1 : 0, parts, parts, accepted, accepted, now, id,
                 options_.daemon});
            if (updated.Affected() == 0) {
                return;
            }
            Changed(id, now, ToString(state), detail);
            if (state == MessageState::Queued) {
                Queued();
            }
            if (state == MessageState::Sent) {
                SettleDelivery(id, now);
            } else if (state == MessageState::Failed) {
                OweWebhook(id, kEventFailed);
            }
        });
        // Renewed until then: an outcome the store refused is offered again.
        Holding(Kind::Send, id, false);
    }

    ReceiveResult Receive(const Incoming& message, bool webhook, int64_t now) override {
        ReceiveResult result = ReceiveResult::Seen;
        Transaction([&] {
            const CRows row = db_->Exec(
                "INSERT INTO messages(direction, state, modem, number, text, created_at, "
                "updated_at, in_key, sent_time, webhook_state, parts, complete, missing) "
                "VALUES('in', 'received', ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT "
                "(modem, in_key) WHERE direction = 'in' DO NOTHING RETURNING id",
                {message.modem, message.number, message.text, now, now, message.key,
                 message.sentTime, ToString(webhook ? WebhookState::Pending : WebhookState::None),
                 std::max(message.parts, 1), message.complete ? 1 : 0,
                 MissingText(message.missing)});
            if (!row.Empty()) {
                result = ReceiveResult::New;
                Changed(row.Int(0, 0), now, "received", "on modem " + message.modem);
                return;
            }
            result =
                Completed(message, webhook, now) ? ReceiveResult::Updated : ReceiveResult::Seen;
        });
        return result;
    }

    void RecordQueued(int64_t id, int parts, bool concatenated, bool statusReport,
                      int64_t now) override {
        Transaction([&] {
            db_->Exec(
                "UPDATE messages SET parts = CASE WHEN parts > ? THEN parts ELSE ? END, "
                "concatenated = ?, updated_at = ?, delivery = CASE WHEN delivery = 'pending' "
                "AND ? = 0 THEN 'unsupported' ELSE delivery END WHERE id = ? AND "
                "direction = 'out'",
                {parts, parts, concatenated ? 1 : 0, now, statusReport ? 1 : 0, id});
        });
    }

    ReportResult RecordReport(const DeliveryReport& report, int64_t now) override {
        ReportResult result = ReportResult::Unmatched;
        Transaction([&] {
            result = ReportResult::Unmatched;
            // Newest first: an 8-bit reference comes round again, and the newest part
            // without its final report is the one the network still tells of.
            const CRows rows = db_->Exec(
                "SELECT p.message_id, p.part, m.number FROM parts p JOIN messages m ON "
                "m.id = p.message_id WHERE p.modem = ? AND p.reference = ? AND "
                "p.state = 'accepted' AND p.report_final = 0 AND p.at >= ? "
                "ORDER BY p.at DESC, p.message_id DESC, p.part DESC",
                {report.modem, report.reference, now - options_.deliveryTimeoutMs});
            for (int i = 0; i < rows.Size(); ++i) {
                if (SameRecipient(report.number, rows.Text(i, 2))) {
                    result = PartReported(rows.Int(i, 0), static_cast<int>(rows.Int(i, 1)),
                                          report.status, now)
                                 ? ReportResult::Final
                                 : ReportResult::Matched;
                    return;
                }
            }
            if (AlreadyReported(report, now)) {
                result = ReportResult::Copy;
                return;
            }
            db_->Exec(
                "INSERT INTO unmatched_reports(modem, reference, number, status, sc_time, "
                "discharge_time, at) VALUES(?, ?, ?, ?, ?, ?, ?)",
                {report.modem, report.reference, report.number, report.status, report.scTime,
                 report.dischargeTime, now});
        });
        return result;
    }

    // Claimed under a lease, so that one daemon posts it at a time.
    std::optional<Message> NextWebhook(int64_t now) override {
        std::optional<Message> next;
        Transaction([&] {
            next.reset();
            auto [free, params] = WebhookFree(now);
            params.insert(params.begin(), now);
            const std::vector<Message> due =
                Messages("webhook_state = 'pending' AND webhook_next_at <= ? AND " + free +
                             " ORDER BY webhook_next_at, id LIMIT 1" + db_->LockRows(),
                         params);
            if (due.empty()) {
                return;
            }
            next = due.front();
            db_->Exec(
                "UPDATE messages SET webhook_daemon = ?, webhook_lease_until = ? WHERE id = ?",
                {options_.daemon, now + options_.leaseMs, next->id});
        });
        if (next) {
            Holding(Kind::Webhook, next->id, true);
        }
        return next;
    }

    // Only while this daemon still holds the claim: once its lease ran out the delivery is
    // another's, and counting this attempt too would dead-letter it early.
    void FinishWebhook(int64_t id, bool delivered, bool dead, const std::string& error,
                       int64_t nextAt, int64_t now) override {
        // Not renewed past this call, even when the store refuses the outcome.
        Holding(Kind::Webhook, id, false);
        const std::string state = ToString(delivered ? WebhookState::Delivered
                                           : dead    ? WebhookState::Dead
                                                     : WebhookState::Pending);
        Transaction([&] {
            const CRows updated = db_->Exec(
                "UPDATE messages SET webhook_state = ?, webhook_attempts = webhook_attempts + 1, "
                "webhook_next_at = ?, webhook_error = ?, updated_at = ?, webhook_lease_until = 0 "
                "WHERE id = ? AND webhook_daemon = ? AND webhook_state = 'pending'",
                {state, nextAt, delivered ? std::string() : error, now, id, options_.daemon});
            if (updated.Affected() > 0) {
                History(id, now, "webhook " + state, error);
            }
        });
    }

    Counts Count() override {
        std::lock_guard hold(lock_);
        Counts counts;
        const CRows out = db_->Exec(
            "SELECT via, state, count(*) FROM messages WHERE direction = 'out' GROUP BY via, "
            "state");
        for (int i = 0; i < out.Size(); ++i) {
            counts.out[{out.Text(i, 0), out.Text(i, 1)}] = out.Int(i, 2);
        }
        // Received messages by modem, and their deliveries by state.
        for (const auto& [into, by] :
             {std::pair{&counts.in, "modem"}, std::pair{&counts.webhooks, "webhook_state"}}) {
            const CRows rows = db_->Exec(std::string("SELECT ") + by +
                                         ", count(*) FROM messages WHERE direction = 'in' AND " +
                                         by + " != '' GROUP BY " + by);
            for (int i = 0; i < rows.Size(); ++i) {
                (*into)[rows.Text(i, 0)] = rows.Int(i, 1);
            }
        }
        counts.events =
            db_->Exec("SELECT count(*) FROM events WHERE daemon = ?", {options_.daemon}).Int(0, 0);
        const CRows reports = db_->Exec(
            "SELECT coalesce(sum(CASE WHEN report_status BETWEEN 0 AND 31 THEN 1 ELSE 0 END), 0), "
            "count(*), coalesce(sum(report_at - at), 0) FROM parts WHERE report_final = 1");
        counts.reportsDelivered = reports.Int(0, 0);
        counts.reportsFailed = reports.Int(0, 1) - counts.reportsDelivered;
        counts.reportDelayCount = reports.Int(0, 1);
        counts.reportDelaySumMs = reports.Int(0, 2);
        counts.reportsUnmatched = db_->Exec("SELECT count(*) FROM unmatched_reports").Int(0, 0);
        return counts;
    }

    Summary Summarize(int64_t since) override {
        std::lock_guard hold(lock_);
        Summary summary;
        const CRows out = db_->Exec(
            "SELECT state, count(*) FROM messages WHERE direction = 'out' GROUP BY state");
        for (int i = 0; i < out.Size(); ++i) {
            summary.outgoing[out.Text(i, 0)] = out.Int(i, 1);
        }
        const CRows day = db_->Exec(
            "SELECT coalesce(sum(CASE WHEN direction = 'out' AND state = 'sent' THEN 1 ELSE 0 "
            "END), 0), coalesce(sum(CASE WHEN delivery = 'delivered' THEN 1 ELSE 0 END), 0), "
            "coalesce(sum(CASE WHEN delivery = 'undelivered' THEN 1 ELSE 0 END), 0), "
            "coalesce(sum(CASE WHEN direction = 'in' THEN 1 ELSE 0 END), 0) "
            "FROM messages WHERE created_at >= ?",
            {since});
        summary.sent = day.Int(0, 0);
        summary.delivered = day.Int(0, 1);
        summary.undelivered = day.Int(0, 2);
        summary.received = day.Int(0, 3);
        return summary;
    }

    std::vector<Event> PendingEvents(int limit) override {
        std::lock_guard hold(lock_);
        return ReadEvents(
            db_->Exec("SELECT id, daemon, modem, direction, payload FROM events "
                      "WHERE daemon = ? ORDER BY id LIMIT ?",
                      {options_.daemon, limit}));
    }

    void EventsPublished(const std::vector<int64_t>& ids) override {
        if (ids.empty()) {
            return;
        }
        Transaction([&] {
            SqlParams params;
            const std::string in = In(params, ids);
            db_->Exec("DELETE FROM events WHERE id IN " + in, params);
        });
    }

    bool Reachable() override { return db_->Up(); }

protected:
    // The claims a daemon settles at its start: on a store of its own, all.
    virtual std::pair<std::string, SqlParams> OwnClaims() const { return {"1 = 1", {}}; }
    virtual void BeforeClaim(int64_t /*now*/) {}
    // Work became due: a shared store tells the other daemons.
    virtual void Queued() {}
    // A claim this process holds, renewed until let go.
    virtual void Holding(Kind /*kind*/, int64_t /*id*/, bool /*held*/) {}
    // Which pending deliveries this daemon may take: on a store of its own, any.
    virtual std::pair<std::string, SqlParams> WebhookFree(int64_t /*now*/) { return {"1 = 1", {}}; }

    // One transaction under the connection's lock.
    template <typename Body>
    void Transaction(Body&& body) {
        std::lock_guard hold(lock_);
        InTransaction(*db_, body);
    }

    // The messages `where` picks, with what follows it.
    std::vector<Message> Messages(const std::string& where, const SqlParams& params) {
        const CRows rows = db_->Exec(
            std::string("SELECT ") + kMessageColumns + " FROM messages WHERE " + where, params);
        std::vector<Message> messages(static_cast<std::size_t>(rows.Size()));
        for (int i = 0; i < rows.Size(); ++i) {
            Message& m = messages[static_cast<std::size_t>(i)];
            m.id = rows.Int(i, 0);
            m.direction = rows.Text(i, 1);
            m.state = Parsed(MessageStateNamed(rows.Text(i, 2)), rows.Text(i, 2));
            m.modem = rows.Text(i, 3);
            m.via = rows.Text(i, 4);
            m.number = rows.Text(i, 5);
            m.text = rows.Text(i, 6);
            m.createdAt = rows.Int(i, 7);
            m.updatedAt = rows.Int(i, 8);
            m.attempts = static_cast<int>(rows.Int(i, 9));
            m.nextAt = rows.Int(i, 10);
            m.parts = static_cast<int>(rows.Int(i, 11));
            m.partsAccepted = static_cast<int>(rows.Int(i, 12));
            m.error = rows.Text(i, 13);
            m.key = rows.Text(i, 14);
            m.sentTime = rows.Text(i, 15);
            m.webhookState = Parsed(WebhookStateNamed(rows.Text(i, 16)), rows.Text(i, 16));
            m.webhookAttempts = static_cast<int>(rows.Int(i, 17));
            m.webhookError = rows.Text(i, 18);
            m.concatenated = rows.Int(i, 19) != 0;
            m.complete = rows.Int(i, 20) != 0;
            m.missing = MissingParts(rows.Text(i, 21));
            m.revision = static_cast<int>(rows.Int(i, 22));
            m.webhookEvent = rows.Text(i, 23);
            m.delivery = rows.Text(i, 24);
            m.deliveredAt = rows.Int(i, 25);
            // Reports awaited past the window never come: read as unknown.
            const int64_t lastPart = rows.Int(i, 26);
            if (m.delivery == "pending" && lastPart > 0 &&
                NowMs() - lastPart > options_.deliveryTimeoutMs) {
                m.delivery = "unknown";
            }
        }
        return messages;
    }

    static std::vector<Event> ReadEvents(const CRows& rows) {
        std::vector<Event> events;
        for (int i = 0; i < rows.Size(); ++i) {
            events.push_back({rows.Int(i, 0), rows.Text(i, 1), rows.Text(i, 2), rows.Text(i, 3),
                              rows.Text(i, 4)});
        }
        return events;
    }

    // The claims `where` picks: handed to a modem -> unknown, only claimed -> queued.
    // Returns how many became unknown.
    int Release(const std::string& where, const SqlParams& params, const std::string& why,
                int64_t now) {
        const CRows rows = db_->Exec(
            "SELECT id, submitted, CASE WHEN concat_reference IS NULL THEN 0 ELSE 1 END, "
            "parts_accepted, parts, CASE WHEN EXISTS(SELECT 1 FROM parts p WHERE p.message_id = "
            "messages.id AND p.state = 'writing') THEN 1 ELSE 0 END FROM messages WHERE "
            "direction = 'out' AND state = 'sending' AND " +
                where + " ORDER BY id" + db_->LockRows(),
            params);
        int unknown = 0;
        bool requeued = false;
        for (int i = 0; i < rows.Size(); ++i) {
            const bool handed = rows.Int(i, 1) != 0;
            // Handed over with confirmed writes, a body goes only after its part's record.
            const bool confirmed = rows.Int(i, 1) == kHandedConfirmed;
            const Outcome outcome =
                handed ? AfterInterruption({!confirmed || rows.Int(i, 5) != 0,
                                            static_cast<int>(rows.Int(i, 3)), rows.Int(i, 2) != 0,
                                            static_cast<int>(rows.Int(i, 4))})
                       : Outcome::Released;
            const MessageState state = outcome == Outcome::Unknown ? MessageState::Unknown
                                       : outcome == Outcome::Sent  ? MessageState::Sent
                                                                   : MessageState::Queued;
            const std::string detail = !handed ? "claimed, never handed to a modem"
                                       : outcome == Outcome::Released
                                           ? why + "; no part's body had gone without its outcome"
                                           : why;
            // A claim no body of which went was no attempt: it is given back.
            db_->Exec(
                "UPDATE messages SET state = ?, error = ?, updated_at = ?, lease_until = 0, "
                "attempts = attempts - ? WHERE id = ?",
                {ToString(state), state == MessageState::Sent ? std::string() : detail, now,
                 outcome == Outcome::Released ? 1 : 0, rows.Int(i, 0)});
            Changed(rows.Int(i, 0), now, ToString(state), detail);
            if (state == MessageState::Sent) {
                SettleDelivery(rows.Int(i, 0), now);
            }
            unknown += state == MessageState::Unknown ? 1 : 0;
            requeued = requeued || state == MessageState::Queued;
        }
        if (requeued) {
            Queued();
        }
        return unknown;
    }

    std::unique_ptr<ISqlDriver> db_;
    const StoreOptions options_;
    std::recursive_mutex lock_;

private:
    // A stored message that `message` brings more of takes its text and parts; its webhook
    // post and its event go out again. False when it brings nothing new.
    bool Completed(const Incoming& message, bool webhook, int64_t now) {
        const std::vector<Message> stored =
            Messages("direction = 'in' AND modem = ? AND in_key = ?", {message.modem, message.key});
        if (stored.empty() ||
            !BringsMore(message, stored.front().complete, stored.front().missing)) {
            return false;
        }
        const Message& old = stored.front();
        // A receiver that was posted the message before learns of the change as one; a post
        // still owed is the first. A post under way is not settled by its end (its claim is
        // gone) and goes again with the new text.
        const std::string event =
            old.webhookState == WebhookState::Pending && old.webhookEvent != kEventUpdated
                ? std::string(kEventReceived)
                : std::string(kEventUpdated);
        // Only over what was read: a change made meanwhile is not overwritten.
        const CRows updated = db_->Exec(
            "UPDATE messages SET text = ?, parts = ?, complete = ?, missing = ?, "
            "revision = revision + 1, updated_at = ?, webhook_state = ?, webhook_attempts = 0, "
            "webhook_next_at = 0, webhook_error = '', webhook_daemon = '', webhook_event = ? "
            "WHERE id = ? AND complete = 0 AND missing = ?",
            {message.text, std::max(message.parts, 1), message.complete ? 1 : 0,
             MissingText(message.missing), now,
             ToString(webhook ? WebhookState::Pending : old.webhookState), event, old.id,
             MissingText(old.missing)});
        if (updated.Affected() == 0) {
            return false;
        }
        Changed(old.id, now, "updated",
                message.complete ? "every part came"
                                 : "parts still missing: " + MissingText(message.missing));
        return true;
    }

    // A part's report, in the message's history; true when it ended the message's delivery.
    // A final report given again (its acknowledgement lost in a crash) finds its part
    // closed with the same status: a copy, not a report of an unknown part.
    bool AlreadyReported(const DeliveryReport& report, int64_t now) {
        const CRows rows = db_->Exec(
            "SELECT m.number FROM parts p JOIN messages m ON m.id = p.message_id WHERE "
            "p.modem = ? AND p.reference = ? AND p.state = 'accepted' AND p.report_final = 1 "
            "AND p.report_status = ? AND p.at >= ?",
            {report.modem, report.reference, report.status, now - options_.deliveryTimeoutMs});
        for (int i = 0; i < rows.Size(); ++i) {
            if (SameRecipient(report.number, rows.Text(i, 0))) {
                return true;
            }
        }
        return false;
    }

    bool PartReported(int64_t id, int part, int status, int64_t now) {
        const GSM::DeliveryState kind = GSM::DeliveryStateOf(status);
        db_->Exec(
            "UPDATE parts SET report_status = ?, report_at = ?, report_final = ? WHERE "
            "message_id = ? AND part = ?",
            {status, now, kind == GSM::DeliveryState::Pending ? 0 : 1, id, part});
        History(id, now, "report",
                "part " + std::to_string(part) + ": status " + std::to_string(status) +
                    (kind == GSM::DeliveryState::Delivered ? " (delivered)"
                     : kind == GSM::DeliveryState::Pending ? " (still trying)"
                                                           : " (failed)"));
        return SettleDelivery(id, now);
    }

    // A sent message's delivery from its parts' reports: undelivered at the first part failed
    // for good, delivered when every part is, unknown when a part has no reference to be
    // reported under. True when it became delivered or undelivered.
    bool SettleDelivery(int64_t id, int64_t now) {
        const CRows message = db_->Exec(
            "SELECT parts FROM messages WHERE id = ? AND state = 'sent' AND delivery = 'pending'",
            {id});
        if (message.Empty()) {
            return false;
        }
        const CRows parts = db_->Exec(
            "SELECT part, coalesce(reference, -1), coalesce(report_status, -1), report_final, "
            "coalesce(report_at, 0) FROM parts WHERE message_id = ? AND state = 'accepted'",
            {id});
        bool failed = false;
        bool unreferenced = false;
        int delivered = 0;
        int64_t deliveredAt = 0;
        for (int i = 0; i < parts.Size(); ++i) {
            const bool final = parts.Int(i, 3) != 0;
            const bool fine = GSM::DeliveryStateOf(static_cast<int>(parts.Int(i, 2))) ==
                              GSM::DeliveryState::Delivered;
            failed = failed || (final && !fine);
            unreferenced = unreferenced || parts.Int(i, 1) < 0;
            if (final && fine) {
                ++delivered;
                deliveredAt = std::max(deliveredAt, parts.Int(i, 4));
            }
        }
        const std::string delivery = failed         ? "undelivered"
                                     : unreferenced ? "unknown"
                                     : delivered > 0 && delivered >= message.Int(0, 0) ? "delivered"
                                                                                       : "";
        if (delivery.empty()) {
            return false;
        }
        db_->Exec("UPDATE messages SET delivery = ?, delivered_at = ?, updated_at = ? WHERE id = ?",
                  {delivery, delivery == "delivered" ? deliveredAt : 0, now, id});
        Changed(id, now, "delivery", delivery);
        if (delivery == "unknown") {
            return false;
        }
        OweWebhook(id, delivery == "delivered" ? kEventDelivered : kEventUndelivered);
        return true;
    }

    // An outgoing message's end, posted once to the webhook when there is one.
    void OweWebhook(int64_t id, const char* event) {
        if (!options_.webhook) {
            return;
        }
        db_->Exec(
            "UPDATE messages SET webhook_state = 'pending', webhook_attempts = 0, "
            "webhook_next_at = 0, webhook_error = '', webhook_daemon = '', "
            "webhook_lease_until = 0, webhook_event = ? WHERE id = ?",
            {std::string(event), id});
    }

    void History(int64_t id, int64_t now, const std::string& state, const std::string& detail) {
        db_->Exec("INSERT INTO history(message_id, at, state, detail) VALUES(?, ?, ?, ?)",
                  {id, now, state, detail});
    }

    // What an earlier attempt left of a concatenated message (`reference` -1: none).
    void Continued(Claimed& claimed, int64_t reference, int parts) {
        if (reference < 0) {
            return;
        }
        claimed.concatReference = static_cast<int>(reference);
        claimed.parts = parts;
        const CRows accepted = db_->Exec(
            "SELECT part FROM parts WHERE message_id = ? AND state = 'accepted' ORDER BY part",
            {claimed.id});
        for (int i = 0; i < accepted.Size(); ++i) {
            claimed.acceptedParts.push_back(static_cast<int>(accepted.Int(i, 0)));
        }
    }

    // The message without its history.
    std::optional<Message> Row(int64_t id) {
        std::vector<Message> found = Messages("id = ?", {id});
        return found.empty() ? std::nullopt : std::optional<Message>(std::move(found.front()));
    }

    // A change of state: its history entry and, with events on, its event, both in the
    // caller's transaction so that neither is kept without the other. The event is its
    // daemon's to publish, under a lease it renews while it lives.
    void Changed(int64_t id, int64_t now, const std::string& state, const std::string& detail) {
        History(id, now, state, detail);
        if (!options_.events) {
            return;
        }
        const std::optional<Message> message = Row(id);
        if (!message) {
            throw StoreFault("message " + std::to_string(id) + " vanished in its change");
        }
        db_->Exec(
            "INSERT INTO events(daemon, modem, direction, payload, created_at, claimed_by, "
            "lease_until) VALUES(?, ?, ?, ?, ?, ?, ?)",
            {options_.daemon, message->direction == "in" ? message->modem : message->via,
             message->direction, EventPayload(*message, options_.daemon, detail, now), now,
             options_.daemon, NowMs() + options_.leaseMs});
    }
};

// Several daemons on one database: one connection serves the calls (under a lock), a second
// one listens and renews the claims this process holds every third of a lease. Each claim
// first sweeps the expired claims, on the caller's clock: idle senders claim twice a second,
// so a dead daemon's claims are settled soon after their lease ends.
class CSharedStore final : public CSqlStore {
public:
    CSharedStore(std::unique_ptr<ISqlDriver> db, std::unique_ptr<ISqlDriver> side,
                 StoreOptions options)
        : CSqlStore(std::move(db), std::move(options)), side_(std::move(side)) {}
    ~CSharedStore() override {
        stop_ = true;
        if (keeper_.joinable()) {
            keeper_.join();
        }
    }

    std::string Prepare() override {
        if (std::string why = CSqlStore::Prepare(); !why.empty()) {
            return why;
        }
        try {
            // Listening before the first claim: what is queued after it wakes this daemon.
            side_->Exec(std::string("LISTEN ") + kChannel);
        } catch (const StoreFault& e) {
            return e.what();
        }
        keeper_ = std::thread([this] { Keep(); });
        return {};
    }

    // This daemon's events, and those of a daemon that stopped renewing its claim on them,
    // which become this daemon's to publish (still under their daemon's name). Its own are
    // read without a row lock: the renewal may hold theirs at that moment.
    std::vector<Event> PendingEvents(int limit) override {
        std::vector<Event> events;
        Transaction([&] {
            const int64_t now = NowMs();
            db_->Exec(std::string("UPDATE events SET claimed_by = ?, lease_until = ? WHERE id IN "
                                  "(SELECT id FROM events WHERE claimed_by <> ? AND "
                                  "lease_until < ? ORDER BY id LIMIT ?") +
                          db_->LockRows() + ")",
                      {options_.daemon, now + options_.leaseMs, options_.daemon, now, limit});
            events = ReadEvents(
                db_->Exec("SELECT id, daemon, modem, direction, payload FROM events WHERE "
                          "claimed_by = ? ORDER BY id LIMIT ?",
                          {options_.daemon, limit}));
        });
        return events;
    }

    // A delivery whose outcome the store refused stays claimed by this daemon, which takes it
    // again at once: its post has ended. One claimed by this daemon's previous life waits for
    // its lease, as that post may still be open at the receiver.
    void FinishWebhook(int64_t id, bool delivered, bool dead, const std::string& error,
                       int64_t nextAt, int64_t now) override {
        try {
            CSqlStore::FinishWebhook(id, delivered, dead, error, nextAt, now);
        } catch (...) {
            std::lock_guard hold(heldLock_);
            unsettled_.insert(id);
            throw;
        }
        std::lock_guard hold(heldLock_);
        unsettled_.erase(id);
    }

    void HoldModems(const std::vector<std::string>& names) override {
        Transaction([&] {
            for (const std::string& name : names) {
                db_->Exec(
                    "INSERT INTO modems(name, daemon, held_at) VALUES(?, ?, ?) "
                    "ON CONFLICT(name) DO UPDATE SET daemon = excluded.daemon, "
                    "held_at = excluded.held_at",
                    {name, options_.daemon, NowMs()});
            }
        });
    }

    bool HeldElsewhere(const std::string& name) override {
        std::lock_guard hold(lock_);
        return !db_->Exec("SELECT 1 FROM modems WHERE name = ?", {name}).Empty();
    }

    void SetWake(std::function<void()> wake) override {
        std::lock_guard hold(wakeLock_);
        wake_ = std::move(wake);
    }

protected:
    std::pair<std::string, SqlParams> OwnClaims() const override {
        return {"daemon = ?", {options_.daemon}};
    }
    // The claims of daemons that stopped renewing them.
    void BeforeClaim(int64_t now) override {
        Release("lease_until < ?", {now}, "its daemon stopped renewing its claim", now);
    }
    void Queued() override { db_->Exec(std::string("NOTIFY ") + kChannel); }
    std::pair<std::string, SqlParams> WebhookFree(int64_t now) override {
        SqlParams params = {now};
        std::vector<int64_t> mine;
        {
            std::lock_guard hold(heldLock_);
            mine.assign(unsettled_.begin(), unsettled_.end());
        }
        if (mine.empty()) {
            return {"webhook_lease_until < ?", params};
        }
        params.emplace_back(options_.daemon);
        const std::string in = In(params, mine);
        return {"(webhook_lease_until < ? OR (webhook_daemon = ? AND id IN " + in + "))", params};
    }
    // Only the claims held in this process are renewed, so that a claim whose commit this
    // process never heard of runs out like a dead daemon's.
    void Holding(Kind kind, int64_t id, bool held) override {
        std::lock_guard hold(heldLock_);
        if (held) {
            held_[kind].insert(id);
        } else {
            held_[kind].erase(id);
        }
    }

private:
    // The listening connection's life: wakes at a notification, renews the held claims
    // every third of a lease, and comes back after a loss.
    void Keep() {
        const int64_t every = std::max(options_.leaseMs / 3, 50);
        int64_t nextRound = 0;
        bool listening = true;
        while (!stop_) {
            try {
                if (!listening) {
                    side_->Exec(std::string("LISTEN ") + kChannel);
                    listening = true;
                    // Whatever was queued while it was away.
                    Wake();
                }
                if (const int64_t now = NowMs(); now >= nextRound) {
                    nextRound = now + every;
                    Renew(now);
                }
                if (side_->WaitNotified(100)) {
                    Wake();
                }
            } catch (const std::exception& e) {
                if (listening) {
                    Log(Level::Warning, std::string("store listener: ") + e.what());
                }
                listening = false;
                side_->Close();
                for (int i = 0; i < 10 && !stop_; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            }
        }
    }

    // The claims held in this process, and every event this daemon has still to publish.
    void Renew(int64_t now) {
        const int64_t until = now + options_.leaseMs;
        for (const auto& [kind, sql] :
             {std::pair{Kind::Send,
                        "UPDATE messages SET lease_until = ? WHERE daemon = ? AND "
                        "state = 'sending' AND id IN "},
              std::pair{Kind::Webhook,
                        "UPDATE messages SET webhook_lease_until = ? WHERE "
                        "webhook_daemon = ? AND webhook_state = 'pending' AND id IN "}}) {
            std::vector<int64_t> ids;
            {
                std::lock_guard hold(heldLock_);
                ids.assign(held_[kind].begin(), held_[kind].end());
            }
            if (!ids.empty()) {
                SqlParams params = {until, options_.daemon};
                const std::string in = In(params, ids);
                side_->Exec(sql + in, params);
            }
        }
        if (options_.events) {
            side_->Exec("UPDATE events SET lease_until = ? WHERE claimed_by = ?",
                        {until, options_.daemon});
        }
    }

    void Wake() {
        std::lock_guard hold(wakeLock_);
        if (wake_) {
            wake_();
        }
    }

    std::unique_ptr<ISqlDriver> side_;
    std::mutex wakeLock_;
    std::mutex heldLock_;
    std::map<Kind, std::set<int64_t>> held_;
    std::set<int64_t> unsettled_;  // deliveries whose outcome the store refused
    std::function<void()> wake_;
    std::atomic<bool> stop_ = false;
    std::thread keeper_;
};

}  // namespace

std::unique_ptr<IStore> OpenSqliteStore(const std::string& path, std::string& error,
                                        const StoreOptions& options) {
    std::unique_ptr<ISqlDriver> db = OpenSqliteDriver(path, error);
    if (!db) {
        return nullptr;
    }
    auto store = std::make_unique<CSqlStore>(std::move(db), options);
    if (const std::string why = store->Prepare(); !why.empty()) {
        error = "the store " + path + ": " + why;
        return nullptr;
    }
    return store;
}

std::unique_ptr<IStore> OpenPgStore(const std::string& url, std::string& error,
                                    const StoreOptions& options) {
    auto store = std::make_unique<CSharedStore>(OpenPgDriver(url), OpenPgDriver(url), options);
    if (const std::string why = store->Prepare(); !why.empty()) {
        error = "the store " + StoreShown(url) + ": " + why;
        return nullptr;
    }
    return store;
}

}  // namespace Tarvikd
