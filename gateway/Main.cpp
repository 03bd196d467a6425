// tarvikd: the SMS gateway daemon. Reads its configuration, opens the store, supervises a
// `tarvik serve` child per modem, serves the HTTP API and hands received messages on.
#include <getopt.h>
#include <signal.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <curl/curl.h>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

#include "Api.h"
#include "Config.h"
#include "Fleet.h"
#include "Log.h"
#include "PortProbe.h"
#include "Publishers.h"
#include "Store.h"

namespace {

using namespace Tarvikd;

const char kUsage[] =
    "usage: tarvikd [--config FILE] [--check-config]\n"
    "The SMS gateway daemon: a durable outbox and inbox in SQLite or PostgreSQL, one\n"
    "`tarvik serve` child per modem, an HTTP API and webhooks. The configuration is\n"
    "/etc/tarvik/tarvikd.toml unless --config names another; --check-config reads it, says\n"
    "what is wrong or that it is sound, then whether each modem's device is there, held by\n"
    "another program or answers AT, and exits (0 sound, 2 not). SIGTERM or SIGINT stops\n"
    "the daemon.\n";

bool Executable(const std::string& path) {
    return access(path.c_str(), X_OK) == 0;
}

// The tarvik program: the configured one, the one beside tarvikd, or the first on PATH.
std::string FindTarvik(const Config& config) {
    if (!config.tarvik.empty()) {
        return config.tarvik;
    }
    char self[4096] = {};
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        std::string beside(self, static_cast<std::size_t>(length));
        beside = beside.substr(0, beside.rfind('/') + 1) + "tarvik";
        if (Executable(beside)) {
            return beside;
        }
    }
    const char* path = std::getenv("PATH");
    std::istringstream folders(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (Executable(folder + "/tarvik")) {
            return folder + "/tarvik";
        }
    }
    return "/usr/bin/tarvik";
}

// The command line into `configPath` and `check`; an exit code when there is nothing more
// to do (help, version, a mistake), else -1.
int ReadOptions(int argc, char** argv, std::string& configPath, bool& check) {
    const option options[] = {{"config", required_argument, nullptr, 'c'},
                              {"check-config", no_argument, nullptr, 'k'},
                              {"help", no_argument, nullptr, 'h'},
                              {"version", no_argument, nullptr, 'v'},
                              {nullptr, 0, nullptr, 0}};
    for (int opt = 0; (opt = getopt_long(argc, argv, "h", options, nullptr)) != -1;) {
        switch (opt) {
            case 'c':
                configPath = optarg;
                break;
            case 'k':
                check = true;
                break;
            case 'h':
                std::fputs(kUsage, stdout);
                return 0;
            case 'v':
                std::printf("tarvikd %s\n", TARVIK_VERSION);
                return 0;
            default:  // getopt_long has said what is wrong
                std::fputs(kUsage, stderr);
                return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "tarvikd: unknown argument %s\n%s", argv[optind], kUsage);
        return 2;
    }
    return -1;
}

// What --check-config says of a sound configuration; 0, or 2 when tarvik is not there.
int ShowSound(const std::string& configPath, const Config& config, const std::string& tarvik) {
    const std::string broker = config.mqtt ? ", MQTT broker " + config.mqtt->host + ":" +
                                                 std::to_string(config.mqtt->port) + " as " +
                                                 config.mqtt->clientId
                                           : "";
    std::printf("%s: sound; %zu modem(s), store %s, API on %s:%d%s, tarvik %s%s\n",
                configPath.c_str(), config.modems.size(), StoreShown(config.store).c_str(),
                config.listen.c_str(), config.httpPort, broker.c_str(), tarvik.c_str(),
                Executable(tarvik) ? "" : " (not found)");
    return Executable(tarvik) ? 0 : 2;
}

// What --check-config finds at a modem's device, without disturbing a daemon that runs it.
std::string DeviceFinding(const ModemConfig& modem, const Config& config) {
    const std::string path = DevicePath(modem, config);
    const std::string shown = path == modem.Where() ? path : modem.Where() + " (" + path + ")";
    if (path.empty() || access(path.c_str(), F_OK) != 0) {
        return shown + " does not exist";
    }
    const TarvikCli::Probe probe = TarvikCli::ProbeDevice(path, modem.baud);
    if (!probe.heldBy.empty()) {
        return shown + " is held by " + probe.heldBy + " (not touched)";
    }
    if (!probe.opened) {
        return shown + " cannot be opened";
    }
    return shown + (probe.answers ? " answers AT" : " does not answer AT");
}

// Each modem's device as --check-config tells it.
void ShowDevices(const Config& config) {
    for (const ModemConfig& modem : config.modems) {
        std::printf("modem %s: %s\n", modem.name.c_str(), DeviceFinding(modem, config).c_str());
        std::fflush(stdout);
    }
}

// The signals are taken by the main thread alone, with sigtimedwait; every thread started
// after this inherits the mask.
sigset_t BlockStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return stopSignals;
}

// Refused, a shared store's sweep settles them once their lease runs out.
void RecoverInterrupted(IStore& store) {
    int unknown = 0;
    if (StoreCall([&] { unknown = store.RecoverInterrupted(NowMs()); }) && unknown > 0) {
        Log(Level::Warning, std::to_string(unknown) +
                                " message(s) were with a modem when the daemon stopped: unknown");
    }
}

// Feeds the watchdog until a stop signal comes; the signal.
int WaitForStop(const sigset_t& stopSignals, const CFleet& fleet, const CWebhook* webhook) {
    uint64_t watchdogUs = 0;
    const bool watchdog = sd_watchdog_enabled(0, &watchdogUs) > 0;
    const int64_t beatMs =
        std::max<int64_t>(watchdog ? static_cast<int64_t>(watchdogUs / 2000) : 1000, 100);
    timespec wait{};
    wait.tv_sec = static_cast<time_t>(beatMs / 1000);
    wait.tv_nsec = static_cast<long>((beatMs % 1000) * 1000000);
    while (true) {
        const int received = sigtimedwait(&stopSignals, nullptr, &wait);
        if (received > 0) {
            return received;
        }
        // The watchdog is fed only while the senders and the webhook still go round.
        if (watchdog && fleet.Alive() &&
            (webhook == nullptr || NowMs() - webhook->LastBeat() < 60000)) {
            sd_notify(0, "WATCHDOG=1");
        }
    }
}
}  // namespace

int main(int argc, char** argv) {
    std::string configPath = kDefaultConfigPath;
    bool check = false;
    if (const int done = ReadOptions(argc, argv, configPath, check); done >= 0) {
        return done;
    }
    std::string error;
    const std::optional<Config> config = LoadConfig(configPath, error);
    if (!config) {
        std::fprintf(stderr, "tarvikd: %s\n", error.c_str());
        return 2;
    }
    const std::string tarvik = FindTarvik(*config);
    if (check) {
        const int sound = ShowSound(configPath, *config, tarvik);
        ShowDevices(*config);
        return sound;
    }
    const sigset_t stopSignals = BlockStopSignals();
    signal(SIGPIPE, SIG_IGN);
    curl_global_init(CURL_GLOBAL_DEFAULT);

    StoreOptions storeOptions;
    storeOptions.daemon = config->name;
    storeOptions.events = config->mqtt.has_value();
    storeOptions.webhook = config->webhook.has_value();
    storeOptions.deliveryTimeoutMs = config->deliveryTimeoutMs;
    std::unique_ptr<IStore> store = OpenStore(config->store, storeOptions, error);
    if (!store) {
        Log(Level::Error, error);
        return 1;
    }
    RecoverInterrupted(*store);
    // Started before anything changes so that it publishes what the recovery wrote.
    std::unique_ptr<CMqtt> mqtt;
    if (config->mqtt) {
        mqtt = std::make_unique<CMqtt>(*config->mqtt, *store);
        mqtt->Start();
    }
    CFleet fleet(*config, *store, tarvik);
    // Posted beside the messages' webhook, on a thread of their own.
    std::unique_ptr<CModemEvents> modemEvents;
    if (config->webhook && !config->webhook->events.empty()) {
        modemEvents = std::make_unique<CModemEvents>(*config->webhook, *store);
        modemEvents->Start();
        fleet.OnChange([&modemEvents](const ModemChange& change) { modemEvents->Tell(change); });
    }
    CApi api(*config, *store, fleet, mqtt.get());
    if (!api.Start(error)) {
        Log(Level::Error, error);
        return 1;
    }
    fleet.Start();
    std::unique_ptr<CWebhook> webhook;
    if (config->webhook) {
        webhook = std::make_unique<CWebhook>(*config->webhook, *store);
        webhook->Start();
    }
    Log(Level::Info, "listening on " + config->listen + ":" + std::to_string(config->httpPort) +
                         " with " + std::to_string(config->modems.size()) + " modem(s)");
    sd_notify(0, "READY=1");
    const int received = WaitForStop(stopSignals, fleet, webhook.get());
    Log(Level::Info, std::string("stopping on ") + strsignal(received));
    sd_notify(0, "STOPPING=1");
    api.Stop();
    if (webhook) {
        webhook->Stop();
    }
    fleet.Stop();
    if (modemEvents) {
        modemEvents->Stop();
    }
    // Last: what the fleet's stop changed still goes out while the broker is there.
    if (mqtt) {
        mqtt->Stop();
    }
    curl_global_cleanup();
    return 0;
}
