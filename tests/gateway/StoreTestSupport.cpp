#include "StoreTestSupport.h"

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace Tarvikd {

std::string TestPgUrl() {
    const char* url = std::getenv("TARVIKD_TEST_PG");
    return url != nullptr ? url : "";
}

bool PgExec(const std::string& url, const std::string& sql) {
    PGconn* conn = PQconnectdb(url.c_str());
    bool ok = PQstatus(conn) == CONNECTION_OK;
    if (ok) {
        PGresult* result = PQexec(conn, sql.c_str());
        ok =
            PQresultStatus(result) == PGRES_COMMAND_OK || PQresultStatus(result) == PGRES_TUPLES_OK;
        PQclear(result);
    }
    EXPECT_TRUE(ok) << sql << ": " << PQerrorMessage(conn);
    PQfinish(conn);
    return ok;
}

std::string FreshPgDatabase() {
    static std::atomic<int> made = 0;
    const std::string url = TestPgUrl();
    const std::size_t slash = url.rfind('/');
    if (url.empty() || slash == std::string::npos) {
        return {};
    }
    const std::string name =
        "tarvik_" + std::to_string(getpid()) + "_" + std::to_string(made.fetch_add(1));
    if (!PgExec(url, "CREATE DATABASE " + name)) {
        return {};
    }
    return url.substr(0, slash + 1) + name;
}

StoreOptions TestOptions(const std::string& daemon, bool events, int leaseMs) {
    StoreOptions options;
    options.daemon = daemon;
    options.events = events;
    options.leaseMs = leaseMs;
    return options;
}

}  // namespace Tarvikd
