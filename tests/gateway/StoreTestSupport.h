// What the store cases share: the PostgreSQL server the environment names, and a fresh
// database on it for each case.
#pragma once

#include <string>

#include "Store.h"

namespace Tarvikd {

// TARVIKD_TEST_PG, or empty.
std::string TestPgUrl();
// The URL of a new, empty database on that server; empty when it cannot be made.
std::string FreshPgDatabase();
// The options a case opens a store with: its daemon's name, events on or off, the lease.
StoreOptions TestOptions(const std::string& daemon, bool events, int leaseMs = 30000);
// Runs `sql` on the database at `url`; false (and a test failure) when it fails.
bool PgExec(const std::string& url, const std::string& sql);

}  // namespace Tarvikd
