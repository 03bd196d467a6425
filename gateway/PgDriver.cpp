// The PostgreSQL driver: one connection, every statement with its parameters as text. A call
// after the server went away resets the connection; while it cannot, calls throw
// StoreUnavailable.
#include <libpq-fe.h>
#include <poll.h>

#include <atomic>
#include <sstream>

#include "Sql.h"

namespace Tarvikd {

namespace {

// Taken while migrating, so that daemons starting together apply each step once.
constexpr const char* kSchemaLock = "7421902311";

// libpq's messages run over lines: one line for the log.
std::string OneLine(const char* text) {
    std::istringstream words(text != nullptr ? text : "");
    std::string out;
    for (std::string word; words >> word;) {
        out += (out.empty() ? "" : " ") + word;
    }
    return out;
}

// `?` as $1, $2, ... outside quoted text.
std::string Numbered(const std::string& sql) {
    std::string out;
    int next = 0;
    bool quoted = false;
    for (const char c : sql) {
        quoted = c == '\'' ? !quoted : quoted;
        out += c == '?' && !quoted ? "$" + std::to_string(++next) : std::string(1, c);
    }
    return out;
}

class CPgDriver final : public ISqlDriver {
public:
    explicit CPgDriver(std::string url) : url_(std::move(url)) {}
    ~CPgDriver() override { Close(); }

    CRows Exec(const std::string& sql, const SqlParams& params) override {
        PGconn* conn = Get();
        std::vector<std::string> texts;
        std::vector<const char*> values;
        texts.reserve(params.size());
        for (const SqlValue& param : params) {
            texts.push_back(param.isInt ? std::to_string(param.number) : param.text);
            values.push_back(texts.back().c_str());
        }
        return Check(conn,
                     PQexecParams(conn, Numbered(sql).c_str(), static_cast<int>(values.size()),
                                  nullptr, values.data(), nullptr, nullptr, 0));
    }
    void Script(const std::string& sql) override {
        PGconn* conn = Get();
        Check(conn, PQexec(conn, sql.c_str()));
    }
    void Begin() override { Script("BEGIN"); }
    const char* Dialect() const override { return "postgresql"; }
    const char* LockRows() const override { return " FOR UPDATE SKIP LOCKED"; }
    void LockSchema(bool lock) override {
        try {
            Script(std::string(lock ? "SELECT pg_advisory_lock(" : "SELECT pg_advisory_unlock(") +
                   kSchemaLock + ")");
        } catch (const StoreUnavailable&) {
            if (lock) {
                throw;
            }
            // A lost connection let go of the lock with it.
        }
    }
    bool Up() const override { return up_; }
    bool WaitNotified(int ms) override {
        PGconn* conn = Get();
        pollfd wait{PQsocket(conn), POLLIN, 0};
        poll(&wait, 1, ms);
        if (PQconsumeInput(conn) == 0) {
            throw StoreUnavailable(OneLine(PQerrorMessage(conn)));
        }
        bool notified = false;
        while (PGnotify* notice = PQnotifies(conn)) {
            PQfreemem(notice);
            notified = true;
        }
        return notified;
    }
    void Close() override {
        if (conn_ != nullptr) {
            PQfinish(conn_);
            conn_ = nullptr;
        }
    }

private:
    // Connected, resetting a connection that broke.
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
            throw StoreUnavailable(
                std::string("the PostgreSQL store is unreachable: ") +
                (conn_ != nullptr ? OneLine(PQerrorMessage(conn_)) : "out of memory"));
        }
        PQsetNoticeProcessor(
            conn_, [](void*, const char*) {}, nullptr);
        return conn_;
    }

    CRows Check(PGconn* conn, PGresult* result) {
        const ExecStatusType status = PQresultStatus(result);
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
            up_ = true;
            CRows rows;
            for (int row = 0; row < PQntuples(result); ++row) {
                auto& cells = rows.cells.emplace_back();
                for (int column = 0; column < PQnfields(result); ++column) {
                    cells.emplace_back(PQgetvalue(result, row, column),
                                       static_cast<std::size_t>(PQgetlength(result, row, column)));
                }
            }
            rows.affected = std::atoi(PQcmdTuples(result));
            PQclear(result);
            return rows;
        }
        const char* code =
            result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
        const std::string state = code != nullptr ? code : "";
        const std::string why = OneLine(PQerrorMessage(conn));
        PQclear(result);
        if (PQstatus(conn) != CONNECTION_OK) {
            up_ = false;
            throw StoreUnavailable("the PostgreSQL store is unreachable: " + why);
        }
        // A key inserted meanwhile, a serialization failure or a deadlock.
        if (state == "23505" || state == "40001" || state == "40P01") {
            throw StoreContention(why);
        }
        throw StoreFault(why);
    }

    std::string url_;
    PGconn* conn_ = nullptr;
    std::atomic<bool> up_ = true;
};

}  // namespace

std::unique_ptr<ISqlDriver> OpenPgDriver(const std::string& url) {
    return std::make_unique<CPgDriver>(url);
}

}  // namespace Tarvikd
