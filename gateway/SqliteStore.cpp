// The SQLite store: one file in WAL mode, every change in one transaction, committed to the
// disk (synchronous=FULL) before the call returns, so that what a caller was told is kept.
#include <sqlite3.h>

#include <mutex>
#include <stdexcept>
#include <utility>

#include "Store.h"

namespace Tarvikd {

namespace {

constexpr int kSchemaVersion = 2;

// The schema's versions in order; a store is brought from its version to the newest by
// running the steps after it, each in the transaction that records its number.
const char* const kMigrations[] = {
    // 1
    R"sql(
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
)sql",
    // 2: the outbox of events for the broker
    R"sql(
CREATE TABLE events(
  id INTEGER PRIMARY KEY,
  daemon TEXT NOT NULL,
  modem TEXT NOT NULL,
  direction TEXT NOT NULL,
  payload TEXT NOT NULL,
  created_at INTEGER NOT NULL);
CREATE INDEX events_daemon ON events(daemon, id);
)sql",
};

struct StoreError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class CStatement {
public:
    CStatement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &statement_, nullptr) != SQLITE_OK) {
            throw StoreError(sqlite3_errmsg(db));
        }
    }
    ~CStatement() { sqlite3_finalize(statement_); }
    CStatement(const CStatement&) = delete;
    CStatement& operator=(const CStatement&) = delete;

    CStatement& Bind(int at, int64_t value) {
        sqlite3_bind_int64(statement_, at, value);
        return *this;
    }
    CStatement& Bind(int at, const std::string& value) {
        sqlite3_bind_text(statement_, at, value.data(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    // True while a row comes.
    bool Step() {
        const int result = sqlite3_step(statement_);
        if (result == SQLITE_ROW) {
            return true;
        }
        if (result != SQLITE_DONE) {
            throw StoreError(sqlite3_errmsg(db_));
        }
        return false;
    }
    void Reset() { sqlite3_reset(statement_); }
    int64_t Int(int column) const { return sqlite3_column_int64(statement_, column); }
    std::string Text(int column) const {
        const auto* text = sqlite3_column_text(statement_, column);
        return text == nullptr
                   ? std::string()
                   : std::string(
                         reinterpret_cast<const char*>(text),
                         static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
    }

private:
    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

constexpr const char* kMessageColumns =
    "id, direction, state, modem, via, number, text, created_at, updated_at, attempts, "
    "next_at, parts, parts_accepted, error, coalesce(in_key, ''), sent_time, webhook_state, "
    "webhook_attempts, webhook_error";

Message ReadMessage(const CStatement& row) {
    Message m;
    m.id = row.Int(0);
    m.direction = row.Text(1);
    m.state = row.Text(2);
    m.modem = row.Text(3);
    m.via = row.Text(4);
    m.number = row.Text(5);
    m.text = row.Text(6);
    m.createdAt = row.Int(7);
    m.updatedAt = row.Int(8);
    m.attempts = static_cast<int>(row.Int(9));
    m.nextAt = row.Int(10);
    m.parts = static_cast<int>(row.Int(11));
    m.partsAccepted = static_cast<int>(row.Int(12));
    m.error = row.Text(13);
    m.key = row.Text(14);
    m.sentTime = row.Text(15);
    m.webhookState = row.Text(16);
    m.webhookAttempts = static_cast<int>(row.Int(17));
    m.webhookError = row.Text(18);
    return m;
}

class CSqliteStore final : public IStore {
public:
    CSqliteStore(sqlite3* db, StoreOptions options) : db_(db), options_(std::move(options)) {}
    ~CSqliteStore() override { sqlite3_close(db_); }
    CSqliteStore(const CSqliteStore&) = delete;
    CSqliteStore& operator=(const CSqliteStore&) = delete;

    // Brings the schema to the newest version; empty, or why not.
    std::string Prepare() {
        try {
            Exec("PRAGMA journal_mode=WAL");
            Exec("PRAGMA synchronous=FULL");
            Exec("PRAGMA foreign_keys=ON");
            sqlite3_busy_timeout(db_, 10000);
            CStatement version(db_, "PRAGMA user_version");
            version.Step();
            const int64_t have = version.Int(0);
            if (have > kSchemaVersion) {
                return "the store's schema is version " + std::to_string(have) +
                       ", newer than this tarvikd knows (" + std::to_string(kSchemaVersion) + ")";
            }
            for (int64_t next = have + 1; next <= kSchemaVersion; ++next) {
                Transaction([&] {
                    Exec(kMigrations[next - 1]);
                    Exec(("PRAGMA user_version=" + std::to_string(next)).c_str());
                });
            }
        } catch (const StoreError& e) {
            return e.what();
        }
        return {};
    }

    EnqueueResult Enqueue(const EnqueueRequest& request, int64_t now) override {
        EnqueueResult result;
        Transaction([&] {
            if (!request.idempotencyKey.empty()) {
                CStatement seen(db_,
                                "SELECT message_id, fingerprint FROM idempotency "
                                "WHERE api_key = ? AND key = ?");
                seen.Bind(1, request.apiKey).Bind(2, request.idempotencyKey);
                if (seen.Step()) {
                    result.id = seen.Int(0);
                    result.replayed = seen.Text(1) == request.fingerprint;
                    result.conflict = !result.replayed;
                    return;
                }
            }
            CStatement insert(
                db_,
                "INSERT INTO messages(direction, state, modem, number, text, "
                "created_at, updated_at, next_at) VALUES('out', 'queued', ?, ?, ?, ?, ?, ?)");
            insert.Bind(1, request.modem).Bind(2, request.number).Bind(3, request.text);
            insert.Bind(4, now).Bind(5, now).Bind(6, now).Step();
            result.id = sqlite3_last_insert_rowid(db_);
            Changed(result.id, now, "queued",
                    request.modem.empty() ? "" : "for modem " + request.modem);
            if (!request.idempotencyKey.empty()) {
                CStatement key(db_,
                               "INSERT INTO idempotency(api_key, key, fingerprint, message_id, "
                               "created_at) VALUES(?, ?, ?, ?, ?)");
                key.Bind(1, request.apiKey).Bind(2, request.idempotencyKey);
                key.Bind(3, request.fingerprint).Bind(4, result.id).Bind(5, now).Step();
            }
        });
        return result;
    }

    std::optional<Message> Get(int64_t id) override {
        std::lock_guard hold(lock_);
        std::optional<Message> message = Row(id);
        if (!message) {
            return std::nullopt;
        }
        CStatement history(db_,
                           "SELECT at, state, detail FROM history WHERE message_id = ? "
                           "ORDER BY id");
        history.Bind(1, id);
        while (history.Step()) {
            message->history.push_back({history.Int(0), history.Text(1), history.Text(2)});
        }
        return message;
    }

    std::vector<Message> List(const std::string& direction, int64_t after, int limit) override {
        std::lock_guard hold(lock_);
        CStatement rows(db_, (std::string("SELECT ") + kMessageColumns +
                              " FROM messages WHERE direction = ? AND id > ? ORDER BY id LIMIT ?")
                                 .c_str());
        rows.Bind(1, direction).Bind(2, after).Bind(3, int64_t{limit});
        std::vector<Message> messages;
        while (rows.Step()) {
            messages.push_back(ReadMessage(rows));
        }
        return messages;
    }

    CancelResult Cancel(int64_t id, int64_t now) override {
        CancelResult result = CancelResult::NotFound;
        Transaction([&] {
            CStatement row(db_, "SELECT state FROM messages WHERE id = ? AND direction = 'out'");
            row.Bind(1, id);
            if (!row.Step()) {
                return;
            }
            if (row.Text(0) != "queued") {
                result = CancelResult::NotCancellable;
                return;
            }
            SetState(id, "cancelled", "", now);
            result = CancelResult::Cancelled;
        });
        return result;
    }

    int RecoverInterrupted(int64_t now) override {
        int unknown = 0;
        Transaction([&] {
            std::vector<std::pair<int64_t, bool>> caught;
            {
                CStatement rows(db_,
                                "SELECT id, submitted FROM messages "
                                "WHERE direction = 'out' AND state = 'sending'");
                while (rows.Step()) {
                    caught.emplace_back(rows.Int(0), rows.Int(1) != 0);
                }
            }
            for (const auto& [id, submitted] : caught) {
                if (submitted) {
                    SetState(id, "unknown", "the daemon stopped while a modem had it", now);
                    ++unknown;
                } else {
                    SetState(id, "queued", "claimed, never handed to a modem", now);
                }
            }
        });
        return unknown;
    }

    std::optional<Claimed> Claim(const std::string& modem, const std::vector<std::string>& alsoFor,
                                 int64_t now) override {
        std::optional<Claimed> claimed;
        Transaction([&] {
            std::string sql =
                "SELECT id, number, text, attempts FROM messages WHERE direction = 'out' AND "
                "state = 'queued' AND next_at <= ? AND (modem = '' OR modem = ?";
            for (std::size_t i = 0; i < alsoFor.size(); ++i) {
                sql += " OR modem = ?";
            }
            sql += ") ORDER BY next_at, id LIMIT 1";
            CStatement row(db_, sql.c_str());
            row.Bind(1, now).Bind(2, modem);
            for (std::size_t i = 0; i < alsoFor.size(); ++i) {
                row.Bind(static_cast<int>(i) + 3, alsoFor[i]);
            }
            if (!row.Step()) {
                return;
            }
            claimed =
                Claimed{row.Int(0), row.Text(1), row.Text(2), static_cast<int>(row.Int(3)) + 1};
            CStatement update(db_,
                              "UPDATE messages SET state = 'sending', via = ?, attempts = ?, "
                              "submitted = 0, parts = 0, parts_accepted = 0, updated_at = ? "
                              "WHERE id = ?");
            update.Bind(1, modem).Bind(2, int64_t{claimed->attempts}).Bind(3, now);
            update.Bind(4, claimed->id).Step();
            Changed(claimed->id, now, "sending",
                    "attempt " + std::to_string(claimed->attempts) + " on modem " + modem);
        });
        return claimed;
    }

    void MarkSubmitted(int64_t id, int64_t now) override {
        Transaction([&] {
            CStatement update(db_,
                              "UPDATE messages SET submitted = 1, updated_at = ? WHERE id = ?");
            update.Bind(1, now).Bind(2, id).Step();
        });
    }

    void RecordPart(int64_t id, int part, bool accepted, const std::string& error,
                    int64_t now) override {
        Transaction([&] {
            CStatement update(db_,
                              "UPDATE messages SET parts = max(parts, ?), parts_accepted = "
                              "parts_accepted + ?, updated_at = ? WHERE id = ?");
            update.Bind(1, int64_t{part}).Bind(2, int64_t{accepted ? 1 : 0}).Bind(3, now);
            update.Bind(4, id).Step();
            History(id, now, "part",
                    std::to_string(part) + (accepted ? " accepted" : " refused: " + error));
        });
    }

    void Finish(int64_t id, Outcome outcome, const std::string& detail, int parts, int accepted,
                int64_t nextAt, int64_t now) override {
        Transaction([&] {
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
            CStatement update(
                db_,
                "UPDATE messages SET state = ?, error = ?, next_at = ?, "
                "attempts = attempts - ?, parts = max(parts, ?), "
                "parts_accepted = max(parts_accepted, ?), updated_at = ? WHERE id = ?");
            update.Bind(1, std::string(state))
                .Bind(2, outcome == Outcome::Sent ? std::string() : detail)
                .Bind(3, nextAt)
                .Bind(4, int64_t{outcome == Outcome::Released ? 1 : 0})
                .Bind(5, int64_t{parts})
                .Bind(6, int64_t{accepted})
                .Bind(7, now)
                .Bind(8, id)
                .Step();
            Changed(id, now, state, detail);
        });
    }

    bool StoreReceived(const std::string& modem, const std::string& key, const std::string& number,
                       const std::string& sentTime, const std::string& text, bool webhook,
                       int64_t now) override {
        bool inserted = false;
        Transaction([&] {
            CStatement insert(db_,
                              "INSERT OR IGNORE INTO messages(direction, state, modem, number, "
                              "text, created_at, updated_at, in_key, sent_time, webhook_state) "
                              "VALUES('in', 'received', ?, ?, ?, ?, ?, ?, ?, ?)");
            insert.Bind(1, modem).Bind(2, number).Bind(3, text).Bind(4, now).Bind(5, now);
            insert.Bind(6, key).Bind(7, sentTime).Bind(8, std::string(webhook ? "pending" : ""));
            insert.Step();
            inserted = sqlite3_changes(db_) > 0;
            if (inserted) {
                Changed(sqlite3_last_insert_rowid(db_), now, "received", "on modem " + modem);
            }
        });
        return inserted;
    }

    std::optional<Message> NextWebhook(int64_t now) override {
        std::lock_guard hold(lock_);
        CStatement row(db_, (std::string("SELECT ") + kMessageColumns +
                             " FROM messages WHERE direction = 'in' AND webhook_state = "
                             "'pending' AND webhook_next_at <= ? ORDER BY webhook_next_at, id "
                             "LIMIT 1")
                                .c_str());
        row.Bind(1, now);
        if (!row.Step()) {
            return std::nullopt;
        }
        return ReadMessage(row);
    }

    void FinishWebhook(int64_t id, bool delivered, bool dead, const std::string& error,
                       int64_t nextAt, int64_t now) override {
        Transaction([&] {
            const std::string state = delivered ? "delivered" : dead ? "dead" : "pending";
            CStatement update(db_,
                              "UPDATE messages SET webhook_state = ?, webhook_attempts = "
                              "webhook_attempts + 1, webhook_next_at = ?, webhook_error = ?, "
                              "updated_at = ? WHERE id = ?");
            update.Bind(1, state).Bind(2, nextAt).Bind(3, delivered ? std::string() : error);
            update.Bind(4, now).Bind(5, id).Step();
            History(id, now, "webhook " + state, error);
        });
    }

    Counts Count() override {
        std::lock_guard hold(lock_);
        Counts counts;
        CStatement out(db_,
                       "SELECT via, state, count(*) FROM messages WHERE direction = 'out' "
                       "GROUP BY via, state");
        while (out.Step()) {
            counts.out[{out.Text(0), out.Text(1)}] = out.Int(2);
        }
        CStatement in(db_,
                      "SELECT modem, count(*) FROM messages WHERE direction = 'in' GROUP BY modem");
        while (in.Step()) {
            counts.in[in.Text(0)] = in.Int(1);
        }
        CStatement hooks(db_,
                         "SELECT webhook_state, count(*) FROM messages WHERE direction = 'in' "
                         "AND webhook_state != '' GROUP BY webhook_state");
        while (hooks.Step()) {
            counts.webhooks[hooks.Text(0)] = hooks.Int(1);
        }
        CStatement events(db_, "SELECT count(*) FROM events WHERE daemon = ?");
        events.Bind(1, options_.daemon).Step();
        counts.events = events.Int(0);
        return counts;
    }

    std::vector<Event> PendingEvents(int limit) override {
        std::lock_guard hold(lock_);
        CStatement rows(db_,
                        "SELECT id, daemon, modem, direction, payload FROM events "
                        "WHERE daemon = ? ORDER BY id LIMIT ?");
        rows.Bind(1, options_.daemon).Bind(2, int64_t{limit});
        std::vector<Event> events;
        while (rows.Step()) {
            events.push_back({rows.Int(0), rows.Text(1), rows.Text(2), rows.Text(3), rows.Text(4)});
        }
        return events;
    }

    void EventsPublished(const std::vector<int64_t>& ids) override {
        if (ids.empty()) {
            return;
        }
        Transaction([&] {
            CStatement remove(db_, "DELETE FROM events WHERE id = ?");
            for (const int64_t id : ids) {
                remove.Bind(1, id).Step();
                remove.Reset();
            }
        });
    }

private:
    void Exec(const char* sql) {
        char* message = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) != SQLITE_OK) {
            const std::string why = message != nullptr ? message : sqlite3_errmsg(db_);
            sqlite3_free(message);
            throw StoreError(why);
        }
    }

    // One transaction under the connection's lock; rolled back and thrown on when it fails.
    template <typename Body>
    void Transaction(Body&& body) {
        std::lock_guard hold(lock_);
        Exec("BEGIN IMMEDIATE");
        try {
            body();
            Exec("COMMIT");
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    void History(int64_t id, int64_t now, const std::string& state, const std::string& detail) {
        CStatement insert(db_,
                          "INSERT INTO history(message_id, at, state, detail) VALUES(?, ?, ?, ?)");
        insert.Bind(1, id).Bind(2, now).Bind(3, state).Bind(4, detail).Step();
    }

    void SetState(int64_t id, const std::string& state, const std::string& detail, int64_t now) {
        CStatement update(db_,
                          "UPDATE messages SET state = ?, error = ?, updated_at = ? WHERE id = ?");
        update.Bind(1, state).Bind(2, detail).Bind(3, now).Bind(4, id).Step();
        Changed(id, now, state, detail);
    }

    // The message without its history.
    std::optional<Message> Row(int64_t id) {
        CStatement row(
            db_,
            (std::string("SELECT ") + kMessageColumns + " FROM messages WHERE id = ?").c_str());
        row.Bind(1, id);
        if (!row.Step()) {
            return std::nullopt;
        }
        return ReadMessage(row);
    }

    // A change of state: its history entry and, with events on, its event, both in the
    // caller's transaction so that neither is kept without the other.
    void Changed(int64_t id, int64_t now, const std::string& state, const std::string& detail) {
        History(id, now, state, detail);
        if (!options_.events) {
            return;
        }
        const std::optional<Message> message = Row(id);
        if (!message) {
            throw StoreError("message " + std::to_string(id) + " vanished in its change");
        }
        CStatement insert(db_,
                          "INSERT INTO events(daemon, modem, direction, payload, created_at) "
                          "VALUES(?, ?, ?, ?, ?)");
        insert.Bind(1, options_.daemon)
            .Bind(2, message->direction == "in" ? message->modem : message->via)
            .Bind(3, message->direction)
            .Bind(4, EventPayload(*message, options_.daemon, detail, now))
            .Bind(5, now)
            .Step();
    }

    sqlite3* db_;
    const StoreOptions options_;
    std::recursive_mutex lock_;
};

}  // namespace

std::unique_ptr<IStore> OpenSqliteStore(const std::string& path, std::string& error,
                                        const StoreOptions& options) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        error = "cannot open the store " + path + ": " +
                (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return nullptr;
    }
    auto store = std::make_unique<CSqliteStore>(db, options);
    if (const std::string why = store->Prepare(); !why.empty()) {
        error = "the store " + path + ": " + why;
        return nullptr;
    }
    return store;
}

}  // namespace Tarvikd
