// What both drivers share: reading rows, rolling back, and the schema's migrations.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "Sql.h"

namespace Tarvikd {

int64_t CRows::Int(int row, int column) const {
    return std::strtoll(Text(row, column).c_str(), nullptr, 10);
}

void RollBack(ISqlDriver& db) {
    try {
        db.Script("ROLLBACK");
    } catch (const StoreFault&) {
        // Gone with the connection.
    }
}

namespace {

std::string MigrateLocked(ISqlDriver& db) {
    db.Exec("CREATE TABLE IF NOT EXISTS schema_version(version INTEGER NOT NULL)");
    const int64_t have =
        std::max(db.Exec("SELECT coalesce(max(version), 0) FROM schema_version").Int(0, 0),
                 db.LegacyVersion());
    int newest = 0;
    for (const Migration& step : Migrations()) {
        newest = std::max(newest, step.version);
    }
    if (have > newest) {
        return "the store's schema is version " + std::to_string(have) +
               ", newer than this tarvikd knows (" + std::to_string(newest) + ")";
    }
    for (const Migration& step : Migrations()) {
        const bool mine = *step.dialect == '\0' || std::strcmp(step.dialect, db.Dialect()) == 0;
        if (step.version <= have || !mine) {
            continue;
        }
        InTransaction(db, [&] {
            db.Script(step.sql);
            db.Exec("INSERT INTO schema_version(version) VALUES(?)", {step.version});
        });
    }
    return {};
}

}  // namespace

std::string Migrate(ISqlDriver& db) {
    try {
        db.LockSchema(true);
        std::string why;
        try {
            why = MigrateLocked(db);
        } catch (...) {
            db.LockSchema(false);
            throw;
        }
        db.LockSchema(false);
        return why;
    } catch (const StoreFault& e) {
        return e.what();
    }
}

}  // namespace Tarvikd
