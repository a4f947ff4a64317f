// The client's session manager against raw libcurl multi on loopback: 64 requests in flight, 1 KB
// bodies, each answer delivered through responseData. Prints the manager / raw ratio (medians of the
// repetitions) as its last line.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "Rivulet/Source/Rivulet.h"
#include "bench/RawCurlMulti.h"
#include "platform/foundation/PlatformConfig.h"
#include "testing/TestHttpServer.h"

using tesmar_testing::Reply;
using tesmar_testing::TestHttpServer;

namespace {

constexpr int kInFlight = 64;
constexpr int kRequestsPerRound = 512;

bench::Rates g_rates;  // requests per second, by side

TestHttpServer& server() {
    static TestHttpServer* s = [] {
        auto* srv = bench::makeServer(kInFlight).release();
        srv->route("GET", "/small", Reply::text(std::string(1024, 's')));
        return srv;
    }();
    return *s;
}

// Keeps `inFlight` requests going until `total` have delivered their data.
class Driver {
public:
    Driver(std::shared_ptr<rivulet::SessionManager> manager, std::string url)
        : manager_(std::move(manager)), url_(std::move(url)), queue_("bench.rivulet.responses") {}

    void run(int total, int inFlight) {
        {
            std::lock_guard lock(m_);
            remaining_ = total;
            toStart_ = total - inFlight;
        }
        for (int i = 0; i < inFlight; ++i) start();
        std::unique_lock lock(m_);
        cv_.wait(lock, [&] { return remaining_ == 0; });
    }

private:
    void start() {
        manager_->request(url_)->responseData(queue_, [this](rivulet::DataResponse<platform::Bytes> r) {
            if (!r.value() || r.value()->size() != 1024) std::fprintf(stderr, "request failed\n");
            bool more = false;
            {
                std::lock_guard lock(m_);
                if (toStart_ > 0) {
                    --toStart_;
                    more = true;
                }
                if (--remaining_ == 0) cv_.notify_all();
            }
            if (more) start();
        });
    }

    std::shared_ptr<rivulet::SessionManager> manager_;
    std::string url_;
    platform::dispatch::DispatchQueue queue_;
    std::mutex m_;
    std::condition_variable cv_;
    int remaining_ = 0;
    int toStart_ = 0;
};

void BM_RivuletSmallRequests(benchmark::State& state) {
    auto configuration = platform::URLSessionConfiguration::ephemeralSessionConfiguration();
    configuration.HTTPMaximumConnectionsPerHost = kInFlight;
    configuration.HTTPShouldSetCookies = false;
    configuration.URLCache = nullptr;  // raw curl keeps no answers either
    Driver driver(rivulet::SessionManager::make(configuration), server().url("/small"));
    int64_t done = 0;
    const double cpuStart = bench::processCPUSeconds();
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        driver.run(kRequestsPerRound, kInFlight);
        done += kRequestsPerRound;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    g_rates.record("rivulet", int64_t(state.iterations()), double(done) / secs);
    // CPU per request, all threads (client, server, queues): what a busy machine has to find time for.
    state.counters["cpu_us_per_request"] = (bench::processCPUSeconds() - cpuStart) * 1e6 / double(done);
    state.SetItemsProcessed(done);
}

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
    g_rates.record("raw", int64_t(state.iterations()), double(done) / secs);
    // CPU per request, all threads (client, server, queues): what a busy machine has to find time for.
    state.counters["cpu_us_per_request"] = (bench::processCPUSeconds() - cpuStart) * 1e6 / double(done);
    state.SetItemsProcessed(done);
}

BENCHMARK(BM_RawCurlSmallRequests)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RivuletSmallRequests)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    char root[] = "/tmp/rivulet-bench-XXXXXX";
    if (mkdtemp(root)) platform::PlatformConfig::update([&](platform::PlatformSettings& s) { s.deviceRoot = root; });
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const double rivulet = g_rates.median("rivulet"), raw = g_rates.median("raw");
    if (raw > 0 && rivulet > 0)
        std::printf("ratio small requests SessionManager/raw curl: %.2f (goal >= 0.80; medians of %zu and %zu runs)\n",
                    rivulet / raw, g_rates.count("rivulet"), g_rates.count("raw"));
    return 0;
}
