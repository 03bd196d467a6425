// The SQLite driver: one file in WAL mode, every change committed to the disk
// (synchronous=FULL) before the call returns, so that what a caller was told is kept.
#include <sqlite3.h>

#include "Sql.h"

namespace Tarvikd {

namespace {

// The file cannot be had for now (locked past the busy timeout, a full disk, an I/O error)
// rather than the statement refused.
[[noreturn]] void Throw(int code, const std::string& why) {
    const int primary = code & 0xFF;
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED || primary == SQLITE_IOERR ||
        primary == SQLITE_FULL || primary == SQLITE_CANTOPEN) {
        throw StoreUnavailable(why);
    }
    throw StoreFault(why);
}

class CSqliteDriver final : public ISqlDriver {
public:
    explicit CSqliteDriver(sqlite3* db) : db_(db) {}
    ~CSqliteDriver() override { sqlite3_close(db_); }
    CSqliteDriver(const CSqliteDriver&) = delete;
    CSqliteDriver& operator=(const CSqliteDriver&) = delete;

    CRows Exec(const std::string& sql, const SqlParams& params) override {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            Throw(sqlite3_errcode(db_), sqlite3_errmsg(db_));
        }
        for (std::size_t i = 0; i < params.size(); ++i) {
            const int at = static_cast<int>(i) + 1;
            if (params[i].isInt) {
                sqlite3_bind_int64(statement, at, params[i].number);
            } else {
                sqlite3_bind_text(statement, at, params[i].text.data(),
                                  static_cast<int>(params[i].text.size()), SQLITE_TRANSIENT);
            }
        }
        CRows rows;
        int result = SQLITE_ROW;
        while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
            auto& row = rows.cells.emplace_back();
            for (int column = 0; column < sqlite3_column_count(statement); ++column) {
                const auto* text = sqlite3_column_text(statement, column);
                row.emplace_back(text == nullptr
                                     ? std::string()
                                     : std::string(reinterpret_cast<const char*>(text),
                                                   static_cast<std::size_t>(
                                                       sqlite3_column_bytes(statement, column))));
            }
        }
        if (result != SQLITE_DONE) {
            const std::string why = sqlite3_errmsg(db_);
            sqlite3_finalize(statement);
            Throw(result, why);
        }
        // A SELECT leaves the count of the change before it.
        rows.affected = sqlite3_stmt_readonly(statement) != 0 ? 0 : sqlite3_changes(db_);
        sqlite3_finalize(statement);
        return rows;
    }

    void Script(const std::string& sql) override {
        char* message = nullptr;
        if (const int code = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
            code != SQLITE_OK) {
            const std::string why = message != nullptr ? message : sqlite3_errmsg(db_);
            sqlite3_free(message);
            Throw(code, why);
        }
    }

    // At once a writer: two transactions never find each other's reads stale.
    void Begin() override { Script("BEGIN IMMEDIATE"); }
    const char* Dialect() const override { return "sqlite"; }
    const char* LockRows() const override { return ""; }
    int64_t LegacyVersion() override { return Exec("PRAGMA user_version", {}).Int(0, 0); }

private:
    sqlite3* db_;
};

}  // namespace

std::unique_ptr<ISqlDriver> OpenSqliteDriver(const std::string& path, std::string& error) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        error = "cannot open the store " + path + ": " +
                (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return nullptr;
    }
    auto driver = std::make_unique<CSqliteDriver>(db);
    try {
        driver->Script("PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON");
    } catch (const StoreFault& e) {
        error = "the store " + path + ": " + e.what();
        return nullptr;
    }
    sqlite3_busy_timeout(db, 10000);
    return driver;
}

}  // namespace Tarvikd
