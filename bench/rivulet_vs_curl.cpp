// The client's session manager against raw libcurl multi on loopback: 64 requests in flight, 1 KB
// bodies, each answer delivered through responseData, the two sides in turns. Prints, as its last
// lines, the manager / raw ratios of throughput and of CPU per request (medians of the repetitions).
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

bench::Turns g_turns;

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

// Raw curl and the manager in turns within each iteration (which goes first alternates); warmed up
// first, so neither side's figures carry its connections' set-up.
void BM_SmallRequestsVersusRawCurl(benchmark::State& state) {
    auto configuration = platform::URLSessionConfiguration::ephemeralSessionConfiguration();
    configuration.HTTPMaximumConnectionsPerHost = kInFlight;
    configuration.HTTPShouldSetCookies = false;
    configuration.URLCache = nullptr;  // raw curl keeps no answers either
    const std::string url = server().url("/small");
    Driver driver(rivulet::SessionManager::make(configuration), url);
    bench::RawCurlMulti raw(kInFlight);
    bench::SideUsage oursUsage, rawUsage;
    auto rawOnce = [&] { bench::measureTurn(rawUsage, kRequestsPerRound, [&] { raw.run(url, kRequestsPerRound); }); };
    auto oursOnce = [&] {
        bench::measureTurn(oursUsage, kRequestsPerRound, [&] { driver.run(kRequestsPerRound, kInFlight); });
    };
    raw.run(url, kRequestsPerRound);
    driver.run(kRequestsPerRound, kInFlight);
    bool rawFirst = true;
    for (auto _ : state) bench::inTurns(rawFirst, rawOnce, oursOnce);
    g_turns.record(state, oursUsage, rawUsage);
    state.SetItemsProcessed(oursUsage.requests + rawUsage.requests);
}

BENCHMARK(BM_SmallRequestsVersusRawCurl)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(16);

}  // namespace

int main(int argc, char** argv) {
    char root[] = "/tmp/rivulet-bench-XXXXXX";
    if (mkdtemp(root)) platform::PlatformConfig::update([&](platform::PlatformSettings& s) { s.deviceRoot = root; });
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bench::Verdicts verdicts;
    verdicts.smallRequests(g_turns, "ratio small requests SessionManager/raw curl", 0.9,
                           "CPU per request SessionManager/raw curl", 1.6);
    verdicts.print();
    return 0;
}
