#include "Config.h"

#include <curl/curl.h>
#include <toml++/toml.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <variant>

namespace Tarvikd {

namespace {

constexpr const char* kNeeded = "(needed)";

// Where a setting goes in its struct.
template <class T>
using Field = std::variant<std::string T::*, int T::*, bool T::*, std::vector<std::string> T::*,
                           std::optional<std::string> T::*>;

// One setting: its key, where it goes, what it means, its range (integers) and, when the
// struct's own default does not say it, how its default is told (kNeeded: it has none).
template <class T>
struct Rule {
    const char* key;
    Field<T> field;
    const char* meaning;
    int64_t low = 0;
    int64_t high = 0;
    const char* fallback = nullptr;
};

const std::vector<Rule<Config>>& TopRules() {
    static const std::vector<Rule<Config>> rules = {
        {"name", &Config::name, "the daemon's name, in the store and the broker's topics"},
        {"store", &Config::store,
         "the SQLite file, or a postgresql:// URL for a store several daemons share", 0, 0,
         kNeeded},
        {"listen", &Config::listen, "the IPv4 address the API listens on"},
        {"http_port", &Config::httpPort, "the API's port", 1, 65535},
        {"api_keys", &Config::apiKeys, "bearer keys for the API, 16 characters or more, no blanks",
         0, 0, kNeeded},
        {"tarvik", &Config::tarvik, "the `tarvik` program", 0, 0, "beside tarvikd, else PATH"},
        {"journal_dir", &Config::journalDir, "where each modem's inbox journal, `NAME.journal`, is",
         0, 0, "the store's folder"},
        {"port_dir", &Config::portDir,
         "`TARVIK_PORT_DIR` for the children (the simulator's folder)", 0, 0, "none"},
        {"send_attempts", &Config::sendAttempts, "tries of a message the modem refuses", 1, 1000},
        {"retry_base_ms", &Config::retryBaseMs, "the first wait before a refused message's retry",
         10, 86400000},
        {"retry_max_ms", &Config::retryMaxMs, "the longest wait, doubling from the first", 10,
         86400000},
        {"reroute", &Config::reroute,
         "a message for a modem out of rotation may go through another"},
        {"failures_out_of_rotation", &Config::failuresOutOfRotation,
         "failures in a row (refusals, failed starts) that take a modem out of rotation", 1, 1000},
        {"out_of_rotation_ms", &Config::outOfRotationMs, "how long it stays out", 10, 86400000},
        {"restart_base_ms", &Config::restartBaseMs, "a child's first restart wait", 10, 3600000},
        {"restart_max_ms", &Config::restartMaxMs, "its longest, doubling", 10, 3600000},
        {"status_every_ms", &Config::statusEveryMs, "how often a modem's signal is asked for", 100,
         3600000},
        {"reassembly_timeout_ms", &Config::reassemblyTimeoutMs,
         "how long a long message waits for its parts before it is stored without them", 1000,
         604800000},
        {"delivery_reports", &Config::deliveryReports,
         "ask for delivery reports of a message that does not say otherwise"},
        {"delivery_timeout_ms", &Config::deliveryTimeoutMs,
         "how long a message's delivery waits for its reports before it is `unknown`", 1000,
         1209600000},
        {"console", &Config::console, "serve the web console at `/` of the API's port"},
        {"console_dir", &Config::consoleDir, "the console's files", 0, 0,
         "the installed `share/tarvikd/console`"},
    };
    return rules;
}

const std::vector<Rule<ModemConfig>>& ModemRules() {
    static const std::vector<Rule<ModemConfig>> rules = {
        {"name", &ModemConfig::name, "the modem's name: 1 to 32 letters, digits, _ and -", 0, 0,
         kNeeded},
        {"port", &ModemConfig::port, "tarvik's port number: COM`port`; or `device`", 1, 1024,
         "(needed without `device`)"},
        {"device", &ModemConfig::device,
         "the modem's device, best its stable link under `/dev/serial/by-id`; or `port`", 0, 0,
         "(needed without `port`)"},
        {"baud", &ModemConfig::baud, "the port's speed", 300, 4000000},
        {"prefix", &ModemConfig::prefix, "up to 8 digits put before a number without `+`", 0, 0,
         "tarvik's own, `86`"},
        {"pin", &ModemConfig::pin,
         "the SIM's PIN, 4 to 8 digits: given to tarvik in its environment, shown nowhere", 0, 0,
         "none"},
    };
    return rules;
}

const std::vector<Rule<WebhookConfig>>& WebhookRules() {
    static const std::vector<Rule<WebhookConfig>> rules = {
        {"url", &WebhookConfig::url, "the http:// or https:// address received messages go to", 0,
         0, kNeeded},
        {"secret", &WebhookConfig::secret, "the signatures' key, 16 characters or more", 0, 0,
         kNeeded},
        {"max_attempts", &WebhookConfig::maxAttempts, "tries before a message is dead-lettered", 1,
         1000},
        {"timeout_ms", &WebhookConfig::timeoutMs, "how long one try may take", 10, 600000},
        {"retry_base_ms", &WebhookConfig::retryBaseMs, "the first wait before a retry", 10,
         86400000},
        {"retry_max_ms", &WebhookConfig::retryMaxMs, "the longest, doubling", 10, 86400000},
        {"events", &WebhookConfig::events,
         "modem events posted too: `\"modem.down\"`, `\"modem.up\"`", 0, 0, "none"},
    };
    return rules;
}

const std::vector<Rule<MqttConfig>>& MqttRules() {
    static const std::vector<Rule<MqttConfig>> rules = {
        {"url", &MqttConfig::url, "the broker: mqtt://host[:port], port 1883 by default", 0, 0,
         kNeeded},
        {"username", &MqttConfig::username, "the broker's user", 0, 0, "none"},
        {"password", &MqttConfig::password, "its password; needs a username", 0, 0, "none"},
        {"topic_prefix", &MqttConfig::topicPrefix,
         "the topics' first levels, split by /, no + or #"},
        {"client_id", &MqttConfig::clientId, "the client's id", 0, 0, "`tarvikd-NAME`"},
    };
    return rules;
}

std::string At(const toml::node& node) {
    return "line " + std::to_string(node.source().begin.line) + ": ";
}

// One value into its field; false, naming the key and the type it takes, when it does not fit.
template <class T>
bool Take(const toml::node& value, const Rule<T>& rule, T& out, std::string& error) {
    const std::string takes = At(value) + rule.key + " takes ";
    return std::visit(
        [&](auto field) {
            using V = std::decay_t<decltype(out.*field)>;
            if constexpr (std::is_same_v<V, int>) {
                const auto* integer = value.as_integer();
                if (integer == nullptr || integer->get() < rule.low || integer->get() > rule.high) {
                    error = takes + "an integer from " + std::to_string(rule.low) + " to " +
                            std::to_string(rule.high);
                    return false;
                }
                out.*field = static_cast<int>(integer->get());
            } else if constexpr (std::is_same_v<V, bool>) {
                if (!value.is_boolean()) {
                    error = takes + "true or false";
                    return false;
                }
                out.*field = *value.value<bool>();
            } else if constexpr (std::is_same_v<V, std::vector<std::string>>) {
                const auto* items = value.as_array();
                if (items == nullptr ||
                    (!items->empty() && !items->is_homogeneous(toml::node_type::string))) {
                    error = takes + "an array of strings";
                    return false;
                }
                for (const toml::node& item : *items) {
                    (out.*field).push_back(*item.value<std::string>());
                }
            } else {
                if (!value.is_string()) {
                    error = takes + "a string";
                    return false;
                }
                out.*field = *value.value<std::string>();
            }
            return true;
        },
        rule.field);
}

// Reads a table's settings, refusing any key it does not know (a misspelt key silently
// ignored would leave a setting at its default) except the sub-tables `skip` names.
template <class T>
bool ReadTable(const toml::table& table, const std::vector<Rule<T>>& rules,
               const std::string& where, T& out, std::string& error,
               const std::set<std::string>& skip = {}) {
    for (const Rule<T>& rule : rules) {
        const toml::node* value = table.get(rule.key);
        if (value == nullptr) {
            // An array that needs items is checked for them later, with its own reason.
            if (rule.fallback == kNeeded &&
                !std::holds_alternative<std::vector<std::string> T::*>(rule.field)) {
                error = where + " needs " + rule.key;
                return false;
            }
        } else if (!Take(*value, rule, out, error)) {
            return false;
        }
    }
    for (const auto& [key, value] : table) {
        const std::string name(key.str());
        const bool known = std::any_of(rules.begin(), rules.end(),
                                       [&](const Rule<T>& rule) { return name == rule.key; });
        if (!known && skip.count(name) == 0) {
            error = At(value) + where + " has no setting '" + name + "'";
            return false;
        }
    }
    return true;
}

// A topic level may hold no wildcard and no separator.
bool TopicLevel(const std::string& text) {
    return !text.empty() && text.find_first_of("/+#") == std::string::npos;
}

std::optional<MqttConfig> ParseMqtt(const toml::table& table, const std::string& daemon,
                                    std::string& error) {
    MqttConfig mqtt;
    if (!ReadTable(table, MqttRules(), "[mqtt]", mqtt, error)) {
        return std::nullopt;
    }
    // The prefix may have levels of its own; none of them empty or a wildcard.
    bool levels = true;
    for (std::size_t at = 0; at <= mqtt.topicPrefix.size();) {
        const std::size_t end = std::min(mqtt.topicPrefix.find('/', at), mqtt.topicPrefix.size());
        levels = levels && TopicLevel(mqtt.topicPrefix.substr(at, end - at));
        at = end + 1;
    }
    if (!ParseMqttUrl(mqtt.url, mqtt.host, mqtt.port)) {
        error =
            At(table) + "[mqtt] url takes mqtt://host or mqtt://host:port, not '" + mqtt.url + "'";
    } else if (!mqtt.password.empty() && mqtt.username.empty()) {
        error = At(table) + "[mqtt] password needs a username";
    } else if (!levels) {
        error = At(table) + "[mqtt] topic_prefix takes levels split by / without + or #, not '" +
                mqtt.topicPrefix + "'";
    } else if (!TopicLevel(daemon)) {
        error = "name is a topic level with [mqtt]: it takes no /, + or #";
    } else {
        mqtt.clientId = mqtt.clientId.empty() ? "tarvikd-" + daemon : mqtt.clientId;
        return mqtt;
    }
    return std::nullopt;
}

std::optional<WebhookConfig> ParseWebhook(const toml::table& table, std::string& error) {
    WebhookConfig webhook;
    if (!ReadTable(table, WebhookRules(), "[webhook]", webhook, error)) {
        return std::nullopt;
    }
    if (webhook.url.rfind("http://", 0) != 0 && webhook.url.rfind("https://", 0) != 0) {
        error = "[webhook] url takes an http:// or https:// address";
    } else if (webhook.secret.size() < 16) {
        error = "[webhook] secret needs 16 or more characters";
    } else if (std::any_of(webhook.events.begin(), webhook.events.end(), [](const auto& event) {
                   return event != kModemDown && event != kModemUp;
               })) {
        error =
            std::string("[webhook] events takes \"") + kModemDown + "\" and \"" + kModemUp + "\"";
    } else {
        return webhook;
    }
    return std::nullopt;
}

bool Digits(const std::string& text, std::size_t low, std::size_t high) {
    return text.size() >= low && text.size() <= high &&
           text.find_first_not_of("0123456789") == std::string::npos;
}

// Where the modem is: a port or a device, exactly one, neither used by a modem before it.
std::string LineRefused(const ModemConfig& modem, std::set<std::string>& lines) {
    if ((modem.port == 0) == modem.device.empty()) {
        return "a modem takes either port or device: " +
               std::string(modem.port == 0 ? "neither is given" : "not both");
    }
    if (!modem.device.empty() && modem.device.front() != '/') {
        return "device takes the device's full path, such as /dev/serial/by-id/...";
    }
    if (!lines.insert(modem.Where()).second) {
        return "two modems use " + modem.Where();
    }
    return {};
}

// One [[modem]]; `names` and `lines` hold the modems before it.
std::optional<ModemConfig> ParseModem(const toml::table& table, std::set<std::string>& names,
                                      std::set<std::string>& lines, std::string& error) {
    ModemConfig modem;
    if (!ReadTable(table, ModemRules(), "[[modem]]", modem, error)) {
        return std::nullopt;
    }
    if (modem.prefix && modem.prefix->empty()) {
        modem.prefix.reset();
    }
    const std::string where = At(table);
    if (modem.name.empty() || modem.name.size() > 32 ||
        modem.name.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                     "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-") !=
            std::string::npos) {
        error = where + "a modem's name takes 1 to 32 letters, digits, _ and -";
    } else if (!names.insert(modem.name).second) {
        error = where + "two modems are named " + modem.name;
    } else if (const std::string line = LineRefused(modem, lines); !line.empty()) {
        error = where + line;
    } else if (modem.prefix && !Digits(*modem.prefix, 0, 8)) {
        error = where + "prefix takes up to 8 digits";
    } else if (modem.pin && !Digits(*modem.pin, 4, 8)) {
        error = where + "pin takes 4 to 8 digits";
    } else {
        return modem;
    }
    return std::nullopt;
}

// What the settings' ranges cannot say alone.
bool TopLevelSound(const Config& config, std::string& error) {
    const auto unsound = [](const std::string& key) {
        return key.size() < 16 || key.find_first_of(" \t\r\n") != std::string::npos;
    };
    if (config.apiKeys.empty()) {
        error = "api_keys needs at least one key: the API takes no request without one";
    } else if (std::any_of(config.apiKeys.begin(), config.apiKeys.end(), unsound)) {
        error = "each of api_keys needs 16 or more characters and no blanks";
    } else if (config.retryMaxMs < config.retryBaseMs ||
               config.restartMaxMs < config.restartBaseMs) {
        error = "a *_max_ms setting is smaller than its *_base_ms";
    } else {
        return true;
    }
    return false;
}

bool ReadModems(const toml::table& root, Config& config, std::string& error) {
    std::set<std::string> names;
    std::set<std::string> lines;
    if (const toml::array* modems = root["modem"].as_array()) {
        for (const toml::node& table : *modems) {
            auto modem = ParseModem(*table.as_table(), names, lines, error);
            if (!modem) {
                return false;
            }
            config.modems.push_back(std::move(*modem));
        }
    }
    if (config.modems.empty()) {
        error = "no modem: the configuration needs at least one [[modem]]";
        return false;
    }
    return true;
}

// Each setting as the documentation's table tells it: its type, default and range.
template <class T>
void Describe(const std::vector<Rule<T>>& rules, const std::string& table,
              std::vector<Setting>& out) {
    static const T defaults{};
    for (const Rule<T>& rule : rules) {
        Setting setting{table + rule.key, "string", "none", "", rule.meaning};
        std::visit(
            [&](auto field) {
                const auto& value = defaults.*field;
                using V = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<V, std::string>) {
                    setting.fallback = value.empty() ? "none" : "`\"" + value + "\"`";
                } else if constexpr (std::is_same_v<V, int>) {
                    setting.type = "integer";
                    setting.fallback = "`" + std::to_string(value) + "`";
                    setting.range = std::to_string(rule.low) + " to " + std::to_string(rule.high);
                } else if constexpr (std::is_same_v<V, bool>) {
                    setting.type = "boolean";
                    setting.fallback = value ? "`true`" : "`false`";
                } else if constexpr (std::is_same_v<V, std::vector<std::string>>) {
                    setting.type = "array of strings";
                }
            },
            rule.field);
        if (rule.fallback != nullptr) {
            setting.fallback = rule.fallback;
        }
        out.push_back(std::move(setting));
    }
}

}  // namespace

std::vector<Setting> Settings() {
    std::vector<Setting> settings;
    Describe(TopRules(), "", settings);
    Describe(ModemRules(), "[[modem]] ", settings);
    Describe(WebhookRules(), "[webhook] ", settings);
    Describe(MqttRules(), "[mqtt] ", settings);
    return settings;
}

bool ParseMqttUrl(const std::string& url, std::string& host, int& port) {
    // libcurl takes the URL apart; an empty port ("mqtt://broker:"), which it allows, is
    // refused as a slip.
    if (url.rfind("mqtt://", 0) != 0 ||
        url.substr(0, url.find_last_not_of('/') + 1).back() == ':') {
        return false;
    }
    const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), &curl_url_cleanup);
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(),
                                CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return false;
    }
    const auto part = [&](CURLUPart which) -> std::optional<std::string> {
        char* text = nullptr;
        if (curl_url_get(parsed.get(), which, &text, 0) != CURLUE_OK || text == nullptr) {
            return std::nullopt;
        }
        std::string value(text);
        curl_free(text);
        return value;
    };
    // The broker alone: no user, no path, no query, no fragment.
    const auto path = part(CURLUPART_PATH);
    if (part(CURLUPART_USER) || part(CURLUPART_QUERY) || part(CURLUPART_FRAGMENT) ||
        (path && *path != "/" && !path->empty())) {
        return false;
    }
    std::string name = part(CURLUPART_HOST).value_or("");
    if (name.size() > 2 && name.front() == '[') {  // an IPv6 address
        name = name.substr(1, name.size() - 2);
    }
    const int number = std::stoi(part(CURLUPART_PORT).value_or("1883"));
    if (name.empty() || number < 1) {
        return false;
    }
    host = name;
    port = number;
    return true;
}

std::optional<Config> ParseConfig(const std::string& text, std::string& error) {
    toml::table root;
    try {
        root = toml::parse(text);
    } catch (const toml::parse_error& e) {
        error =
            "line " + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
        return std::nullopt;
    }
    // The tables the top level may hold: [webhook], [mqtt] and [[modem]], nothing else.
    for (const auto& [key, value] : root) {
        const std::string name(key.str());
        const bool table = name == "webhook" || name == "mqtt";
        if (name == "modem" && !value.is_array_of_tables()) {
            error = At(value) + "modems are [[modem]] tables";
        } else if (value.is_array_of_tables() && name != "modem") {
            error = At(value) + "there is no table [[" + name + "]]; modems are [[modem]]";
        } else if (value.is_table() && !table) {
            error = At(value) + "there is no table [" + name + "]";
        } else if (table && !value.is_table()) {
            error = At(value) + name + " takes a table: [" + name + "]";
        } else {
            continue;
        }
        return std::nullopt;
    }
    Config config;
    if (!ReadTable(root, TopRules(), "the top level", config, error,
                   {"webhook", "mqtt", "modem"}) ||
        !TopLevelSound(config, error)) {
        return std::nullopt;
    }
    if (const toml::table* table = root["webhook"].as_table()) {
        config.webhook = ParseWebhook(*table, error);
        if (!config.webhook) {
            return std::nullopt;
        }
    }
    if (const toml::table* table = root["mqtt"].as_table()) {
        config.mqtt = ParseMqtt(*table, config.name, error);
        if (!config.mqtt) {
            return std::nullopt;
        }
    }
    if (!ReadModems(root, config, error)) {
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
