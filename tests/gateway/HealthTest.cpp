// When a modem counts as out of service, as the webhook's modem events and /readyz see it.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "Fleet.h"
#include "Publishers.h"

namespace Tarvikd {
namespace {

ModemStatus Serving() {
    ModemStatus status;
    status.name = "north";
    status.state = "ready";
    status.health.registration = "home";
    status.health.storageUsed = 10;
    status.health.storageTotal = 100;
    return status;
}

TEST(HealthTest, DownForRegistrationStorageAndRotationWithTheReason) {
    EXPECT_EQ(DownReason(Serving()), "");
    ModemStatus status = Serving();
    for (const char* lost : {"searching", "denied", "unknown", "idle"}) {
        status.health.registration = lost;
        EXPECT_FALSE(Registered(status));
        EXPECT_EQ(DownReason(status), std::string("registration ") + lost);
    }
    status.health.registration = "roaming";
    EXPECT_EQ(DownReason(status), "");
    // A modem without the query is not refused.
    status.health.registration.reset();
    EXPECT_TRUE(Registered(status));
    EXPECT_EQ(DownReason(status), "");

    status.health.storageUsed = 89;
    EXPECT_EQ(DownReason(status), "");
    status.health.storageUsed = 90;
    EXPECT_EQ(DownReason(status), "storage nearly full: 90 of 100");
    status.health.storageTotal = 0;  // a modem that tells no capacity
    EXPECT_EQ(DownReason(status), "");

    status.inRotation = false;
    status.lastError = "refused a message";
    EXPECT_EQ(DownReason(status), "out of rotation: refused a message");
    status.state = "device_gone";
    status.lastError = "device gone: waiting for /dev/x to come back";
    EXPECT_EQ(DownReason(status), status.lastError);
    status.state = "sim_locked";
    status.lastError = "SIM PUK required";
    EXPECT_EQ(DownReason(status), "sim locked: SIM PUK required");
}

TEST(HealthTest, AModemEventCarriesTheModemTheReasonAndTheHealth) {
    ModemChange change;
    change.down = true;
    change.status = Serving();
    change.status.health.registration = "denied";
    change.status.health.dbm = -71;
    change.reason = DownReason(change.status);
    change.at = 1700000000000;
    const auto body = nlohmann::json::parse(ModemChangeBody(change));
    EXPECT_EQ(body["event"], "modem.down");
    EXPECT_EQ(body["modem"], "north");
    EXPECT_EQ(body["reason"], "registration denied");
    EXPECT_EQ(body["at"], 1700000000000);
    EXPECT_EQ(body["health"]["signal_dbm"], -71);
    EXPECT_TRUE(body["health"]["operator"].is_null());
    change.down = false;
    EXPECT_EQ(nlohmann::json::parse(ModemChangeBody(change))["event"], "modem.up");
}

}  // namespace
}  // namespace Tarvikd
