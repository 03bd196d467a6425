// The PostgreSQL store, shared by several daemons: the SQLite store's schema and answers,
// plus claims held under a daemon's name with a lease, a sweep of the claims of daemons
// that stopped renewing, and LISTEN/NOTIFY so that work queued through one daemon wakes
// the others' senders at once. Webhook deliveries and broker events are claimed the same
// way: one daemon posts a delivery at a time, and a dead daemon's are taken up by another.
//
// One connection serves the calls (under a lock, as the SQLite store); a second one
// listens and renews the claims this process's senders hold every third of a lease. Each
// claim first sweeps the expired claims, on the caller's clock: idle senders claim twice a
// second, so a dead daemon's claims are settled soon after their lease ends.
// A call after the server went away resets the connection; while it cannot, calls throw.
#include <libpq-fe.h>
#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "Log.h"
#include "Store.h"

namespace Tarvikd {

namespace {

constexpr int kSchemaVersion = 3;
// Taken while migrating, so that daemons starting together apply each step once.
constexpr const char* kMigrationLock = "7421902311";
constexpr const char* kChannel = "tarvik_work";

const char* const kMigrations[] = {
    // 1
    R"sql(
CREATE TABLE messages(
  id BIGSERIAL PRIMARY KEY,
  direction TEXT NOT NULL CHECK(direction IN ('in', 'out')),
  state TEXT NOT NULL,
  modem TEXT NOT NULL DEFAULT '',
  via TEXT NOT NULL DEFAULT '',
  number TEXT NOT NULL,
  text TEXT NOT NULL,
  created_at BIGINT NOT NULL,
  updated_at BIGINT NOT NULL,
  attempts INTEGER NOT NULL DEFAULT 0,
  next_at BIGINT NOT NULL DEFAULT 0,
  submitted INTEGER NOT NULL DEFAULT 0,
  parts INTEGER NOT NULL DEFAULT 0,
  parts_accepted INTEGER NOT NULL DEFAULT 0,
  error TEXT NOT NULL DEFAULT '',
  in_key TEXT,
  sent_time TEXT NOT NULL DEFAULT '',
  webhook_state TEXT NOT NULL DEFAULT '',
  webhook_attempts INTEGER NOT NULL DEFAULT 0,
  webhook_next_at BIGINT NOT NULL DEFAULT 0,
  webhook_error TEXT NOT NULL DEFAULT '',
  daemon TEXT NOT NULL DEFAULT '',
  lease_until BIGINT NOT NULL DEFAULT 0);
CREATE UNIQUE INDEX messages_in_key ON messages(modem, in_key) WHERE direction = 'in';
CREATE INDEX messages_direction ON messages(direction, id);
CREATE INDEX messages_queue ON messages(state, next_at) WHERE direction = 'out';
CREATE INDEX messages_webhook ON messages(webhook_state, webhook_next_at) WHERE direction = 'in';
CREATE TABLE history(
  id BIGSERIAL PRIMARY KEY,
  message_id BIGINT NOT NULL REFERENCES messages(id),
  at BIGINT NOT NULL,
  state TEXT NOT NULL,
  detail TEXT NOT NULL DEFAULT '');
CREATE INDEX history_message ON history(message_id, id);
CREATE TABLE idempotency(
  api_key TEXT NOT NULL,
  key TEXT NOT NULL,
  fingerprint TEXT NOT NULL,
  message_id BIGINT NOT NULL REFERENCES messages(id),
  created_at BIGINT NOT NULL,
  PRIMARY KEY(api_key, key));
CREATE TABLE events(
  id BIGSERIAL PRIMARY KEY,
  daemon TEXT NOT NULL,
  modem TEXT NOT NULL,
  direction TEXT NOT NULL,
  payload TEXT NOT NULL,
  created_at BIGINT NOT NULL);
CREATE INDEX events_daemon ON events(daemon, id);
)sql",
    // 2: which daemon holds which modem, for the API of every daemon
    R"sql(
CREATE TABLE modems(
  name TEXT PRIMARY KEY,
  daemon TEXT NOT NULL,
  held_at BIGINT NOT NULL);
)sql",
    // 3: webhooks and events claimed under a lease, as outgoing messages are. Events kept
    // from before stay their daemon's for a lease.
    R"sql(
ALTER TABLE messages ADD COLUMN webhook_daemon TEXT NOT NULL DEFAULT '',
  ADD COLUMN webhook_lease_until BIGINT NOT NULL DEFAULT 0;
ALTER TABLE events ADD COLUMN claimed_by TEXT NOT NULL DEFAULT '',
  ADD COLUMN lease_until BIGINT NOT NULL DEFAULT 0;
UPDATE events SET claimed_by = daemon,
  lease_until = (extract(epoch FROM now()) * 1000)::bigint + 30000;
)sql",
};

struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A transaction lost to another (a key inserted meanwhile, a deadlock): worth running again.
struct Contention : StoreError {
    using StoreError::StoreError;
};

std::string OneLine(const char* text) {
    // libpq's messages run over lines: one line for the log.
    std::string out;
    for (const char* at = text; at != nullptr && *at != '\0'; ++at) {
        const bool space = *at == '\n' || *at == '\t' || *at == ' ';
        if (!space) {
            out += *at;
        } else if (!out.empty() && out.back() != ' ') {
            out += ' ';
        }
    }
    while (!out.empty() && out.back() == ' ') {
        out.pop_back();
    }
    return out;
}

class CResult {
public:
    explicit CResult(PGresult* result) : result_(result) {}
    ~CResult() { PQclear(result_); }
    CResult(CResult&& other) noexcept : result_(other.result_) { other.result_ = nullptr; }
    CResult(const CResult&) = delete;
    CResult& operator=(const CResult&) = delete;
    CResult& operator=(CResult&&) = delete;

    int Rows() const { return PQntuples(result_); }
    std::string Text(int row, int column) const {
        return std::string(PQgetvalue(result_, row, column),
                           static_cast<std::size_t>(PQgetlength(result_, row, column)));
    }
    int64_t Int(int row, int column) const {
        return std::strtoll(PQgetvalue(result_, row, column), nullptr, 10);
    }
    int Affected() const { return std::atoi(PQcmdTuples(result_)); }

private:
    PGresult* result_;
};

// One connection; every statement with its parameters as text.
class CConnection {
public:
    explicit CConnection(std::string url) : url_(std::move(url)) {}
    ~CConnection() { Close(); }
    CConnection(const CConnection&) = delete;
    CConnection& operator=(const CConnection&) = delete;

    // Connected, resetting a connection that broke; throws while the server cannot be had.
    PGconn* Get() {
        if (conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK) {
            return conn_;
        }
        if (conn_ == nullptr) {
            // The URL's own connect_timeout, if any, overrides this one.
            const char* keys[] = {"connect_timeout", "dbname", nullptr};
            const char* values[] = {"5", url_.c_str(), nullptr};
            conn_ = PQconnectdbParams(keys, values, 1);
        } else {
            PQreset(conn_);
        }
        if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
            up_ = false;
            throw StoreError(std::string("the PostgreSQL store is unreachable: ") +
                             (conn_ != nullptr ? OneLine(PQerrorMessage(conn_)) : "out of memory"));
        }
        PQsetNoticeProcessor(
            conn_, [](void*, const char*) {}, nullptr);
        return conn_;
    }
    void Close() {
        if (conn_ != nullptr) {
            PQfinish(conn_);
            conn_ = nullptr;
        }
    }

    CResult Exec(const std::string& sql, const std::vector<std::string>& params = {}) {
        PGconn* conn = Get();
        std::vector<const char*> values;
        values.reserve(params.size());
        for (const std::string& param : params) {
            values.push_back(param.c_str());
        }
        // Without parameters a script of several statements may go (the migrations).
        PGresult* result = params.empty()
                               ? PQexec(conn, sql.c_str())
                               : PQexecParams(conn, sql.c_str(), static_cast<int>(values.size()),
                                              nullptr, values.data(), nullptr, nullptr, 0);
        const ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
            up_ = true;
            return CResult(result);
        }
        const char* code =
            result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
        const std::string state = code != nullptr ? code : "";
        std::string why = OneLine(PQerrorMessage(conn));
        PQclear(result);
        if (PQstatus(conn) != CONNECTION_OK) {
            up_ = false;
            throw StoreError("the PostgreSQL store is unreachable: " + why);
        }
        // A key inserted meanwhile, a serialization failure or a deadlock.
        if (state == "23505" || state == "40001" || state == "40P01") {
            throw Contention(why);
        }
        throw StoreError(why);
    }

    // How the last statement went: for /readyz, which must not wait on a dead server.
    bool Up() const { return up_; }

private:
    std::string url_;
    PGconn* conn_ = nullptr;
    std::atomic<bool> up_ = true;
};

std::string Num(int64_t value) {
    return std::to_string(value);
}

// A bigint[] parameter.
std::string IdArray(const std::vector<int64_t>& ids) {
    std::string list = "{";
    for (const int64_t id : ids) {
        list += (list.size() > 1 ? "," : "") + Num(id);
    }
    return list + "}";
}

constexpr const char* kMessageColumns =
    "id, direction, state, modem, via, number, text, created_at, updated_at, attempts, "
    "next_at, parts, parts_accepted, error, coalesce(in_key, ''), sent_time, webhook_state, "
    "webhook_attempts, webhook_error";

Message ReadMessage(const CResult& rows, int row) {
    Message m;
    m.id = rows.Int(row, 0);
    m.direction = rows.Text(row, 1);
    m.state = rows.Text(row, 2);
    m.modem = rows.Text(row, 3);
    m.via = rows.Text(row, 4);
    m.number = rows.Text(row, 5);
    m.text = rows.Text(row, 6);
    m.createdAt = rows.Int(row, 7);
    m.updatedAt = rows.Int(row, 8);
    m.attempts = static_cast<int>(rows.Int(row, 9));
    m.nextAt = rows.Int(row, 10);
    m.parts = static_cast<int>(rows.Int(row, 11));
    m.partsAccepted = static_cast<int>(rows.Int(row, 12));
    m.error = rows.Text(row, 13);
    m.key = rows.Text(row, 14);
    m.sentTime = rows.Text(row, 15);
    m.webhookState = rows.Text(row, 16);
    m.webhookAttempts = static_cast<int>(rows.Int(row, 17));
    m.webhookError = rows.Text(row, 18);
    return m;
}

class CPgStore final : public IStore {
public:
    CPgStore(const std::string& url, const StoreOptions& options)
        : options_(options), main_(url), side_(url) {}
    ~CPgStore() override {
        stop_ = true;
        if (keeper_.joinable()) {
            keeper_.join();
        }
    }
    CPgStore(const CPgStore&) = delete;
    CPgStore& operator=(const CPgStore&) = delete;

    // Brings the schema to the newest version under the migration lock; empty, or why not.
    std::string Prepare() {
        std::lock_guard hold(lock_);
        try {
            main_.Exec(std::string("SELECT pg_advisory_lock(") + kMigrationLock + ")");
            std::string why;
            try {
                why = Migrate();
            } catch (...) {
                Unlock();
                throw;
            }
            Unlock();
            if (!why.empty()) {
                return why;
            }
        } catch (const StoreError& e) {
            return e.what();
        }
        try {
            // Listening before the first claim: what is queued after it wakes this daemon.
            side_.Exec(std::string("LISTEN ") + kChannel);
        } catch (const StoreError& e) {
            return e.what();
        }
        keeper_ = std::thread([this] { Keep(); });
        return {};
    }

    EnqueueResult Enqueue(const EnqueueRequest& request, int64_t now) override {
        EnqueueResult result;
        Transaction([&] {
            result = {};
            if (!request.idempotencyKey.empty()) {
                CResult seen = main_.Exec(
                    "SELECT message_id, fingerprint FROM idempotency WHERE api_key = $1 AND "
                    "key = $2",
                    {request.apiKey, request.idempotencyKey});
                if (seen.Rows() > 0) {
                    result.id = seen.Int(0, 0);
                    result.replayed = seen.Text(0, 1) == request.fingerprint;
                    result.conflict = !result.replayed;
                    return;
                }
            }
            CResult inserted = main_.Exec(
                "INSERT INTO messages(direction, state, modem, number, text, created_at, "
                "updated_at, next_at) VALUES('out', 'queued', $1, $2, $3, $4, $4, $4) "
                "RETURNING id",
                {request.modem, request.number, request.text, Num(now)});
            result.id = inserted.Int(0, 0);
            const std::string detail = request.modem.empty() ? "" : "for modem " + request.modem;
            History(result.id, now, "queued", detail);
            Event(main_, result.id, detail, now);
            if (!request.idempotencyKey.empty()) {
                main_.Exec(
                    "INSERT INTO idempotency(api_key, key, fingerprint, message_id, created_at) "
                    "VALUES($1, $2, $3, $4, $5)",
                    {request.apiKey, request.idempotencyKey, request.fingerprint, Num(result.id),
                     Num(now)});
            }
            Notify();
        });
        return result;
    }

    std::optional<Message> Get(int64_t id) override {
        std::lock_guard hold(lock_);
        CResult row = main_.Exec(
            std::string("SELECT ") + kMessageColumns + " FROM messages WHERE id = $1", {Num(id)});
        if (row.Rows() == 0) {
            return std::nullopt;
        }
        Message message = ReadMessage(row, 0);
        CResult history = main_.Exec(
            "SELECT at, state, detail FROM history WHERE message_id = $1 ORDER BY id", {Num(id)});
        for (int i = 0; i < history.Rows(); ++i) {
            message.history.push_back({history.Int(i, 0), history.Text(i, 1), history.Text(i, 2)});
        }
        return message;
    }

    std::vector<Message> List(const std::string& direction, int64_t after, int limit) override {
        std::lock_guard hold(lock_);
        CResult rows = main_.Exec(std::string("SELECT ") + kMessageColumns +
                                      " FROM messages WHERE direction = $1 AND id > $2 "
                                      "ORDER BY id LIMIT $3",
                                  {direction, Num(after), Num(limit)});
        std::vector<Message> messages;
        for (int i = 0; i < rows.Rows(); ++i) {
            messages.push_back(ReadMessage(rows, i));
        }
        return messages;
    }

    CancelResult Cancel(int64_t id, int64_t now) override {
        CancelResult result = CancelResult::NotFound;
        Transaction([&] {
            result = CancelResult::NotFound;
            CResult row = main_.Exec(
                "SELECT state FROM messages WHERE id = $1 AND direction = 'out' FOR UPDATE",
                {Num(id)});
            if (row.Rows() == 0) {
                return;
            }
            if (row.Text(0, 0) != "queued") {
                result = CancelResult::NotCancellable;
                return;
            }
            SetState(main_, id, "cancelled", "", now);
            result = CancelResult::Cancelled;
        });
        return result;
    }

    int RecoverInterrupted(int64_t now) override {
        int unknown = 0;
        Transaction([&] {
            unknown = Release(main_, "daemon = $1", {options_.daemon},
                              "the daemon stopped while a modem had it", now);
        });
        return unknown;
    }

    std::optional<Claimed> Claim(const std::string& modem, const std::vector<std::string>& alsoFor,
                                 int64_t now) override {
        std::optional<Claimed> claimed;
        Transaction([&] {
            claimed.reset();
            Sweep(main_, now);
            std::vector<std::string> params = {Num(now), modem};
            std::string sql =
                "SELECT id, number, text, attempts FROM messages WHERE direction = 'out' AND "
                "state = 'queued' AND next_at <= $1 AND (modem = '' OR modem = $2";
            for (const std::string& other : alsoFor) {
                params.push_back(other);
                sql += " OR modem = $" + Num(static_cast<int64_t>(params.size()));
            }
            sql += ") ORDER BY next_at, id LIMIT 1 FOR UPDATE SKIP LOCKED";
            CResult row = main_.Exec(sql, params);
            if (row.Rows() == 0) {
                return;
            }
            claimed = Claimed{row.Int(0, 0), row.Text(0, 1), row.Text(0, 2),
                              static_cast<int>(row.Int(0, 3)) + 1};
            main_.Exec(
                "UPDATE messages SET state = 'sending', via = $1, attempts = $2, submitted = 0, "
                "parts = 0, parts_accepted = 0, updated_at = $3, daemon = $4, lease_until = $5 "
                "WHERE id = $6",
                {modem, Num(claimed->attempts), Num(now), options_.daemon,
                 Num(now + options_.leaseMs), Num(claimed->id)});
            const std::string detail =
                "attempt " + std::to_string(claimed->attempts) + " on modem " + modem;
            Hold(claimed->id, true);
            History(claimed->id, now, "sending", detail);
            Event(main_, claimed->id, detail, now);
        });
        return claimed;
    }

    void MarkSubmitted(int64_t id, int64_t now) override {
        Transaction([&] {
            main_.Exec(
                "UPDATE messages SET submitted = 1, updated_at = $1, lease_until = $2 "
                "WHERE id = $3 AND daemon = $4 AND state = 'sending'",
                {Num(now), Num(now + options_.leaseMs), Num(id), options_.daemon});
        });
    }

    void RecordPart(int64_t id, int part, bool accepted, const std::string& error,
                    int64_t now) override {
        Transaction([&] {
            main_.Exec(
                "UPDATE messages SET parts = greatest(parts, $1), parts_accepted = "
                "parts_accepted + $2, updated_at = $3, lease_until = $4 WHERE id = $5",
                {Num(part), Num(accepted ? 1 : 0), Num(now), Num(now + options_.leaseMs), Num(id)});
            History(id, now, "part",
                    std::to_string(part) + (accepted ? " accepted" : " refused: " + error));
        });
    }

    void Finish(int64_t id, Outcome outcome, const std::string& detail, int parts, int accepted,
                int64_t nextAt, int64_t now) override {
        const char* state = "queued";
        switch (outcome) {
            case Outcome::Sent:
                state = "sent";
                break;
            case Outcome::Failed:
                state = "failed";
                break;
            case Outcome::Unknown:
                state = "unknown";
                break;
            case Outcome::Retry:
            case Outcome::Released:
                state = "queued";
                break;
        }
        Transaction([&] {
            // Only while this daemon still holds it: a claim swept back to the queue may be
            // another's by now. One swept to unknown learns its real end.
            CResult updated = main_.Exec(
                "UPDATE messages SET state = $1, error = $2, next_at = $3, attempts = attempts - "
                "$4, parts = greatest(parts, $5), parts_accepted = greatest(parts_accepted, $6), "
                "updated_at = $7, lease_until = 0 WHERE id = $8 AND daemon = $9 AND "
                "state IN ('sending', 'unknown')",
                {state, outcome == Outcome::Sent ? std::string() : detail, Num(nextAt),
                 Num(outcome == Outcome::Released ? 1 : 0), Num(parts), Num(accepted), Num(now),
                 Num(id), options_.daemon});
            if (updated.Affected() == 0) {
                return;
            }
            History(id, now, state, detail);
            Event(main_, id, detail, now);
            if (std::string(state) == "queued") {
                Notify();
            }
        });
        // Renewed until then: an outcome the store refused is offered again.
        Hold(id, false);
    }

    bool StoreReceived(const std::string& modem, const std::string& key, const std::string& number,
                       const std::string& sentTime, const std::string& text, bool webhook,
                       int64_t now) override {
        bool inserted = false;
        Transaction([&] {
            CResult row = main_.Exec(
                "INSERT INTO messages(direction, state, modem, number, text, created_at, "
                "updated_at, in_key, sent_time, webhook_state) VALUES('in', 'received', $1, $2, "
                "$3, $4, $4, $5, $6, $7) ON CONFLICT (modem, in_key) WHERE direction = 'in' "
                "DO NOTHING RETURNING id",
                {modem, number, text, Num(now), key, sentTime, webhook ? "pending" : ""});
            inserted = row.Rows() > 0;
            if (inserted) {
                History(row.Int(0, 0), now, "received", "on modem " + modem);
                Event(main_, row.Int(0, 0), "", now);
            }
        });
        return inserted;
    }

    // Claimed under a lease, so that one daemon posts it at a time. One this daemon claimed
    // before is its own again at once: a daemon posts one at a time, so that claim's post
    // ended without its outcome recorded.
    std::optional<Message> NextWebhook(int64_t now) override {
        std::optional<Message> next;
        Transaction([&] {
            next.reset();
            CResult row = main_.Exec(
                std::string("SELECT ") + kMessageColumns +
                    " FROM messages WHERE direction = 'in' AND webhook_state = 'pending' AND "
                    "webhook_next_at <= $1 AND (webhook_lease_until < $1 OR webhook_daemon = $2) "
                    "ORDER BY webhook_next_at, id LIMIT 1 FOR UPDATE SKIP LOCKED",
                {Num(now), options_.daemon});
            if (row.Rows() == 0) {
                return;
            }
            next = ReadMessage(row, 0);
            main_.Exec(
                "UPDATE messages SET webhook_daemon = $1, webhook_lease_until = $2 WHERE id = $3",
                {options_.daemon, Num(now + options_.leaseMs), Num(next->id)});
        });
        if (next) {
            HoldWebhook(next->id, true);
        }
        return next;
    }

    // Only while this daemon still holds the claim: once its lease ran out the delivery is
    // another's, and counting this attempt too would dead-letter it early.
    void FinishWebhook(int64_t id, bool delivered, bool dead, const std::string& error,
                       int64_t nextAt, int64_t now) override {
        // Not renewed past this call, even when the store refuses the outcome: this daemon's
        // next look takes its claim again.
        HoldWebhook(id, false);
        Transaction([&] {
            const std::string state = delivered ? "delivered" : dead ? "dead" : "pending";
            CResult updated = main_.Exec(
                "UPDATE messages SET webhook_state = $1, webhook_attempts = webhook_attempts + "
                "1, webhook_next_at = $2, webhook_error = $3, updated_at = $4, "
                "webhook_lease_until = 0 WHERE id = $5 AND webhook_daemon = $6 AND "
                "webhook_state = 'pending'",
                {state, Num(nextAt), delivered ? std::string() : error, Num(now), Num(id),
                 options_.daemon});
            if (updated.Affected() > 0) {
                History(id, now, "webhook " + state, error);
            }
        });
    }

    Counts Count() override {
        std::lock_guard hold(lock_);
        Counts counts;
        CResult out = main_.Exec(
            "SELECT via, state, count(*) FROM messages WHERE direction = 'out' GROUP BY via, "
            "state");
        for (int i = 0; i < out.Rows(); ++i) {
            counts.out[{out.Text(i, 0), out.Text(i, 1)}] = out.Int(i, 2);
        }
        CResult in = main_.Exec(
            "SELECT modem, count(*) FROM messages WHERE direction = 'in' GROUP BY modem");
        for (int i = 0; i < in.Rows(); ++i) {
            counts.in[in.Text(i, 0)] = in.Int(i, 1);
        }
        CResult hooks = main_.Exec(
            "SELECT webhook_state, count(*) FROM messages WHERE direction = 'in' AND "
            "webhook_state != '' GROUP BY webhook_state");
        for (int i = 0; i < hooks.Rows(); ++i) {
            counts.webhooks[hooks.Text(i, 0)] = hooks.Int(i, 1);
        }
        CResult events =
            main_.Exec("SELECT count(*) FROM events WHERE daemon = $1", {options_.daemon});
        counts.events = events.Int(0, 0);
        return counts;
    }

    // This daemon's events, and those of a daemon that stopped renewing its claim on them,
    // which become this daemon's to publish (still under their daemon's name).
    std::vector<Tarvikd::Event> PendingEvents(int limit) override {
        std::vector<Tarvikd::Event> events;
        Transaction([&] {
            events.clear();
            const int64_t now = NowMs();
            CResult rows = main_.Exec(
                "SELECT id, daemon, modem, direction, payload, claimed_by FROM events WHERE "
                "claimed_by = $1 OR lease_until < $2 ORDER BY id LIMIT $3 FOR UPDATE SKIP LOCKED",
                {options_.daemon, Num(now), Num(limit)});
            std::vector<int64_t> taken;
            for (int i = 0; i < rows.Rows(); ++i) {
                events.push_back({rows.Int(i, 0), rows.Text(i, 1), rows.Text(i, 2), rows.Text(i, 3),
                                  rows.Text(i, 4)});
                if (rows.Text(i, 5) != options_.daemon) {
                    taken.push_back(rows.Int(i, 0));
                }
            }
            if (!taken.empty()) {
                main_.Exec(
                    "UPDATE events SET claimed_by = $1, lease_until = $2 WHERE "
                    "id = ANY($3::bigint[])",
                    {options_.daemon, Num(now + options_.leaseMs), IdArray(taken)});
            }
        });
        return events;
    }

    void EventsPublished(const std::vector<int64_t>& ids) override {
        if (ids.empty()) {
            return;
        }
        std::lock_guard hold(lock_);
        main_.Exec("DELETE FROM events WHERE id = ANY($1::bigint[])", {IdArray(ids)});
    }

    bool Reachable() override { return main_.Up(); }

    void HoldModems(const std::vector<std::string>& names) override {
        Transaction([&] {
            for (const std::string& name : names) {
                main_.Exec(
                    "INSERT INTO modems(name, daemon, held_at) VALUES($1, $2, $3) "
                    "ON CONFLICT(name) DO UPDATE SET daemon = excluded.daemon, "
                    "held_at = excluded.held_at",
                    {name, options_.daemon, Num(NowMs())});
            }
        });
    }

    bool HeldElsewhere(const std::string& name) override {
        std::lock_guard hold(lock_);
        return main_.Exec("SELECT 1 FROM modems WHERE name = $1", {name}).Rows() > 0;
    }

    void SetWake(std::function<void()> wake) override {
        std::lock_guard hold(wakeLock_);
        wake_ = std::move(wake);
    }

private:
    std::string Migrate() {
        main_.Exec("CREATE TABLE IF NOT EXISTS schema_version(version INTEGER NOT NULL)");
        CResult version = main_.Exec("SELECT coalesce(max(version), 0) FROM schema_version");
        const int64_t have = version.Int(0, 0);
        if (have > kSchemaVersion) {
            return "the store's schema is version " + Num(have) +
                   ", newer than this tarvikd knows (" + Num(kSchemaVersion) + ")";
        }
        for (int64_t next = have + 1; next <= kSchemaVersion; ++next) {
            Transaction([&] {
                main_.Exec(kMigrations[next - 1]);
                main_.Exec("INSERT INTO schema_version(version) VALUES($1)", {Num(next)});
            });
        }
        return {};
    }

    void Unlock() {
        try {
            main_.Exec(std::string("SELECT pg_advisory_unlock(") + kMigrationLock + ")");
        } catch (const StoreError&) {
            // A lost connection let go of the lock with it.
        }
    }

    // One transaction under the connection's lock, run again when it lost to another
    // daemon's; rolled back and thrown on when it fails.
    template <typename Body>
    void Transaction(Body&& body) {
        std::lock_guard hold(lock_);
        for (int attempt = 1;; ++attempt) {
            main_.Exec("BEGIN");
            try {
                body();
                main_.Exec("COMMIT");
                return;
            } catch (const Contention&) {
                RollBack(main_);
                if (attempt >= 5) {
                    throw;
                }
            } catch (...) {
                RollBack(main_);
                throw;
            }
        }
    }

    static void RollBack(CConnection& connection) {
        try {
            connection.Exec("ROLLBACK");
        } catch (const StoreError&) {
            // Gone with the connection.
        }
    }

    void Notify() { main_.Exec(std::string("NOTIFY ") + kChannel); }

    void History(int64_t id, int64_t now, const std::string& state, const std::string& detail) {
        HistoryOn(main_, id, now, state, detail);
    }
    static void HistoryOn(CConnection& connection, int64_t id, int64_t now,
                          const std::string& state, const std::string& detail) {
        connection.Exec("INSERT INTO history(message_id, at, state, detail) VALUES($1, $2, $3, $4)",
                        {Num(id), Num(now), state, detail});
    }

    // The change's event, when events are kept: the message as it now is.
    void Event(CConnection& connection, int64_t id, const std::string& detail, int64_t now) {
        if (!options_.events) {
            return;
        }
        CResult row = connection.Exec(
            std::string("SELECT ") + kMessageColumns + " FROM messages WHERE id = $1", {Num(id)});
        if (row.Rows() == 0) {
            return;
        }
        const Message message = ReadMessage(row, 0);
        connection.Exec(
            "INSERT INTO events(daemon, modem, direction, payload, created_at, claimed_by, "
            "lease_until) VALUES($1, $2, $3, $4, $5, $1, $6)",
            {options_.daemon, message.direction == "in" ? message.modem : message.via,
             message.direction, EventPayload(message, options_.daemon, detail, now), Num(now),
             Num(NowMs() + options_.leaseMs)});
    }

    void SetState(CConnection& connection, int64_t id, const std::string& state,
                  const std::string& detail, int64_t now) {
        connection.Exec(
            "UPDATE messages SET state = $1, error = $2, updated_at = $3, "
            "lease_until = 0 WHERE id = $4",
            {state, detail, Num(now), Num(id)});
        HistoryOn(connection, id, now, state, detail);
        Event(connection, id, detail, now);
    }

    // The claims `where` picks: handed to a modem -> unknown, only claimed -> queued.
    // Returns how many became unknown.
    int Release(CConnection& connection, const std::string& where,
                const std::vector<std::string>& params, const std::string& why, int64_t now) {
        CResult rows = connection.Exec(
            "SELECT id, submitted, daemon FROM messages WHERE direction = 'out' AND "
            "state = 'sending' AND " +
                where + " ORDER BY id FOR UPDATE SKIP LOCKED",
            params);
        int unknown = 0;
        bool requeued = false;
        for (int i = 0; i < rows.Rows(); ++i) {
            const int64_t id = rows.Int(i, 0);
            if (rows.Int(i, 1) != 0) {
                SetState(connection, id, "unknown", why, now);
                ++unknown;
            } else {
                SetState(connection, id, "queued", "claimed, never handed to a modem", now);
                requeued = true;
            }
        }
        if (requeued) {
            connection.Exec(std::string("NOTIFY ") + kChannel);
        }
        return unknown;
    }

    // The claims of daemons that stopped renewing them.
    int Sweep(CConnection& connection, int64_t now) {
        return Release(connection, "lease_until < $1", {Num(now)},
                       "its daemon stopped renewing its claim", now);
    }

    // The listening connection's life: wakes at a notification, renews the held claims
    // every third of a lease, and comes back after a loss.
    void Keep() {
        const int64_t every = std::max(options_.leaseMs / 3, 50);
        int64_t nextRound = 0;
        bool listening = true;
        while (!stop_) {
            try {
                if (!listening) {
                    side_.Exec(std::string("LISTEN ") + kChannel);
                    listening = true;
                    // Whatever was queued while it was away.
                    Wake();
                }
                const int64_t now = NowMs();
                if (now >= nextRound) {
                    nextRound = now + every;
                    Renew(now);
                }
                PGconn* conn = side_.Get();
                pollfd wait{PQsocket(conn), POLLIN, 0};
                poll(&wait, 1, 100);
                if (PQconsumeInput(conn) == 0) {
                    throw StoreError(OneLine(PQerrorMessage(conn)));
                }
                bool woken = false;
                while (PGnotify* notice = PQnotifies(conn)) {
                    PQfreemem(notice);
                    woken = true;
                }
                if (woken) {
                    Wake();
                }
            } catch (const std::exception& e) {
                if (listening) {
                    Log(Level::Warning, std::string("store listener: ") + e.what());
                }
                listening = false;
                side_.Close();
                for (int i = 0; i < 10 && !stop_; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                }
            }
        }
    }

    // On the listening connection: the claims held in this process, and every event this
    // daemon has still to publish.
    void Renew(int64_t now) {
        const std::string until = Num(now + options_.leaseMs);
        if (const std::string held = Held(held_); held != "{}") {
            side_.Exec(
                "UPDATE messages SET lease_until = $1 WHERE id = ANY($2::bigint[]) "
                "AND daemon = $3 AND state = 'sending'",
                {until, held, options_.daemon});
        }
        if (const std::string held = Held(heldHooks_); held != "{}") {
            side_.Exec(
                "UPDATE messages SET webhook_lease_until = $1 WHERE id = ANY($2::bigint[]) "
                "AND webhook_daemon = $3 AND webhook_state = 'pending'",
                {until, held, options_.daemon});
        }
        if (options_.events) {
            side_.Exec("UPDATE events SET lease_until = $1 WHERE claimed_by = $2",
                       {until, options_.daemon});
        }
    }

    // The claims a sender of this process holds: only those are renewed, so that a claim
    // whose commit this process never heard of runs out like a dead daemon's.
    void Hold(int64_t id, bool held) { HoldIn(held_, id, held); }
    void HoldWebhook(int64_t id, bool held) { HoldIn(heldHooks_, id, held); }
    void HoldIn(std::set<int64_t>& set, int64_t id, bool held) {
        std::lock_guard hold(heldLock_);
        if (held) {
            set.insert(id);
        } else {
            set.erase(id);
        }
    }
    std::string Held(const std::set<int64_t>& set) {
        std::lock_guard hold(heldLock_);
        return IdArray(std::vector<int64_t>(set.begin(), set.end()));
    }

    void Wake() {
        std::lock_guard hold(wakeLock_);
        if (wake_) {
            wake_();
        }
    }

    StoreOptions options_;
    CConnection main_;
    CConnection side_;
    std::recursive_mutex lock_;
    std::mutex wakeLock_;
    std::mutex heldLock_;
    std::set<int64_t> held_;
    std::set<int64_t> heldHooks_;
    std::function<void()> wake_;
    std::atomic<bool> stop_ = false;
    std::thread keeper_;
};

}  // namespace

std::unique_ptr<IStore> OpenPgStore(const std::string& url, std::string& error,
                                    const StoreOptions& options) {
    auto store = std::make_unique<CPgStore>(url, options);
    if (const std::string why = store->Prepare(); !why.empty()) {
        error = "the store " + StoreShown(url) + ": " + why;
        return nullptr;
    }
    return store;
}

}  // namespace Tarvikd
