// tarvikd's configuration: the modems, the store, the API and the webhook, read from a
// TOML file and checked whole before anything starts.
#pragma once

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace Tarvikd {

inline constexpr const char* kDefaultConfigPath = "/etc/tarvik/tarvikd.toml";

struct ModemConfig {
    std::string name;
    int port = 0;  // tarvik's port number: COM<port>; 0 with a device
    int baud = 115200;
    std::optional<std::string> prefix;  // digits put before a number without "+"; none: "86"
    std::string device;                 // the device's path, best a stable link; or the port
    std::optional<std::string> pin;     // the SIM's PIN, given to the child out of sight
    // How people see the modem's line: the device, or the port's number.
    std::string Where() const { return device.empty() ? "port " + std::to_string(port) : device; }
};

// The webhook's events about modems, posted only when the webhook names them.
inline constexpr const char* kModemDown = "modem.down";
inline constexpr const char* kModemUp = "modem.up";

struct WebhookConfig {
    std::string url;
    std::string secret;
    int maxAttempts = 8;
    int timeoutMs = 5000;
    int retryBaseMs = 1000;
    int retryMaxMs = 300000;
    std::vector<std::string> events;  // kModemDown, kModemUp: none unless named
    bool Wants(const std::string& event) const {
        return std::find(events.begin(), events.end(), event) != events.end();
    }
};

// The broker that takes an event of each received message and each outgoing change.
struct MqttConfig {
    std::string url;  // mqtt://host[:port]
    std::string host;
    int port = 1883;
    std::string username;  // empty: none
    std::string password;
    std::string topicPrefix = "tarvik";
    std::string clientId;  // empty in the file: "tarvikd-" and the daemon's name
};

struct Config {
    std::string name = "tarvikd";
    std::string store;  // the SQLite file
    std::string listen = "127.0.0.1";
    int httpPort = 8025;
    std::vector<std::string> apiKeys;
    std::string tarvik;      // the tarvik program; empty: the one beside tarvikd, else PATH
    std::string journalDir;  // where each modem's inbox journal lives; empty: beside the store
    std::string portDir;     // TARVIK_PORT_DIR for the children; empty: none
    // Sending.
    int sendAttempts = 5;
    int retryBaseMs = 5000;
    int retryMaxMs = 600000;
    bool reroute = true;  // a message for a modem out of rotation may go through another
    int failuresOutOfRotation = 3;
    int outOfRotationMs = 60000;
    // Children.
    int restartBaseMs = 1000;
    int restartMaxMs = 60000;
    int statusEveryMs = 30000;  // how often a modem's signal is asked for
    // How long a child waits for the rest of a long message before it is stored without it.
    int reassemblyTimeoutMs = 86400000;
    // Delivery reports: asked for unless a message opts out, and awaited this long.
    bool deliveryReports = true;
    int deliveryTimeoutMs = 259200000;
    // The web console: its static files, served at / of the API's port.
    bool console = true;
    std::string consoleDir = TARVIKD_CONSOLE_DIR;
    std::optional<WebhookConfig> webhook;
    std::optional<MqttConfig> mqtt;
    std::vector<ModemConfig> modems;
};

// One setting of the file, as the documentation tells it.
struct Setting {
    std::string key;       // "name", or "[webhook] url" for a table's
    std::string type;      // string, integer, boolean, array of strings
    std::string fallback;  // the default in Markdown; "(needed)": the file must give it
    std::string range;     // an integer's lowest and highest: "1 to 65535"
    std::string meaning;
};
// Every setting the file takes, in the order of the documentation's table.
std::vector<Setting> Settings();

// Nothing when the text is no valid configuration; `error` then says what is wrong.
std::optional<Config> ParseConfig(const std::string& text, std::string& error);
std::optional<Config> LoadConfig(const std::string& path, std::string& error);
// Takes mqtt://host[:port] into `host` and `port`; false when it is no such address.
bool ParseMqttUrl(const std::string& url, std::string& host, int& port);

}  // namespace Tarvikd
