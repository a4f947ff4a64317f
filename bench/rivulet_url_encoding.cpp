// URL-encoding 10,000 parameters into a query, against escaping the same keys and values with raw
// curl_easy_escape and joining them by hand. The ratio (ours / raw) is reported as a counter: ours
// also walks the sorted map of Values. The last line prints it, the median over repetitions (goal <= 1.0).
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "Rivulet/Source/ParameterEncoding.h"
#include "bench/PeerRatio.h"

namespace {

using rivulet::Parameters;
using rivulet::URLEncoding;

struct Input {
    Parameters parameters;
    std::vector<std::pair<std::string, std::string>> pairs;  // the same, as plain strings
};

const Input& input() {
    static const Input in = [] {
        Input out;
        for (int i = 0; i < 10000; ++i) {
            std::string key = "key_" + std::to_string(i);
            std::string value = "value " + std::to_string(i * 7) + "&x=y/" + (i % 3 ? "caf\xC3\xA9" : "plain");
            out.parameters.emplace(key, value);
            out.pairs.emplace_back(key, value);
        }
        return out;
    }();
    return in;
}

std::string rawCurlQuery(CURL* curl, const std::vector<std::pair<std::string, std::string>>& pairs) {
    std::string out;
    for (const auto& [key, value] : pairs) {
        char* k = curl_easy_escape(curl, key.data(), static_cast<int>(key.size()));
        char* v = curl_easy_escape(curl, value.data(), static_cast<int>(value.size()));
        if (!out.empty()) out += '&';
        out += k;
        out += '=';
        out += v;
        curl_free(k);
        curl_free(v);
    }
    return out;
}

void BM_RivuletURLEncodingQuery(benchmark::State& state) {
    const URLEncoding encoding;
    for (auto _ : state) benchmark::DoNotOptimize(encoding.query(input().parameters));
    state.SetItemsProcessed(int64_t(state.iterations()) * 10000);
}
BENCHMARK(BM_RivuletURLEncodingQuery)->Unit(benchmark::kMillisecond);

void BM_RawCurlEscape(benchmark::State& state) {
    CURL* curl = curl_easy_init();
    for (auto _ : state) benchmark::DoNotOptimize(rawCurlQuery(curl, input().pairs));
    curl_easy_cleanup(curl);
    state.SetItemsProcessed(int64_t(state.iterations()) * 10000);
}
BENCHMARK(BM_RawCurlEscape)->Unit(benchmark::kMillisecond);

// Both in one interleaved loop, so the ratio is not skewed by frequency changes between runs.
void BM_RivuletVersusCurlRatio(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    const URLEncoding encoding;
    CURL* curl = curl_easy_init();
    Clock::duration ours{}, raw{};
    for (auto _ : state) {
        auto t0 = Clock::now();
        benchmark::DoNotOptimize(encoding.query(input().parameters));
        auto t1 = Clock::now();
        benchmark::DoNotOptimize(rawCurlQuery(curl, input().pairs));
        auto t2 = Clock::now();
        ours += t1 - t0;
        raw += t2 - t1;
    }
    curl_easy_cleanup(curl);
    state.counters["rivulet/curl"] = raw.count() ? double(ours.count()) / double(raw.count()) : 0.0;
    if (raw.count()) bench::recordPeerRatio("escape", double(ours.count()) / double(raw.count()));
}
BENCHMARK(BM_RivuletVersusCurlRatio)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("ratio URLEncoding query / curl_easy_escape: %.2fx (goal <= 1.0x)\n", bench::medianPeerRatio("escape"));
    return 0;
}
