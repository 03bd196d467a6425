// Codec throughput, as a guard against regressions: the PDU builder and parser, the UCS2
// conversions and the two text-mode listing parsers.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "codec/Listing.h"
#include "codec/Pdu.h"
#include "codec/Text.h"

namespace {

const std::string kChinese = "\xE4\xBD\xA0\xE5\xA5\xBD\xEF\xBC\x8C\xE4\xB8\x96\xE7\x95\x8C";

GSM::MsgRecord Ucs2Record(const std::string& text) {
    GSM::MsgRecord record{};
    std::strcpy(record.serviceCentre, "8613800100500");
    std::strcpy(record.number, "8613912345678");
    record.coding = GSM::kCodingUcs2;
    std::memcpy(record.text, text.data(), std::min(text.size(), sizeof record.text - 1));
    return record;
}

std::string Repeat(const std::string& piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) {
        text += piece;
    }
    return text;
}

void BuildSubmitPdu(benchmark::State& state) {
    const auto record = Ucs2Record(Repeat(kChinese, 14));  // 70 units: one full part
    char out[1024];
    if (GSM::BuildSubmitPdu(record, out, true) == 0) {
        state.SkipWithError("no unit built");
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(GSM::BuildSubmitPdu(record, out, true));
    }
}
BENCHMARK(BuildSubmitPdu);

// One 7-bit and one UCS2 unit, as a PDU listing carries them.
const char* const kDeliverGsm =
    "0891683108100005F0040D91683108108300F000006221706083840005C8329BFD06";
const char* const kDeliverUcs2 =
    "0891683108100005F0040D91683119325476F8000881908290935523"
    "0A4F60597DFF0C4E16754C";

void ParseDeliverPdu(benchmark::State& state) {
    const char* unit = state.range(0) == 0 ? kDeliverGsm : kDeliverUcs2;
    GSM::MsgRecord record{};
    if (!GSM::ParseDeliverPdu(unit, record).parsed) {
        state.SkipWithError("the unit does not parse");
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(GSM::ParseDeliverPdu(unit, record));
    }
}
BENCHMARK(ParseDeliverPdu)->Arg(0)->Arg(1)->ArgNames({"ucs2"});

void LocalToUcs2(benchmark::State& state) {
    const std::string text = Repeat(kChinese, static_cast<std::size_t>(state.range(0)));
    uint8_t out[2 * GSM::kMaxUcs2Units];
    for (auto _ : state) {
        benchmark::DoNotOptimize(GSM::LocalToUcs2(text, out));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(LocalToUcs2)->Arg(1)->Arg(14);

void Ucs2ToLocal(benchmark::State& state) {
    uint8_t units[2 * GSM::kMaxUcs2Units];
    const std::size_t n = GSM::LocalToUcs2(Repeat(kChinese, 14), units);
    char out[1024];
    for (auto _ : state) {
        benchmark::DoNotOptimize(GSM::Ucs2ToLocal(std::span<const uint8_t>(units, n), out));
    }
}
BENCHMARK(Ucs2ToLocal);

void HexRoundTrip(benchmark::State& state) {
    uint8_t units[2 * GSM::kMaxUcs2Units];
    const std::size_t n = GSM::LocalToUcs2(Repeat(kChinese, 14), units);
    char hex[1024];
    uint8_t back[512];
    for (auto _ : state) {
        const std::size_t h = GSM::BytesToHex(std::span<const uint8_t>(units, n), hex);
        benchmark::DoNotOptimize(GSM::HexToBytes(std::string_view(hex, h), back));
    }
}
BENCHMARK(HexRoundTrip);

void ParseReadReply(benchmark::State& state) {
    const std::string reply =
        " \"REC UNREAD\",\"13912345678\",\"2018/09/28 09:39:55\",0,2,0,0,\"+8613800100500\","
        "145,5\r\nHello there, this is a plain text message\r\n\r\nOK\r\n";
    GSM::MsgRecord record{};
    if (!GSM::ParseReadReply(reply, record)) {
        state.SkipWithError("the reply does not parse");
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(GSM::ParseReadReply(reply, record));
    }
}
BENCHMARK(ParseReadReply);

void ParseUcs2ListEntry(benchmark::State& state) {
    uint8_t units[2 * GSM::kMaxUcs2Units];
    const std::size_t n = GSM::LocalToUcs2(Repeat(kChinese, 14), units);
    const std::string entry =
        "+CMGL: 3,\"REC UNREAD\",\"002B0031003300390031\",\"18/09/28,09:39:55+32\"\r\n" +
        GSM::BytesToHexString(std::span<const uint8_t>(units, n)) + "\r\n";
    GSM::MsgRecord record{};
    if (!GSM::ParseUcs2ListEntry(entry, record)) {
        state.SkipWithError("the entry does not parse");
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(GSM::ParseUcs2ListEntry(entry, record));
    }
}
BENCHMARK(ParseUcs2ListEntry);

}  // namespace

BENCHMARK_MAIN();
