// The store's SQL layer: statements written once with `?` placeholders, run through one of
// two thin drivers (SQLite, PostgreSQL), with rows read by column, transactions, and the
// schema's numbered migrations applied the same way on both.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Store.h"

namespace Tarvikd {

// A transaction lost to another (a key inserted meanwhile, a deadlock): worth running again.
struct StoreContention : StoreFault {
    using StoreFault::StoreFault;
};

// A statement's parameter: an integer or a text.
struct SqlValue {
    SqlValue(int64_t value) : isInt(true), number(value) {}  // NOLINT: implicit by design
    SqlValue(int value) : isInt(true), number(value) {}      // NOLINT
    SqlValue(std::string value) : text(std::move(value)) {}  // NOLINT
    SqlValue(const char* value) : text(value) {}             // NOLINT
    bool isInt = false;
    int64_t number = 0;
    std::string text;
};
using SqlParams = std::vector<SqlValue>;

// A statement's result, read whole: NULL reads as empty.
struct CRows {
    int Size() const { return static_cast<int>(cells.size()); }
    bool Empty() const { return cells.empty(); }
    const std::string& Text(int row, int column) const {
        return cells[static_cast<std::size_t>(row)][static_cast<std::size_t>(column)];
    }
    int64_t Int(int row, int column) const;
    int Affected() const { return affected; }

    std::vector<std::vector<std::string>> cells;
    int affected = 0;  // rows a change touched
};

class ISqlDriver {
public:
    virtual ~ISqlDriver() = default;
    // One statement; throws StoreUnavailable, StoreContention or StoreFault.
    virtual CRows Exec(const std::string& sql, const SqlParams& params = {}) = 0;
    // Several statements without parameters (a migration).
    virtual void Script(const std::string& sql) = 0;
    virtual void Begin() = 0;
    // "sqlite" or "postgresql": which of a migration's files apply.
    virtual const char* Dialect() const = 0;
    // What a claiming SELECT ends with so that concurrent claimers skip each other's rows.
    virtual const char* LockRows() const = 0;
    // The schema version a store recorded before it had the schema_version table.
    virtual int64_t LegacyVersion() { return 0; }
    // Held while migrating, so that daemons starting together apply each step once.
    virtual void LockSchema(bool /*lock*/) {}
    // How the last statement went: false once the server is gone, until it is back.
    virtual bool Up() const { return true; }
    // Waits up to `ms` for a notification on this connection; true when one came.
    virtual bool WaitNotified(int /*ms*/) { return false; }
    // Lets go of the connection; the next call makes a new one.
    virtual void Close() {}
};

std::unique_ptr<ISqlDriver> OpenSqliteDriver(const std::string& path, std::string& error);
std::unique_ptr<ISqlDriver> OpenPgDriver(const std::string& url);

void RollBack(ISqlDriver& db);

// Runs `body` between BEGIN and COMMIT, rolled back when it throws; again (a few times) when
// it lost to another transaction.
template <typename Body>
void InTransaction(ISqlDriver& db, Body&& body) {
    for (int attempt = 1;; ++attempt) {
        db.Begin();
        try {
            body();
            db.Exec("COMMIT");
            return;
        } catch (const StoreContention&) {
            RollBack(db);
            if (attempt >= 5) {
                throw;
            }
        } catch (...) {
            RollBack(db);
            throw;
        }
    }
}
// One step of the schema, from gateway/migrations: for every driver (empty dialect) or one.
struct Migration {
    int version;
    const char* dialect;
    const char* sql;
};
// Every step, oldest first (embedded at build time).
const std::vector<Migration>& Migrations();

// Brings the schema to the newest version, each step in the transaction that records it;
// empty, or why not.
std::string Migrate(ISqlDriver& db);

}  // namespace Tarvikd
