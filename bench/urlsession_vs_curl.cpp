// URLSession against raw libcurl multi on loopback, the two sides in turns: many small requests (64 in
// flight, 1 KB bodies) and one 100 MB download. Prints the URLSession / raw ratios (medians of the
// repetitions) after the runs: throughput and CPU per request of the small ones, the download's
// throughput; the one furthest short of its goal last.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

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

bench::Turns g_small;

TestHttpServer& server() {
    static TestHttpServer* s = [] {
        auto* srv = bench::makeServer(kInFlight).release();
        srv->route("GET", "/small", Reply::text(std::string(1024, 's')));
        srv->route("GET", "/large", Reply::streamed(kLargeBody));
        return srv;
    }();
    return *s;
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

// ---------------------------------------------------------------- small requests, both sides

// Raw curl and URLSession in turns within each iteration (which goes first alternates); warmed up
// first, so neither side's figures carry its connections' set-up.
void BM_SmallRequestsVersusRawCurl(benchmark::State& state) {
    auto d = std::make_shared<CountingDelegate>();
    d->session = makeSession(d);
    const std::string url = server().url("/small");
    d->target = *URL::string(url);
    bench::RawCurlMulti raw(kInFlight);
    bench::SideUsage oursUsage, rawUsage;
    auto rawOnce = [&] { bench::measureTurn(rawUsage, kRequestsPerRound, [&] { raw.run(url, kRequestsPerRound); }); };
    auto oursOnce = [&] {
        bench::measureTurn(oursUsage, kRequestsPerRound, [&] { d->run(kRequestsPerRound, kInFlight, false); });
    };
    raw.run(url, kRequestsPerRound);
    d->run(kRequestsPerRound, kInFlight, false);
    bool rawFirst = true;
    for (auto _ : state) bench::inTurns(rawFirst, rawOnce, oursOnce);
    g_small.record(state, oursUsage, rawUsage);
    state.SetItemsProcessed(oursUsage.requests + rawUsage.requests);
    d->session->invalidateAndCancel();
    d->session.reset();
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
        bench::inTurns(rawFirst, rawOnce, oursOnce);
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

BENCHMARK(BM_SmallRequestsVersusRawCurl)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(16);
BENCHMARK(BM_LargeDownloadVersusRawCurl)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(4);

}  // namespace

int main(int argc, char** argv) {
    char root[] = "/tmp/urlsession-bench-XXXXXX";
    if (mkdtemp(root)) PlatformConfig::update([&](PlatformSettings& s) { s.deviceRoot = root; });
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bench::Verdicts verdicts;
    verdicts.smallRequests(g_small, "ratio small URLSession/raw curl", 0.9, "CPU per request small URLSession/raw curl",
                           1.2);
    if (double large = bench::medianPeerRatio("large"); large > 0) {
        char detail[160];
        std::snprintf(detail, sizeof detail, "throughput; median of %zu repetitions, the two sides in turns",
                      bench::peerRatioSamples()["large"].size());
        verdicts.higherIsBetter("ratio large URLSession/raw curl", large, 0.95, detail);
    }
    verdicts.print();
    return 0;
}
