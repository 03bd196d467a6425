// The dialogue against its floor: the real library on the simulated modem, replying after a
// fixed latency. For each model: start to result, one part to its report, N received
// messages to the caller and deleted, and a text queued on a quiet service to its body at
// the modem, each beside the floor of the commands actually exchanged.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "Floor.h"
#include "Modem.h"
#include "Tarvik.h"

namespace {

using Bench::Clock;
using Bench::Event;

constexpr int kPort = 9;
constexpr int kBaud = 115200;

struct Sample {
    double measured = 0;
    double floor = 0;
};

struct Model {
    const char* name;
    int code;
    Bench::Submit submit;
};

std::vector<Event> EventsOf(ModemSim::CModem& modem) {
    return Bench::Events(modem.Port().ReceivedLog());
}

// The first command of the next receive pass that begins at or after event `from`.
std::optional<std::size_t> NextPass(ModemSim::CModem& modem, std::size_t from) {
    std::optional<std::size_t> anchor;
    Bench::WaitFor(
        [&] {
            const auto events = EventsOf(modem);
            for (std::size_t i = from; i < events.size(); ++i) {
                if (Bench::FloorModel::StartsReceivePass(events[i].text)) {
                    // A UCS2 listing is opened by its character set.
                    const bool opened = i > from && events[i - 1].text == "AT+CSCS=\"UCS2\"";
                    anchor = opened ? i - 1 : i;
                    return true;
                }
            }
            return false;
        },
        std::chrono::seconds(30));
    return anchor;
}

std::optional<std::size_t> Last(const std::vector<Event>& events, std::size_t from,
                                const char* prefix, Event::Kind kind = Event::Kind::Command) {
    std::optional<std::size_t> found;
    for (std::size_t i = from; i < events.size(); ++i) {
        if (events[i].kind == kind && Bench::StartsWith(events[i].text, prefix)) {
            found = i;
        }
    }
    return found;
}

class Runner {
public:
    Runner(const Model& model, int latencyMs, const std::string& dir) : model_(model), dir_(dir) {
        floor_.latencyMs = latencyMs;
        floor_.submit = model.submit;
        profile_ = ModemSim::ProfileFor(model.name);
        profile_.replyLatencyMs = latencyMs;
        floor_.reportPauseMs = profile_.reportPauseMs;
        floor_.burstPauseMs = profile_.burstPauseMs;
    }

    bool Run(std::map<std::string, std::vector<Sample>>& samples) {
        ModemSim::CModem modem(dir_, kPort, profile_);
        bool ok = Start(modem, samples) && Send(modem, samples);
        for (int n : {1, 10, 50}) {
            ok = ok && Receive(modem, n, samples);
        }
        SMSStopSerice();
        return ok;
    }

private:
    bool Start(ModemSim::CModem& modem, std::map<std::string, std::vector<Sample>>& samples) {
        const auto t0 = Clock::now();
        const int started = SMSStartService(kPort, kBaud, 0, 0, 0, 0, nullptr);
        const auto t1 = Clock::now();
        const auto events = EventsOf(modem);
        const auto last = Last(events, 0, "AT+CSCA?");
        if (started != 1 || !last) {
            std::fprintf(stderr, "%s: start failed\n", model_.name);
            return false;
        }
        samples["start"].push_back(
            {Bench::MsBetween(t0, t1), floor_.Sequence(events, 0, *last, false, false)});
        return true;
    }

    bool Send(ModemSim::CModem& modem, std::map<std::string, std::vector<Sample>>& samples) {
        const auto anchor = NextPass(modem, EventsOf(modem).size());
        if (!anchor) {
            return false;
        }
        const auto t0 = Clock::now();
        if (SMSSendMessage2("Bench text", "13912345678", "86") < 0) {
            return false;
        }
        SendReport report{};
        std::optional<Clock::time_point> t1;
        Bench::WaitFor(
            [&] {
                if (SMSReport(&report) == 1) {
                    t1 = Clock::now();
                }
                return t1.has_value();
            },
            std::chrono::seconds(30));
        const auto events = EventsOf(modem);
        const auto body = Last(events, *anchor, "", Event::Kind::Body);
        if (!t1 || report.result != 1 || !body || *body == 0) {
            std::fprintf(stderr, "%s: no report or no body\n", model_.name);
            return false;
        }
        const std::size_t command = *body - 1;
        const auto base = events[*anchor].at;
        const double toReport = floor_.Sequence(events, *anchor, command, false, false);
        const double toBody = floor_.Sequence(events, *anchor, command, true, false);
        samples["send"].push_back(
            {Bench::MsBetween(t0, *t1), toReport - Bench::MsBetween(base, t0)});
        samples["idle"].push_back(
            {Bench::MsBetween(t0, events[*body].at), toBody - Bench::MsBetween(base, t0)});
        return true;
    }

    bool Receive(ModemSim::CModem& modem, int n,
                 std::map<std::string, std::vector<Sample>>& samples) {
        const auto anchor = NextPass(modem, EventsOf(modem).size());
        if (!anchor) {
            return false;
        }
        for (int i = 0; i < n; ++i) {
            ModemSim::StoredMessage message;
            message.number = "10086";
            message.text = "Bench message " + std::to_string(i);
            message.time = ModemSim::TimeNow();
            modem.StoreMessage(message);
        }
        const auto t0 = Clock::now();
        int fetched = 0;
        Clock::time_point lastFetch = t0;
        const bool done = Bench::WaitFor(
            [&] {
                RecvMsg message{};
                while (SMSGetNextMessage(&message) == 1) {
                    ++fetched;
                    lastFetch = Clock::now();
                }
                return fetched >= n && modem.Storage().empty();
            },
            std::chrono::seconds(300));
        const auto events = EventsOf(modem);
        const auto lastDelete = Last(events, *anchor, "AT+CMGD=");
        if (!done || !lastDelete) {
            std::fprintf(stderr, "%s: %d of %d received\n", model_.name, fetched, n);
            return false;
        }
        const auto end = std::max(events[*lastDelete].at, lastFetch);
        if (std::getenv("TARVIK_BENCH_TRACE") != nullptr) {
            for (std::size_t i = *anchor; i <= *lastDelete; ++i) {
                std::fprintf(stderr, "%8.1f %s\n",
                             Bench::MsBetween(events[*anchor].at, events[i].at),
                             events[i].text.c_str());
            }
        }
        const double floor = floor_.Sequence(events, *anchor, *lastDelete, false, true) -
                             Bench::MsBetween(events[*anchor].at, t0);
        samples["receive " + std::to_string(n)].push_back({Bench::MsBetween(t0, end), floor});
        return true;
    }

    Model model_;
    std::string dir_;
    Bench::FloorModel floor_;
    ModemSim::ModemProfile profile_;
};

const char* Label(const std::string& key) {
    static const std::map<std::string, const char*> kLabels = {
        {"start", "start to result"},
        {"send", "one part to its report"},
        {"idle", "queued on a quiet service to body at modem"},
        {"receive 1", "1 received, fetched and deleted"},
        {"receive 10", "10 received, fetched and deleted"},
        {"receive 50", "50 received, fetched and deleted"},
    };
    const auto it = kLabels.find(key);
    return it != kLabels.end() ? it->second : key.c_str();
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    int latencyMs = 20;
    std::vector<std::string> only;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--runs") == 0) {
            runs = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--latency") == 0) {
            latencyMs = std::atoi(argv[i + 1]);
        } else if (std::strcmp(argv[i], "--model") == 0) {
            only.emplace_back(argv[i + 1]);
        }
    }
    const Model models[] = {{"MU609", 9, Bench::Submit::Prompted},
                            {"MC8332", 10, Bench::Submit::Unprompted},
                            {"SIM6320C", 15, Bench::Submit::Ucs2Text}};
    Bench::PortDir dir;
    std::printf("Simulator latency %d ms, %d runs per model. Times in ms; spread is min-max.\n\n",
                latencyMs, runs);
    std::printf(
        "| Model code | Exchange | Median | Spread | Floor | Ratio (median) | Ratio (worst) |\n");
    std::printf("|---|---|---:|---:|---:|---:|---:|\n");
    std::fflush(stdout);
    int status = 0;
    for (const Model& model : models) {
        if (!only.empty() && std::find(only.begin(), only.end(), model.name) == only.end()) {
            continue;
        }
        std::map<std::string, std::vector<Sample>> samples;
        Runner runner(model, latencyMs, dir.Path());
        for (int r = 0; r < runs; ++r) {
            if (!runner.Run(samples)) {
                status = 1;
            }
        }
        for (const char* key : {"start", "send", "idle", "receive 1", "receive 10", "receive 50"}) {
            const auto& list = samples[key];
            if (list.empty()) {
                continue;
            }
            std::vector<double> measured, floors, ratios;
            for (const Sample& s : list) {
                measured.push_back(s.measured);
                floors.push_back(s.floor);
                ratios.push_back(s.measured / s.floor);
            }
            std::printf("| %d (%s) | %s | %.1f | %.1f-%.1f | %.1f | %.3f | %.3f |\n", model.code,
                        model.name, Label(key), Bench::Median(measured),
                        Bench::Percentile(measured, 0), Bench::Percentile(measured, 1),
                        Bench::Median(floors), Bench::Median(ratios), Bench::Percentile(ratios, 1));
            std::fflush(stdout);
        }
    }
    return status;
}
