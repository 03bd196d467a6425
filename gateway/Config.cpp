#include "Config.h"

#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "Toml.h"

namespace Tarvikd {

namespace {

// Reads the keys of one table, refusing any it does not know: a misspelt key silently
// ignored would leave a setting at its default.
class CReader {
public:
    CReader(const TomlTable& table, std::string where, std::string& error)
        : table_(table), where_(std::move(where)), error_(error) {}

    bool Text(const char* key, std::string& out, bool required = false) {
        const TomlValue* value = Find(key, required);
        if (value == nullptr) {
            return ok_;
        }
        if (const auto* text = std::get_if<std::string>(&value->value)) {
            out = *text;
            return true;
        }
        return Fail(value, std::string(key) + " takes a string");
    }

    bool Number(const char* key, int& out, int low, int high, bool required = false) {
        const TomlValue* value = Find(key, required);
        if (value == nullptr) {
            return ok_;
        }
        const auto* number = std::get_if<int64_t>(&value->value);
        if (number == nullptr || *number < low || *number > high) {
            return Fail(value, std::string(key) + " takes an integer from " + std::to_string(low) +
                                   " to " + std::to_string(high));
        }
        out = static_cast<int>(*number);
        return true;
    }

    bool Flag(const char* key, bool& out) {
        const TomlValue* value = Find(key, false);
        if (value == nullptr) {
            return ok_;
        }
        if (const auto* flag = std::get_if<bool>(&value->value)) {
            out = *flag;
            return true;
        }
        return Fail(value, std::string(key) + " takes true or false");
    }

    bool Texts(const char* key, std::vector<std::string>& out) {
        const TomlValue* value = Find(key, false);
        if (value == nullptr) {
            return ok_;
        }
        const auto* items = std::get_if<TomlArray>(&value->value);
        if (items == nullptr) {
            return Fail(value, std::string(key) + " takes an array of strings");
        }
        for (const TomlValue& item : *items) {
            const auto* text = std::get_if<std::string>(&item.value);
            if (text == nullptr) {
                return Fail(value, std::string(key) + " takes an array of strings");
            }
            out.push_back(*text);
        }
        return true;
    }

    // False, naming it, when the table has a key that was never asked for.
    bool NoOthers() {
        for (const auto& [key, value] : table_.keys) {
            if (asked_.count(key) == 0) {
                return Fail(&value, where_ + " has no setting '" + key + "'");
            }
        }
        return ok_;
    }

private:
    const TomlValue* Find(const char* key, bool required) {
        asked_.insert(key);
        const auto it = table_.keys.find(key);
        if (it == table_.keys.end()) {
            if (required) {
                Fail(nullptr, where_ + " needs " + key);
            }
            return nullptr;
        }
        return &it->second;
    }

    bool Fail(const TomlValue* value, const std::string& why) {
        if (ok_) {
            error_ = (value != nullptr ? "line " + std::to_string(value->line) + ": " : "") + why;
        }
        ok_ = false;
        return false;
    }

    const TomlTable& table_;
    std::string where_;
    std::string& error_;
    std::set<std::string> asked_;
    bool ok_ = true;
};

bool Digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// A topic level may hold no wildcard and no separator.
bool TopicLevel(const std::string& text) {
    return !text.empty() && text.find_first_of("/+#") == std::string::npos;
}

std::optional<MqttConfig> ParseMqtt(const TomlTable& table, const std::string& daemon,
                                    std::string& error) {
    MqttConfig mqtt;
    CReader reader(table, "[mqtt]", error);
    if (!(reader.Text("url", mqtt.url, true) && reader.Text("username", mqtt.username) &&
          reader.Text("password", mqtt.password) && reader.Text("topic_prefix", mqtt.topicPrefix) &&
          reader.Text("client_id", mqtt.clientId) && reader.NoOthers())) {
        return std::nullopt;
    }
    const std::string where = "line " + std::to_string(table.line) + ": [mqtt] ";
    if (!ParseMqttUrl(mqtt.url, mqtt.host, mqtt.port)) {
        error = where + "url takes mqtt://host or mqtt://host:port, not '" + mqtt.url + "'";
        return std::nullopt;
    }
    if (!mqtt.password.empty() && mqtt.username.empty()) {
        error = where + "password needs a username";
        return std::nullopt;
    }
    // The prefix may have levels of its own; none of them empty or a wildcard.
    for (std::size_t at = 0; at <= mqtt.topicPrefix.size();) {
        const std::size_t end = std::min(mqtt.topicPrefix.find('/', at), mqtt.topicPrefix.size());
        if (!TopicLevel(mqtt.topicPrefix.substr(at, end - at))) {
            error = where + "topic_prefix takes levels split by / without + or #, not '" +
                    mqtt.topicPrefix + "'";
            return std::nullopt;
        }
        at = end + 1;
    }
    if (!TopicLevel(daemon)) {
        error = "name is a topic level with [mqtt]: it takes no /, + or #";
        return std::nullopt;
    }
    if (mqtt.clientId.empty()) {
        mqtt.clientId = "tarvikd-" + daemon;
    }
    return mqtt;
}

}  // namespace

bool ParseMqttUrl(const std::string& url, std::string& host, int& port) {
    const std::string scheme = "mqtt://";
    if (url.rfind(scheme, 0) != 0) {
        return false;
    }
    std::string rest = url.substr(scheme.size());
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    std::string portText;
    if (rest.rfind('[', 0) == 0) {  // [IPv6]
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) {
            return false;
        }
        host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') {
                return false;
            }
            portText = rest.substr(close + 2);
            if (portText.empty()) {
                return false;
            }
        }
    } else {
        const std::size_t colon = rest.find(':');
        host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            portText = rest.substr(colon + 1);
            if (portText.empty()) {
                return false;
            }
        }
    }
    if (host.empty() || host.find_first_of("/@?# ") != std::string::npos) {
        return false;
    }
    port = 1883;
    if (!portText.empty()) {
        if (!Digits(portText) || portText.size() > 5 || std::stoi(portText) < 1 ||
            std::stoi(portText) > 65535) {
            return false;
        }
        port = std::stoi(portText);
    }
    return true;
}

std::optional<Config> ParseConfig(const std::string& text, std::string& error) {
    const std::optional<TomlDocument> document = ParseToml(text, error);
    if (!document) {
        return std::nullopt;
    }
    Config config;
    CReader root(document->root, "the top level", error);
    bool ok =
        root.Text("name", config.name) && root.Text("store", config.store, true) &&
        root.Text("listen", config.listen) && root.Number("http_port", config.httpPort, 1, 65535) &&
        root.Texts("api_keys", config.apiKeys) && root.Text("tarvik", config.tarvik) &&
        root.Text("journal_dir", config.journalDir) && root.Text("port_dir", config.portDir) &&
        root.Number("send_attempts", config.sendAttempts, 1, 1000) &&
        root.Number("retry_base_ms", config.retryBaseMs, 10, 86400000) &&
        root.Number("retry_max_ms", config.retryMaxMs, 10, 86400000) &&
        root.Flag("reroute", config.reroute) &&
        root.Number("failures_out_of_rotation", config.failuresOutOfRotation, 1, 1000) &&
        root.Number("out_of_rotation_ms", config.outOfRotationMs, 10, 86400000) &&
        root.Number("restart_base_ms", config.restartBaseMs, 10, 3600000) &&
        root.Number("restart_max_ms", config.restartMaxMs, 10, 3600000) &&
        root.Number("status_every_ms", config.statusEveryMs, 100, 3600000) && root.NoOthers();
    if (!ok) {
        return std::nullopt;
    }
    if (config.apiKeys.empty()) {
        error = "api_keys needs at least one key: the API takes no request without one";
        return std::nullopt;
    }
    for (const std::string& key : config.apiKeys) {
        if (key.size() < 16 || key.find_first_of(" \t\r\n") != std::string::npos) {
            error = "each of api_keys needs 16 or more characters and no blanks";
            return std::nullopt;
        }
    }
    if (const auto it = document->tables.find("webhook"); it != document->tables.end()) {
        WebhookConfig webhook;
        CReader reader(it->second, "[webhook]", error);
        if (!(reader.Text("url", webhook.url, true) &&
              reader.Text("secret", webhook.secret, true) &&
              reader.Number("max_attempts", webhook.maxAttempts, 1, 1000) &&
              reader.Number("timeout_ms", webhook.timeoutMs, 10, 600000) &&
              reader.Number("retry_base_ms", webhook.retryBaseMs, 10, 86400000) &&
              reader.Number("retry_max_ms", webhook.retryMaxMs, 10, 86400000) &&
              reader.NoOthers())) {
            return std::nullopt;
        }
        if (webhook.url.rfind("http://", 0) != 0 && webhook.url.rfind("https://", 0) != 0) {
            error = "[webhook] url takes an http:// or https:// address";
            return std::nullopt;
        }
        if (webhook.secret.size() < 16) {
            error = "[webhook] secret needs 16 or more characters";
            return std::nullopt;
        }
        config.webhook = webhook;
    }
    if (const auto it = document->tables.find("mqtt"); it != document->tables.end()) {
        config.mqtt = ParseMqtt(it->second, config.name, error);
        if (!config.mqtt) {
            return std::nullopt;
        }
    }
    for (const auto& [name, table] : document->tables) {
        if (name != "webhook" && name != "mqtt") {
            error = "line " + std::to_string(table.line) + ": there is no table [" + name + "]";
            return std::nullopt;
        }
    }
    for (const auto& [name, list] : document->arrays) {
        if (name != "modem") {
            error = "line " + std::to_string(list.front().line) + ": there is no table [[" + name +
                    "]]; modems are [[modem]]";
            return std::nullopt;
        }
    }
    std::set<std::string> names;
    std::set<int> ports;
    if (const auto it = document->arrays.find("modem"); it != document->arrays.end()) {
        for (const TomlTable& table : it->second) {
            ModemConfig modem;
            CReader reader(table, "[[modem]]", error);
            std::string prefix;
            if (!(reader.Text("name", modem.name, true) &&
                  reader.Number("port", modem.port, 1, 1024, true) &&
                  reader.Number("baud", modem.baud, 300, 4000000) &&
                  reader.Text("prefix", prefix) && reader.NoOthers())) {
                return std::nullopt;
            }
            const std::string where = "line " + std::to_string(table.line) + ": ";
            if (modem.name.empty() || modem.name.size() > 32 ||
                modem.name.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                             "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-") !=
                    std::string::npos) {
                error = where + "a modem's name takes 1 to 32 letters, digits, _ and -";
                return std::nullopt;
            }
            if (!names.insert(modem.name).second) {
                error = where + "two modems are named " + modem.name;
                return std::nullopt;
            }
            if (!ports.insert(modem.port).second) {
                error = where + "two modems use port " + std::to_string(modem.port);
                return std::nullopt;
            }
            if (!prefix.empty()) {
                if (!Digits(prefix) || prefix.size() > 8) {
                    error = where + "prefix takes up to 8 digits";
                    return std::nullopt;
                }
                modem.prefix = prefix;
            }
            config.modems.push_back(std::move(modem));
        }
    }
    if (config.modems.empty()) {
        error = "no modem: the configuration needs at least one [[modem]]";
        return std::nullopt;
    }
    if (config.retryMaxMs < config.retryBaseMs || config.restartMaxMs < config.restartBaseMs) {
        error = "a *_max_ms setting is smaller than its *_base_ms";
        return std::nullopt;
    }
    return config;
}

std::optional<Config> LoadConfig(const std::string& path, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    std::ostringstream text;
    text << file.rdbuf();
    std::optional<Config> config = ParseConfig(text.str(), error);
    if (!config) {
        error = path + ": " + error;
    }
    return config;
}

}  // namespace Tarvikd
