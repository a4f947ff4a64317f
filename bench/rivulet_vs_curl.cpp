// The client's session manager against raw libcurl multi on loopback: 64 requests in flight, 1 KB
// bodies, each answer delivered through responseData. Prints the manager / raw ratio after the runs.
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "Rivulet/Source/Rivulet.h"
#include "platform/foundation/PlatformConfig.h"
#include "testing/TestHttpServer.h"

using tesmar_testing::Reply;
using tesmar_testing::TestHttpServer;

namespace {

constexpr int kInFlight = 64;
constexpr int kRequestsPerRound = 512;

double g_rivulet = 0, g_raw = 0;

TestHttpServer& server() {
    static TestHttpServer* s = [] {
        TestHttpServer::Options options;
        options.threads = kInFlight;
        auto* srv = new TestHttpServer(options);
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
    Driver driver(rivulet::SessionManager::make(configuration), server().url("/small"));
    int64_t done = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        driver.run(kRequestsPerRound, kInFlight);
        done += kRequestsPerRound;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    g_rivulet = double(done) / secs;
    state.SetItemsProcessed(done);
}

size_t countBytes(char*, size_t size, size_t n, void* user) {
    *static_cast<int64_t*>(user) += int64_t(size * n);
    return size * n;
}

void rawCurl(const std::string& url, int total, int inFlight) {
    CURLM* multi = curl_multi_init();
    int64_t bytes = 0;
    auto add = [&] {
        CURL* e = curl_easy_init();
        curl_easy_setopt(e, CURLOPT_URL, url.c_str());
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, countBytes);
        curl_easy_setopt(e, CURLOPT_WRITEDATA, &bytes);
        curl_multi_add_handle(multi, e);
    };
    int started = 0, finished = 0;
    for (; started < inFlight && started < total; ++started) add();
    while (finished < total) {
        int running = 0;
        curl_multi_perform(multi, &running);
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg != CURLMSG_DONE) continue;
            curl_multi_remove_handle(multi, msg->easy_handle);
            curl_easy_cleanup(msg->easy_handle);
            ++finished;
            if (started < total) {
                add();
                ++started;
            }
        }
        curl_multi_poll(multi, nullptr, 0, 100, nullptr);
    }
    curl_multi_cleanup(multi);
}

void BM_RawCurlSmallRequests(benchmark::State& state) {
    int64_t done = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        rawCurl(server().url("/small"), kRequestsPerRound, kInFlight);
        done += kRequestsPerRound;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    g_raw = double(done) / secs;
    state.SetItemsProcessed(done);
}

BENCHMARK(BM_RawCurlSmallRequests)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RivuletSmallRequests)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    char root[] = "/tmp/rivulet-bench-XXXXXX";
    if (mkdtemp(root))
        platform::PlatformConfig::update([&](platform::PlatformSettings& s) { s.deviceRoot = root; });
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_raw > 0) std::printf("ratio small requests SessionManager/raw curl: %.2f (goal >= 0.8)\n", g_rivulet / g_raw);
    return 0;
}
