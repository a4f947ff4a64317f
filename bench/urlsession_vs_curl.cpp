// URLSession against raw libcurl multi on loopback: many small requests (64 in flight, 1 KB bodies)
// and one 100 MB download. Prints the URLSession / raw ratios after the runs.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>

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

std::map<std::string, double> g_rates;  // bytes or requests per second, by benchmark
std::mutex g_ratesMutex;

TestHttpServer& server() {
    static TestHttpServer* s = [] {
        auto* srv = bench::makeServer(kInFlight).release();
        srv->route("GET", "/small", Reply::text(std::string(1024, 's')));
        srv->route("GET", "/large", Reply::streamed(kLargeBody));
        return srv;
    }();
    return *s;
}

void record(const std::string& name, double perSecond) {
    std::lock_guard lock(g_ratesMutex);
    g_rates[name] = perSecond;
}

// ---------------------------------------------------------------- URLSession

class CountingDelegate : public URLSessionDelegate {
public:
    std::shared_ptr<URLSession> session;
    URL target;
    int toStart = 0;
    int remaining = 0;
    std::atomic<int64_t> bytes{0};
    std::mutex m;
    std::condition_variable cv;

    void didReceiveData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>&,
                        const Bytes& data) override {
        bytes += int64_t(data.size());
    }
    void didWriteData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDownloadTask>&, int64_t n,
                      int64_t, int64_t) override {
        bytes += n;
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
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        d->run(kRequestsPerRound, kInFlight, false);
        done += kRequestsPerRound;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    record("small/urlsession", double(done) / secs);
    state.SetItemsProcessed(done);
    d->session->invalidateAndCancel();
    d->session.reset();
}

void BM_URLSessionLargeDownload(benchmark::State& state) {
    auto d = std::make_shared<CountingDelegate>();
    d->session = makeSession(d);
    d->target = *URL::string(server().url("/large"));
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) d->run(1, 1, true);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    record("large/urlsession", double(d->bytes.load()) / secs);
    state.SetBytesProcessed(d->bytes.load());
    d->session->invalidateAndCancel();
    d->session.reset();
}

// ---------------------------------------------------------------- raw curl multi

void BM_RawCurlSmallRequests(benchmark::State& state) {
    bench::RawCurlMulti raw(kInFlight);
    int64_t done = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        raw.run(server().url("/small"), kRequestsPerRound);
        done += kRequestsPerRound;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    record("small/raw", double(done) / secs);
    state.SetItemsProcessed(done);
}

void BM_RawCurlLargeDownload(benchmark::State& state) {
    int64_t bytes = 0;
    bench::RawCurlMulti raw(1);
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        FILE* f = tmpfile();  // the session writes its download to disk too
        raw.run(server().url("/large"), 1, f);
        bytes += ftell(f);
        fclose(f);
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    record("large/raw", double(bytes) / secs);
    state.SetBytesProcessed(bytes);
}

BENCHMARK(BM_RawCurlSmallRequests)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_URLSessionSmallRequests)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RawCurlLargeDownload)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_URLSessionLargeDownload)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
    char root[] = "/tmp/urlsession-bench-XXXXXX";
    if (mkdtemp(root)) PlatformConfig::update([&](PlatformSettings& s) { s.deviceRoot = root; });
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::lock_guard lock(g_ratesMutex);
    auto ratio = [&](const char* what, const char* goal) {
        auto s = g_rates.find(std::string(what) + "/urlsession"), r = g_rates.find(std::string(what) + "/raw");
        if (s != g_rates.end() && r != g_rates.end() && r->second > 0)
            std::printf("ratio %s URLSession/raw curl: %.2f (goal >= %s)\n", what, s->second / r->second, goal);
    };
    ratio("small", "0.8");
    ratio("large", "0.9");
    return 0;
}
