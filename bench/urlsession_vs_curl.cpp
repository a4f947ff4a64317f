// URLSession against raw libcurl multi on loopback: many small requests (64 in flight, 1 KB bodies)
// and one 100 MB download. Prints the URLSession / raw ratios (medians of the repetitions) after the
// runs, the last line being the overall one.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "bench/RawCurlMulti.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/urlsession/URLSession.h"
#include "testing/TestHttpServer.h"

using namespace platform;
using tesmar_testing::Reply;
using tesmar_testing::TestHttpServer;

namespace {

constexpr int kInFlight = 64;
constexpr int kRequestsPerRound = 512;
constexpr uint64_t kLargeBody = 100ull << 20;
// The receive buffer the session gives download tasks; the raw side gets the same.
constexpr long kDownloadBuffer = 512L * 1024;
constexpr int64_t kResidentSample = 8 << 20;

bench::Rates g_rates;  // bytes or requests per second, by benchmark

TestHttpServer& server() {
    static TestHttpServer* s = [] {
        auto* srv = bench::makeServer(kInFlight).release();
        srv->route("GET", "/small", Reply::text(std::string(1024, 's')));
        srv->route("GET", "/large", Reply::streamed(kLargeBody));
        return srv;
    }();
    return *s;
}

void record(const std::string& name, const benchmark::State& state, double perSecond) {
    g_rates.record(name, int64_t(state.iterations()), perSecond);
}

// ---------------------------------------------------------------- URLSession

class CountingDelegate : public URLSessionDelegate {
public:
    std::shared_ptr<URLSession> session;
    URL target;
    int toStart = 0;
    int remaining = 0;
    std::atomic<int64_t> bytes{0};
    std::atomic<int64_t> peakResident{0};  // sampled every few megabytes of a download
    std::mutex m;
    std::condition_variable cv;

    void didReceiveData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>&,
                        const Bytes& data) override {
        bytes += int64_t(data.size());
    }
    void didWriteData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDownloadTask>&, int64_t n,
                      int64_t, int64_t) override {
        const int64_t after = bytes.fetch_add(n) + n;
        if (after / kResidentSample != (after - n) / kResidentSample)
            peakResident = std::max(peakResident.load(), bench::residentBytes());
    }
    void didCompleteWithError(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
                              const std::optional<Error>& e) override {
        if (e) std::fprintf(stderr, "request failed: %s\n", e->description().c_str());
        std::lock_guard lock(m);
        if (toStart > 0) {
            --toStart;
            session->dataTaskWithURL(target)->resume();
        }
        if (--remaining == 0) cv.notify_all();
    }
    void run(int total, int inFlight, bool download) {
        std::unique_lock lock(m);
        remaining = total;
        toStart = total - inFlight;
        for (int i = 0; i < inFlight; ++i) {
            if (download)
                session->downloadTaskWithURL(target)->resume();
            else
                session->dataTaskWithURL(target)->resume();
        }
        cv.wait(lock, [&] { return remaining == 0; });
    }
};

std::shared_ptr<URLSession> makeSession(const std::shared_ptr<CountingDelegate>& d) {
    auto config = URLSessionConfiguration::ephemeralSessionConfiguration();
    config.HTTPMaximumConnectionsPerHost = kInFlight;
    config.HTTPShouldSetCookies = false;
    config.URLCache = nullptr;  // raw curl keeps no answers either
    return URLSession::sessionWithConfiguration(config, d, nullptr);
}

void BM_URLSessionSmallRequests(benchmark::State& state) {
    auto d = std::make_shared<CountingDelegate>();
    d->session = makeSession(d);
    d->target = *URL::string(server().url("/small"));
    int64_t done = 0;
    const double cpuStart = bench::processCPUSeconds();
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        d->run(kRequestsPerRound, kInFlight, false);
        done += kRequestsPerRound;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    record("small/urlsession", state, double(done) / secs);
    // CPU per request, all threads (client, server, queues): what a busy machine has to find time for.
    state.counters["cpu_us_per_request"] = (bench::processCPUSeconds() - cpuStart) * 1e6 / double(done);
    state.SetItemsProcessed(done);
    d->session->invalidateAndCancel();
    d->session.reset();
}

// ---------------------------------------------------------------- raw curl multi

void BM_RawCurlSmallRequests(benchmark::State& state) {
    bench::RawCurlMulti raw(kInFlight);
    int64_t done = 0;
    const double cpuStart = bench::processCPUSeconds();
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        raw.run(server().url("/small"), kRequestsPerRound);
        done += kRequestsPerRound;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    record("small/raw", state, double(done) / secs);
    // CPU per request, all threads (client, server, queues): what a busy machine has to find time for.
    state.counters["cpu_us_per_request"] = (bench::processCPUSeconds() - cpuStart) * 1e6 / double(done);
    state.SetItemsProcessed(done);
}

// ---------------------------------------------------------------- 100 MB download, both sides

// Raw curl and URLSession download in turns within each iteration (which goes first alternates), so
// both meet the same state of the machine: on a disk whose writeback moves a 100 MB download between
// two speeds from one run to the next, separate runs per side measure mostly that. Each repetition
// records its ratio; the median over repetitions is printed.
void BM_LargeDownloadVersusRawCurl(benchmark::State& state) {
    auto d = std::make_shared<CountingDelegate>();
    d->session = makeSession(d);
    d->target = *URL::string(server().url("/large"));
    bench::RawCurlMulti raw(1);
    const std::string url = server().url("/large");
    const int64_t residentBefore = bench::residentBytes();
    using Clock = std::chrono::steady_clock;
    double oursSeconds = 0, rawSeconds = 0;
    int64_t oursBytes = 0, rawBytes = 0;
    bool rawFirst = true;
    for (auto _ : state) {
        // The session writes its download to a file and removes it after the delegate has seen it (which
        // the task waits for): raw curl's file is made and closed (a temporary file: removed) within its time too.
        auto rawOnce = [&] {
            auto start = Clock::now();
            FILE* f = tmpfile();
            raw.run(url, 1, f, kDownloadBuffer);
            rawBytes += ftell(f);
            fclose(f);
            rawSeconds += std::chrono::duration<double>(Clock::now() - start).count();
        };
        auto oursOnce = [&] {
            const int64_t before = d->bytes.load();
            auto start = Clock::now();
            d->run(1, 1, true);
            oursSeconds += std::chrono::duration<double>(Clock::now() - start).count();
            oursBytes += d->bytes.load() - before;
        };
        if (rawFirst) {
            rawOnce();
            oursOnce();
        } else {
            oursOnce();
            rawOnce();
        }
        rawFirst = !rawFirst;
    }
    const double ours = double(oursBytes) / oursSeconds, rawRate = double(rawBytes) / rawSeconds;
    state.counters["urlsession_MB/s"] = ours / double(1 << 20);
    state.counters["raw_MB/s"] = rawRate / double(1 << 20);
    // Flat memory: a download streams to disk, so the process grows by a buffer or two, not the body.
    state.counters["resident_growth_MB"] =
        double(std::max<int64_t>(0, d->peakResident.load() - residentBefore)) / double(1 << 20);
    bench::recordPeerRatio("large", ours / rawRate);
    d->session->invalidateAndCancel();
    d->session.reset();
}

BENCHMARK(BM_RawCurlSmallRequests)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_URLSessionSmallRequests)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LargeDownloadVersusRawCurl)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);

}  // namespace

int main(int argc, char** argv) {
    char root[] = "/tmp/urlsession-bench-XXXXXX";
    if (mkdtemp(root)) PlatformConfig::update([&](PlatformSettings& s) { s.deviceRoot = root; });
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // Medians of the reported runs on each side; the smaller ratio last, as the one line to look at.
    std::vector<std::pair<double, std::string>> lines;
    auto ratio = [&](const std::string& what, double goal) {
        double s = g_rates.median(what + "/urlsession"), r = g_rates.median(what + "/raw");
        if (s <= 0 || r <= 0) return;
        char line[160];
        std::snprintf(line, sizeof line,
                      "ratio %s URLSession/raw curl: %.2f (goal >= %.2f; medians of %zu and %zu runs)", what.c_str(),
                      s / r, goal, g_rates.count(what + "/urlsession"), g_rates.count(what + "/raw"));
        lines.emplace_back(s / r / goal, line);
    };
    ratio("small", 0.9);
    if (double large = bench::medianPeerRatio("large"); large > 0) {
        char line[160];
        std::snprintf(
            line, sizeof line,
            "ratio large URLSession/raw curl: %.2f (goal >= 0.95; median of %zu repetitions, the two sides in "
            "turns)",
            large, bench::peerRatioSamples()["large"].size());
        lines.emplace_back(large / 0.95, line);
    }
    std::sort(lines.begin(), lines.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& [score, line] : lines) std::printf("%s\n", line.c_str());
    return 0;
}
