// The app core's gzip functions against raw zlib doing the same job on the same buffers: one gzip
// member at the default level, and inflation of it. The last line prints the ratio (raw zlib time over
// ours, the worse of the two directions, the median over repetitions; 1.0 means no overhead).
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/PeerRatio.h"
#include "zidedova_core/utilities/ZUTGzip.h"

namespace {

using Bytes = std::vector<uint8_t>;

// About 1 MB of upload-like records: repetitive keys, varying numbers and identifiers.
const Bytes& payload() {
    static const Bytes data = [] {
        std::mt19937 rng(7);
        std::string out;
        while (out.size() < 1'000'000) {
            out += "{\"name\":\"screen_view\",\"ts\":" + std::to_string(1700000000000ULL + rng() % 100000) +
                   ",\"params\":{\"screen\":\"page_" + std::to_string(rng() % 50) + "\",\"id\":\"" +
                   std::to_string(rng()) + std::to_string(rng()) + "\",\"engaged_ms\":" + std::to_string(rng() % 9000) +
                   "}}\n";
        }
        return Bytes(out.begin(), out.end());
    }();
    return data;
}

const Bytes& compressed() {
    static const Bytes data = *zidedova::ZUTDataByGzippingData(payload());
    return data;
}

Bytes rawGzip(const Bytes& in) {
    z_stream s{};
    deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&s, uLong(in.size())));
    s.next_in = const_cast<Bytef*>(in.data());
    s.avail_in = uInt(in.size());
    s.next_out = out.data();
    s.avail_out = uInt(out.size());
    deflate(&s, Z_FINISH);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
}

// Raw inflation is told the output size, which a caller of the real function never knows.
Bytes rawInflate(const Bytes& in, size_t outputSize) {
    z_stream s{};
    inflateInit2(&s, 15 + 32);
    Bytes out(outputSize);
    s.next_in = const_cast<Bytef*>(in.data());
    s.avail_in = uInt(in.size());
    s.next_out = out.data();
    s.avail_out = uInt(out.size());
    inflate(&s, Z_FINISH);
    out.resize(s.total_out);
    inflateEnd(&s);
    return out;
}

void BM_ZUTGzip(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(zidedova::ZUTDataByGzippingData(payload()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(payload().size()));
}
BENCHMARK(BM_ZUTGzip)->Unit(benchmark::kMillisecond);

void BM_RawZlibGzip(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(rawGzip(payload()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(payload().size()));
}
BENCHMARK(BM_RawZlibGzip)->Unit(benchmark::kMillisecond);

void BM_ZUTInflate(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(zidedova::ZUTDataByInflatingGzippedData(compressed()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(payload().size()));
}
BENCHMARK(BM_ZUTInflate)->Unit(benchmark::kMillisecond);

void BM_RawZlibInflate(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(rawInflate(compressed(), payload().size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(payload().size()));
}
BENCHMARK(BM_RawZlibInflate)->Unit(benchmark::kMillisecond);

// Both sides in one interleaved loop, so frequency changes between runs do not skew the ratio.
void BM_Ratio(benchmark::State& state) {
    using Clock = std::chrono::steady_clock;
    Clock::duration ours[2]{}, raw[2]{};
    for (auto _ : state) {
        auto t0 = Clock::now();
        benchmark::DoNotOptimize(zidedova::ZUTDataByGzippingData(payload()));
        auto t1 = Clock::now();
        benchmark::DoNotOptimize(rawGzip(payload()));
        auto t2 = Clock::now();
        benchmark::DoNotOptimize(zidedova::ZUTDataByInflatingGzippedData(compressed()));
        auto t3 = Clock::now();
        benchmark::DoNotOptimize(rawInflate(compressed(), payload().size()));
        auto t4 = Clock::now();
        ours[0] += t1 - t0;
        raw[0] += t2 - t1;
        ours[1] += t3 - t2;
        raw[1] += t4 - t3;
    }
    const double gzipRatio = double(raw[0].count()) / double(ours[0].count());
    const double inflateRatio = double(raw[1].count()) / double(ours[1].count());
    state.counters["gzip raw/ours"] = gzipRatio;
    state.counters["inflate raw/ours"] = inflateRatio;
    bench::recordPeerRatio("gzip", gzipRatio);
    bench::recordPeerRatio("inflate", inflateRatio);
}
BENCHMARK(BM_Ratio)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::printf("payload: %zu bytes, gzip: %zu bytes, zlib %s\n", payload().size(), compressed().size(), zlibVersion());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const double gzipRatio = bench::medianPeerRatio("gzip"), inflateRatio = bench::medianPeerRatio("inflate");
    std::printf("gzip raw/ours %.3f, inflate raw/ours %.3f\n", gzipRatio, inflateRatio);
    std::printf("ratio %.3f\n", std::min(gzipRatio, inflateRatio));
    return 0;
}
