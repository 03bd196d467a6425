// The API's answers to what clients send, good and bad, without a server around it: the
// same handler the daemon's HTTP server calls. The modems are configured, not started.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "Api.h"

namespace Tarvikd {
namespace {

using Json = nlohmann::json;
const std::string kKey = "Bearer key-0123456789abcdef";

class ApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        char folder[] = "/tmp/tarvikd-api-XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        folder_ = folder;
        config_.store = folder_ + "/store.db";
        config_.apiKeys = {"key-0123456789abcdef"};
        config_.modems = {ModemConfig{"north", 3, 115200, std::nullopt, "", std::nullopt}};
        std::string error;
        store_ = OpenSqliteStore(config_.store, error);
        ASSERT_TRUE(store_) << error;
        fleet_ = std::make_unique<CFleet>(config_, *store_, "/bin/false");
        api_ = std::make_unique<CApi>(config_, *store_, *fleet_);
    }
    void TearDown() override {
        api_.reset();
        fleet_.reset();
        store_.reset();
        std::filesystem::remove_all(folder_);
    }
    CApi::Reply Call(const std::string& method, const std::string& path,
                     const std::string& body = "", const std::string& idempotency = "",
                     const CApi::Query& query = {}, const std::string& auth = kKey) {
        return api_->Handle(method, path, query, auth, idempotency, body);
    }
    static std::string Reason(const CApi::Reply& reply) {
        return Json::parse(reply.body).value("error", "");
    }

    std::string folder_;
    Config config_;
    std::unique_ptr<IStore> store_;
    std::unique_ptr<CFleet> fleet_;
    std::unique_ptr<CApi> api_;
};

TEST_F(ApiTest, KeysAreNeededExceptForHealth) {
    EXPECT_EQ(Call("GET", "/healthz", "", "", {}, "").status, 200u);
    EXPECT_EQ(Call("GET", "/readyz", "", "", {}, "").status, 503u) << "no modem is ready";
    const CApi::Reply none = Call("GET", "/v1/modems", "", "", {}, "");
    EXPECT_EQ(none.status, 401u);
    EXPECT_EQ(none.extraHeader, "WWW-Authenticate: Bearer");
    EXPECT_EQ(Call("GET", "/metrics", "", "", {}, "Bearer key-0123456789abcdeX").status, 401u);
    EXPECT_EQ(
        Call("GET", "/v1/messages", "", "", {{"direction", "out"}}, "key-0123456789abcdef").status,
        401u);
    EXPECT_EQ(Call("GET", "/v1/modems").status, 200u);
    EXPECT_EQ(Call("GET", "/v2/anything").status, 404u);
    EXPECT_EQ(Call("GET", "/v1/modems", "", "", {}, "Bearer key-0123456789abcde").status, 401u)
        << "a key's beginning is no key";
    EXPECT_EQ(Call("GET", "/v1/modems", "", "", {}, "Bearer ").status, 401u);
}

TEST_F(ApiTest, EachResourceSaysWhichMethodsItTakes) {
    const struct {
        std::string method;
        std::string path;
        unsigned status;
        std::string says;
    } cases[] = {
        {"POST", "/metrics", 405, "/metrics takes GET"},
        {"DELETE", "/v1/modems", 405, "/v1/modems takes GET"},
        {"PUT", "/v1/messages", 405, "/v1/messages takes GET and POST"},
        {"POST", "/v1/messages/1", 405, "a message takes GET and DELETE"},
        {"PUT", "/v1/messages/x", 404, "a message id is a number"},
        {"GET", "/v1/messages/1/history", 404, "a message id is a number"},
        {"GET", "/v1/messages/", 404, "a message id is a number"},
        {"GET", "/v1/messages/5", 404, "no message 5"},
        {"GET", "/v1/modem", 404, "no such resource: /v1/modem"},
    };
    for (const auto& c : cases) {
        const CApi::Reply reply = Call(c.method, c.path);
        EXPECT_EQ(reply.status, c.status) << c.method << " " << c.path;
        EXPECT_EQ(Reason(reply), c.says) << c.method << " " << c.path;
    }
    EXPECT_EQ(Call("DELETE", "/healthz", "", "", {}, "").status, 200u) << "health takes any method";
}

TEST_F(ApiTest, BadRequestsGetTheirReason) {
    const struct {
        std::string body;
        std::string says;
    } cases[] = {
        {"{\"to\":\"+8613800138000\",", "not JSON"},
        {"[1,2]", "JSON object"},
        {"{\"text\":\"hi\"}", "\"to\""},
        {"{\"to\":8613800138000,\"text\":\"hi\"}", "\"to\""},
        {"{\"to\":\"+86 138\",\"text\":\"hi\"}", "3 to 20 digits"},
        {"{\"to\":\"+8613800138000\",\"text\":\"\"}", "empty"},
        {"{\"to\":\"+8613800138000\",\"text\":\"hi\",\"modem\":\"west\"}", "no configured modem"},
        {"{\"to\":\"+8613800138000\",\"text\":\"hi\",\"priority\":1}", "unknown field"},
        {"{\"to\":\"+8613800138000\",\"text\":\"hi\",\"delivery_report\":1}", "true or false"},
        {"{\"to\":\"+8613800138000\",\"text\":\"" + std::string(1001, 'x') + "\"}", "1 to 1000"},
        {"{\"to\":\"+8613800138000\",\"text\":\"\xff\xfe\"}", "not JSON"},
    };
    for (const auto& c : cases) {
        const CApi::Reply reply = Call("POST", "/v1/messages", c.body);
        EXPECT_EQ(reply.status, 400u) << c.body;
        EXPECT_NE(Reason(reply).find(c.says), std::string::npos) << Reason(reply);
    }
    EXPECT_EQ(Call("GET", "/v1/messages", "", "", {{"direction", "sideways"}}).status, 400u);
    EXPECT_EQ(Call("GET", "/v1/messages", "", "", {{"direction", "out"}, {"after", "x"}}).status,
              400u);
    EXPECT_EQ(Call("GET", "/v1/messages", "", "", {{"direction", "out"}, {"limit", "0"}}).status,
              400u);
    EXPECT_EQ(Call("PUT", "/v1/messages/1").status, 405u);
    EXPECT_EQ(Call("GET", "/v1/messages/abc").status, 404u);
    EXPECT_TRUE(store_->List("out", 0, 10).empty()) << "a refused request queued something";
}

TEST_F(ApiTest, RetriedPostIsOneMessageAndAReusedKeyIsRefused) {
    const std::string body = "{\"to\":\"+8613800138000\",\"text\":\"Grüße 😀\",\"modem\":\"north\"}";
    const CApi::Reply first = Call("POST", "/v1/messages", body, "order-17");
    ASSERT_EQ(first.status, 202u) << first.body;
    const int64_t id = Json::parse(first.body)["id"];
    const CApi::Reply again = Call("POST", "/v1/messages", body, "order-17");
    EXPECT_EQ(again.status, 202u);
    EXPECT_EQ(Json::parse(again.body)["id"], id);
    EXPECT_EQ(again.extraHeader, "Idempotent-Replayed: true");
    const CApi::Reply reused =
        Call("POST", "/v1/messages", "{\"to\":\"+8613800138000\",\"text\":\"other\"}", "order-17");
    EXPECT_EQ(reused.status, 409u);
    const Json message = Json::parse(Call("GET", "/v1/messages/" + std::to_string(id)).body);
    EXPECT_EQ(message["state"], "queued");
    EXPECT_EQ(message["text"], "Grüße 😀");
    EXPECT_EQ(message["modem"], "north");
    EXPECT_EQ(message["history"][0]["state"], "queued");
    EXPECT_EQ(message["delivery"], "pending") << "reports are asked for by default";
    EXPECT_EQ(message["delivered_at"], nullptr);
    // Opting out of reports is another request under the same key.
    const std::string quiet =
        "{\"to\":\"+8613800138000\",\"text\":\"Grüße 😀\",\"modem\":\"north\","
        "\"delivery_report\":false}";
    EXPECT_EQ(Call("POST", "/v1/messages", quiet, "order-17").status, 409u);
    const CApi::Reply off = Call("POST", "/v1/messages", quiet, "order-18");
    ASSERT_EQ(off.status, 202u);
    const std::string offId = std::to_string(Json::parse(off.body)["id"].get<int64_t>());
    EXPECT_EQ(Json::parse(Call("GET", "/v1/messages/" + offId).body)["delivery"], "off");
    EXPECT_EQ(store_->List("out", 0, 10).size(), 2u);
}

TEST_F(ApiTest, PagesCoverEveryMessageOnceAndCancelOnlyWhileQueued) {
    for (int i = 0; i < 7; ++i) {
        ASSERT_EQ(Call("POST", "/v1/messages",
                       "{\"to\":\"13800138000\",\"text\":\"n" + std::to_string(i) + "\"}")
                      .status,
                  202u);
    }
    std::vector<std::string> texts;
    std::string cursor = "0";
    for (int page = 0; page < 10 && !cursor.empty(); ++page) {
        const Json body =
            Json::parse(Call("GET", "/v1/messages", "", "",
                             {{"direction", "out"}, {"limit", "3"}, {"after", cursor}})
                            .body);
        for (const auto& m : body["messages"]) {
            texts.push_back(m["text"]);
        }
        cursor = body["next"].is_null() ? "" : body["next"].get<std::string>();
    }
    EXPECT_EQ(texts, (std::vector<std::string>{"n0", "n1", "n2", "n3", "n4", "n5", "n6"}));
    EXPECT_EQ(Call("DELETE", "/v1/messages/2").status, 200u);
    const Json gone = Json::parse(Call("GET", "/v1/messages/2").body);
    EXPECT_EQ(gone["state"], "cancelled");
    EXPECT_EQ(gone["delivery"], "undelivered") << "no report is awaited for it";
    EXPECT_EQ(Json::parse(Call("GET", "/v1/messages/3").body)["delivery"], "pending");
    const CApi::Reply twice = Call("DELETE", "/v1/messages/2");
    EXPECT_EQ(twice.status, 409u);
    EXPECT_NE(Reason(twice).find("is cancelled"), std::string::npos);
    EXPECT_EQ(Call("DELETE", "/v1/messages/99").status, 404u);
    const std::string metrics = Call("GET", "/metrics").body;
    EXPECT_NE(metrics.find("tarvikd_outgoing{modem=\"\",state=\"queued\"} 6\n"), std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("tarvikd_modem_ready{modem=\"north\"} 0\n"), std::string::npos);

    // The console's views: the newest first, and the day's summary.
    const Json newest =
        Json::parse(Call("GET", "/v1/messages", "", "",
                         {{"direction", "out"}, {"order", "newest"}, {"limit", "2"}})
                        .body);
    ASSERT_EQ(newest["messages"].size(), 2u);
    EXPECT_EQ(newest["messages"][0]["text"], "n6");
    EXPECT_EQ(newest["messages"][1]["text"], "n5");
    EXPECT_TRUE(newest["next"].is_null());
    EXPECT_EQ(Call("GET", "/v1/messages", "", "", {{"direction", "out"}, {"order", "up"}}).status,
              400u);
    const Json cancelled =
        Json::parse(Call("GET", "/v1/messages", "", "",
                         {{"direction", "out"}, {"order", "newest"}, {"state", "cancelled"}})
                        .body);
    ASSERT_EQ(cancelled["messages"].size(), 1u);
    EXPECT_EQ(cancelled["messages"][0]["id"], 2);
    EXPECT_EQ(Call("GET", "/v1/messages", "", "",
                   {{"direction", "out"}, {"order", "newest"}, {"state", "lost"}})
                  .status,
              400u);
    store_->StoreReceived("north", "k1", "+10086", "", "hello", false, NowMs());
    const Json summary = Json::parse(Call("GET", "/v1/summary").body);
    EXPECT_EQ(summary["outgoing"], Json({{"queued", 6}, {"cancelled", 1}}));
    EXPECT_EQ(summary["received"], 1);
    EXPECT_EQ(summary["sent"], 0);
    EXPECT_EQ(summary["delivered"], 0);
}

// The count the console shows is the library's own cut: 160 and 153 septets, 70 and 67
// UTF-16 units.
TEST_F(ApiTest, TextIsCountedAsItWillBeCut) {
    const auto count = [&](const std::string& text) {
        const CApi::Reply reply = Call("POST", "/v1/messages/count", Json({{"text", text}}).dump());
        EXPECT_EQ(reply.status, 200u) << reply.body;
        const Json body = Json::parse(reply.body);
        return body["encoding"].get<std::string>() + " " + body["parts"].dump() + " " +
               body["units"].dump();
    };
    const auto repeat = [](const std::string& piece, int times) {
        std::string text;
        for (int i = 0; i < times; ++i) {
            text += piece;
        }
        return text;
    };
    EXPECT_EQ(count(repeat("a", 160)), "gsm 1 160");
    EXPECT_EQ(count(repeat("a", 161)), "gsm 2 161");
    EXPECT_EQ(count(repeat("a", 306)), "gsm 2 306");
    EXPECT_EQ(count(repeat("a", 307)), "gsm 3 307");
    EXPECT_EQ(count(repeat("\xE4\xB8\xAD", 70)), "ucs2 1 70");
    EXPECT_EQ(count(repeat("\xE4\xB8\xAD", 71)), "ucs2 2 71");
    EXPECT_EQ(count(repeat("\xE4\xB8\xAD", 135)), "ucs2 3 135");
    // An escape pair is two septets and never cut: 152 + 2 does not fit the first part.
    EXPECT_EQ(count(repeat("a", 152) + "\xE2\x82\xAC" + repeat("a", 10)), "gsm 2 164");
    EXPECT_EQ(count(""), "gsm 0 0");
    const auto refusal = [&](const std::string& text) {
        return Json::parse(Call("POST", "/v1/messages/count", Json({{"text", text}}).dump()).body)
            .value("refused", Json(nullptr));
    };
    EXPECT_TRUE(refusal(repeat("\xE4\xB8\xAD", 670)).is_null()) << "10 parts of 67";
    EXPECT_EQ(refusal(repeat("\xE4\xB8\xAD", 671)),
              "the text needs 11 parts; a message may have 10");
    EXPECT_EQ(refusal(repeat("a", 1001)), "\"text\" takes 1 to 1000 characters");
    // A send over the parts is refused as the count foretold, before anything is queued.
    const CApi::Reply post =
        Call("POST", "/v1/messages",
             Json({{"to", "+8613912345678"}, {"text", repeat("\xE4\xB8\xAD", 671)}}).dump());
    EXPECT_EQ(post.status, 400u);
    EXPECT_NE(post.body.find("the text needs 11 parts; a message may have 10"), std::string::npos);
    EXPECT_EQ(Call("POST", "/v1/messages",
                   Json({{"to", "+8613912345678"}, {"text", repeat("\xE4\xB8\xAD", 670)}}).dump())
                  .status,
              202u);
    EXPECT_EQ(Call("POST", "/v1/messages/count", "{}").status, 400u);
    EXPECT_EQ(Call("POST", "/v1/messages/count", R"({"text": "x"})", "", {}, "").status, 401u);
}

// The console's files: only those in its folder, of a known type, with the headers that
// keep a browser from running anything else on its pages.
TEST_F(ApiTest, TheConsoleServesOnlyItsOwnFiles) {
    namespace fs = std::filesystem;
    const fs::path dir = folder_ + "/console";
    fs::create_directories(dir / "sub");
    const auto write = [](const fs::path& path, const std::string& text) {
        std::ofstream(path) << text;
    };
    write(dir / "index.html", "<p>console</p>");
    write(dir / "app.js", "export {};");
    write(dir / "sub" / "more.css", "p {}");
    write(dir / ".hidden.js", "hidden");
    write(dir / "notes.txt", "notes");
    write(folder_ + "/outside.js", "outside");
    fs::create_symlink(folder_ + "/outside.js", dir / "out.js");
    fs::create_symlink(dir / "app.js", dir / "same.js");
    fs::create_symlink(folder_, dir / "up");
    config_.consoleDir = dir.string();
    const auto header = [](const CApi::Reply& reply, const std::string& name) {
        for (const auto& [key, value] : reply.headers) {
            if (key == name) {
                return value;
            }
        }
        return std::string();
    };
    const CApi::Reply index = Call("GET", "/", "", "", {}, "");
    EXPECT_EQ(index.status, 200u);
    EXPECT_EQ(index.body, "<p>console</p>");
    EXPECT_EQ(index.contentType, "text/html; charset=utf-8");
    const std::string policy = header(index, "Content-Security-Policy");
    for (const char* part :
         {"default-src 'self'", "frame-ancestors 'none'", "base-uri 'none'", "object-src 'none'"}) {
        EXPECT_NE(policy.find(part), std::string::npos) << part;
    }
    EXPECT_EQ(policy.find("unsafe"), std::string::npos);
    EXPECT_EQ(header(index, "X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(header(index, "Referrer-Policy"), "no-referrer");
    EXPECT_EQ(Call("HEAD", "/app.js", "", "", {}, "").contentType,
              "text/javascript; charset=utf-8");
    EXPECT_EQ(Call("GET", "/sub/more.css", "", "", {}, "").contentType, "text/css; charset=utf-8");
    EXPECT_EQ(Call("GET", "/same.js", "", "", {}, "").body, "export {};");
    for (const char* path : {"/../store.db", "/sub/../app.js", "/%2e%2e/outside.js", "//app.js",
                             "/.hidden.js", "/notes.txt", "/out.js", "/up/outside.js",
                             "/up/store.db", "/missing.js", "/sub/", "/app.js/"}) {
        const CApi::Reply refused = Call("GET", path, "", "", {}, "");
        EXPECT_EQ(refused.status, 404u) << path;
        EXPECT_EQ(header(refused, "X-Content-Type-Options"), "nosniff") << path;
    }
    const CApi::Reply posted = Call("POST", "/", "x", "", {}, "");
    EXPECT_EQ(posted.status, 405u);
    EXPECT_EQ(header(posted, "Allow"), "GET, HEAD");
    EXPECT_EQ(Call("GET", "/v1/index.html").status, 404u) << "the API's paths are never files";

    config_.console = false;
    EXPECT_EQ(Call("GET", "/", "", "", {}, "").status, 404u);
    EXPECT_EQ(Call("GET", "/app.js", "", "", {}, "").status, 404u);
}

TEST_F(ApiTest, AStoreRefusalIsAFaultNotAnOutage) {
    // A refusal the store will give again: a 500 with a reason, not a 503 inviting retries.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(config_.store.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TRIGGER refuse BEFORE INSERT ON messages BEGIN "
                           "SELECT RAISE(ABORT, 'refused'); END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    const CApi::Reply refused = Call("POST", "/v1/messages", R"({"to": "10086", "text": "hi"})");
    EXPECT_EQ(refused.status, 500u);
    EXPECT_NE(Reason(refused).find("the store could not do it"), std::string::npos);
    EXPECT_EQ(Call("GET", "/v1/messages", "", "", {{"direction", "out"}}).status, 200u);
}

}  // namespace
}  // namespace Tarvikd
