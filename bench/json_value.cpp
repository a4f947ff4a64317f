// JSON reading into Value against nlohmann's own parse of the same ~1 MB document, plus writing.
// The last line prints the ratio of the two read timings (Value / nlohmann, the median over
// repetitions; goal <= 1.0).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <random>
#include <string>

#include "bench/PeerRatio.h"
#include "platform/foundation/JSON.h"

namespace {

using platform::Value;

// A deterministic document of nested objects and arrays, strings (with escapes and non-ASCII),
// integers and doubles, about `targetBytes` long.
const std::string& document() {
    static const std::string text = [] {
        std::mt19937 rng(42);
        auto word = [&](size_t n) {
            static const char* pieces[] = {"alpha", "beta", "gam\\\"ma", "d\xC3\xA9lta", "eps", "zeta_", "eta\\n"};
            std::string s;
            for (size_t i = 0; i < n; ++i) s += pieces[rng() % 7];
            return s;
        };
        std::string out = "[";
        size_t record = 0;
        while (out.size() < 1'000'000) {
            if (record++) out += ",";
            out += "{\"id\":" + std::to_string(record) + ",\"name\":\"" + word(3) +
                   "\",\"score\":" + std::to_string(double(rng() % 100000) / 7.0) +
                   ",\"active\":" + (rng() % 2 ? "true" : "false") + ",\"tags\":[";
            for (int t = 0, n = int(rng() % 5); t < n; ++t) out += (t ? ",\"" : "\"") + word(1) + "\"";
            out += "],\"meta\":{\"created\":" + std::to_string(1700000000 + rng() % 1000000) +
                   ",\"owner\":{\"login\":\"" + word(2) + "\",\"level\":" + std::to_string(rng() % 10) +
                   "},\"ratio\":" + std::to_string(double(rng() % 1000) / 1000.0) + ",\"note\":null}}";
        }
        return out + "]";
    }();
    return text;
}

void BM_ReadIntoValue(benchmark::State& state) {
    const std::string& text = document();
    for (auto _ : state) {
        auto v = platform::json::read(std::string_view(text));
        if (!v) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(v);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_ReadIntoValue)->Unit(benchmark::kMillisecond);

void BM_RawNlohmannParse(benchmark::State& state) {
    const std::string& text = document();
    for (auto _ : state) {
        auto j = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(j);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_RawNlohmannParse)->Unit(benchmark::kMillisecond);

void BM_WriteValue(benchmark::State& state) {
    const Value v = *platform::json::read(std::string_view(document()));
    for (auto _ : state) {
        auto text = platform::json::write(v);
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(document().size()));
}
BENCHMARK(BM_WriteValue)->Unit(benchmark::kMillisecond);

void BM_RawNlohmannDump(benchmark::State& state) {
    const nlohmann::json j = nlohmann::json::parse(document());
    for (auto _ : state) {
        auto text = j.dump();
        benchmark::DoNotOptimize(text);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(document().size()));
}
BENCHMARK(BM_RawNlohmannDump)->Unit(benchmark::kMillisecond);

// Measures both reads in one interleaved loop, so the ratio is not skewed by frequency changes between
// separate benchmark runs. Each result is freed (untimed) before the other read starts and the two take
// turns going first, so both start from the same heap: otherwise the one that reads while the other's
// result is still held gets different memory to build in.
void BM_ReadRatio(benchmark::State& state) {
    const std::string& text = document();
    using Clock = std::chrono::steady_clock;
    Clock::duration valueTime{}, rawTime{};
    auto readValue = [&] {
        auto t0 = Clock::now();
        auto v = platform::json::read(std::string_view(text));
        benchmark::DoNotOptimize(v);
        valueTime += Clock::now() - t0;
    };
    auto readRaw = [&] {
        auto t0 = Clock::now();
        auto j = nlohmann::json::parse(text);
        benchmark::DoNotOptimize(j);
        rawTime += Clock::now() - t0;
    };
    bool valueFirst = true;
    for (auto _ : state) {
        if (valueFirst) {
            readValue();
            readRaw();
        } else {
            readRaw();
            readValue();
        }
        valueFirst = !valueFirst;
    }
    const double ratio = double(valueTime.count()) / double(rawTime.count());
    state.counters["value/raw"] = ratio;
    bench::recordPeerRatio("read", ratio);
}
BENCHMARK(BM_ReadRatio)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::printf("document: %zu bytes\n", document().size());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("ratio json::read into Value / nlohmann parse: %.2fx (goal <= 1.0x)\n", bench::medianPeerRatio("read"));
    return 0;
}
