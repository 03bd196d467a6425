// The settle gap of quick replies, measured at 0, 20 and 50 ms on the simulated modem (its
// reply latency 20 ms): the time of a plain command and of a text submission, and how the
// two modems quick replies can trip over fare: one that sends lines 8 ms behind its final
// result (do they stay in the command's burst?) and one that takes text only 10 ms after
// its prompt (does the body arrive?).
//   tarvik-bench-settle [ROUNDS]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "BenchSupport.h"
#include "Modem.h"
#include "Profiles.h"
#include "engine/ComBaseCmd.h"
#include "engine/ModelTable.h"
#include "engine/ProcessState.h"
#include "engine/ReplyReader.h"

namespace {

constexpr int kPort = 7;

GSM::OutgoingPart TextPart() {
    GSM::OutgoingPart part;
    std::memset(&part, 0, sizeof part);
    std::strcpy(part.record.number, "8613912345678");
    std::strcpy(part.record.text, "Settle");
    part.prefixLength = 2;
    return part;
}

struct Result {
    double commandMs = 0;
    double submitMs = 0;
    int trailingKept = 0;  // commands whose burst held the line behind the result
    int earlyAccepted = 0;
};

Result Measure(const std::string& dir, int settleMs, int rounds) {
    Result result;
    ModemSim::ModemProfile profile = ModemSim::ProfileFor("MU609");
    profile.replyLatencyMs = 20;
    ModemSim::CModem modem(dir, kPort, profile);
    CSXCom port;
    serial::SerialTiming timing;
    timing.settleGapMs = settleMs;
    port.SetTiming(timing);
    if (port.Open(kPort, 115200) != 1) {
        std::fprintf(stderr, "cannot open the simulated port\n");
        std::exit(1);
    }
    GSM::SetQuickReplies(port, true);
    GSM::IComBaseCmd engine;
    GSM::modelCode.store(GSM::kModelCommon);
    engine.SetMessageFormat(port, 1);

    auto t0 = Bench::Clock::now();
    for (int i = 0; i < rounds; ++i) {
        engine.SendSimpleCommand(port, "AT\r\n");
    }
    result.commandMs = Bench::MsBetween(t0, Bench::Clock::now()) / rounds;

    t0 = Bench::Clock::now();
    for (int i = 0; i < rounds; ++i) {
        engine.SendMessage(port, TextPart());
    }
    result.submitMs = Bench::MsBetween(t0, Bench::Clock::now()) / rounds;

    modem.UnsolicitedAround("AT+CSQ", "+CMTI: \"SM\",3", false, -1, 8);
    for (int i = 0; i < rounds; ++i) {
        port.Write("AT+CSQ\r\n", 8);
        char reply[1024] = {};
        port.Read(reply, sizeof reply - 1);
        result.trailingKept += std::strstr(reply, "+CMTI:") != nullptr ? 1 : 0;
        port.Pause(100);  // a line that missed the burst is read and dropped here
        port.Purge(PURGE_ALL);
    }

    modem.UpdateProfile([](ModemSim::ModemProfile& p) { p.promptReadyMs = 10; });
    for (int i = 0; i < rounds; ++i) {
        result.earlyAccepted += engine.SendMessage(port, TextPart());
        if (modem.InTextEntry()) {
            port.Write("\x1B", 1);  // a lost body leaves the modem waiting: let it go
            port.Pause(50);
        }
        port.Purge(PURGE_ALL);
    }
    port.Close();
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
    Bench::PortDir dir;
    std::printf("Simulator latency 20 ms, %d rounds each. Times in ms, means.\n\n", rounds);
    std::printf(
        "| Settle gap | AT command | Text submission | Line 8 ms behind OK kept in its "
        "burst | Prompt 10 ms early: texts accepted |\n");
    std::printf("|---:|---:|---:|---:|---:|\n");
    for (int settle : {0, 20, 50}) {
        const Result r = Measure(dir.Path(), settle, rounds);
        std::printf("| %d | %.1f | %.1f | %d of %d | %d of %d |\n", settle, r.commandMs, r.submitMs,
                    r.trailingKept, rounds, r.earlyAccepted, rounds);
        std::fflush(stdout);
    }
    return 0;
}
