// An answer with 16,000 header fields, fetched by a URLSession data task and by the curl command-line
// tool (a fresh process each time, as a user would run it), from the same raw-socket server on loopback.
// Header storage that grows worse than linearly shows here long before it shows in ordinary answers.
// The last line prints the URLSession / curl tool time ratio, of the medians over repetitions (goal: at
// most 2).
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>

#include "platform/foundation/PlatformConfig.h"
#include "platform/urlsession/URLSession.h"
#include "testing/HostileHttpServer.h"

using namespace platform;
using tesmar_testing::HostileHttpServer;

namespace {

constexpr size_t kHeaderCount = 16000;

std::map<std::string, std::vector<double>> g_seconds;  // mean seconds per fetch of each run, by benchmark
std::mutex g_mutex;

HostileHttpServer& server() {
    static HostileHttpServer* s = [] {
        std::vector<std::string> fields;
        fields.reserve(kHeaderCount + 1);
        for (size_t i = 0; i < kHeaderCount; ++i)
            fields.push_back("X-H" + std::to_string(i) + ": v");  // curl caps a head at 300 KB
        fields.push_back("Content-Length: 2");
        auto answer = std::make_shared<std::string>(HostileHttpServer::answer("HTTP/1.1 200 OK", fields, "ok"));
        return new HostileHttpServer([answer](const HostileHttpServer::Request&) { return *answer; });
    }();
    return *s;
}

void record(const std::string& name, double seconds, int64_t fetches) {
    std::lock_guard lock(g_mutex);
    g_seconds[name].push_back(seconds / double(fetches));
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void BM_URLSessionManyHeaders(benchmark::State& state) {
    auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::ephemeralSessionConfiguration());
    const URL url = *URL::string(server().url("/"));
    int64_t fetches = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
        size_t fields = 0;
        session
            ->dataTaskWithURL(url,
                              [&](const Bytes&, std::shared_ptr<const URLResponse> response, std::optional<Error> e) {
                                  if (e) std::fprintf(stderr, "fetch failed: %s\n", e->description().c_str());
                                  if (auto http = std::dynamic_pointer_cast<const HTTPURLResponse>(response))
                                      fields = http->allHeaderFields().entries().size();
                                  std::lock_guard lock(m);
                                  done = true;
                                  cv.notify_all();
                              })
            ->resume();
        std::unique_lock lock(m);
        cv.wait(lock, [&] { return done; });
        if (fields < kHeaderCount) state.SkipWithError("the answer's fields did not all arrive");
        ++fetches;
    }
    record("urlsession", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), fetches);
    session->invalidateAndCancel();
}

void BM_CurlToolManyHeaders(benchmark::State& state) {
    std::string target = server().url("/");
    int64_t fetches = 0;
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        std::vector<std::string> args = {"curl", "-s", "-o", "/dev/null", target};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        int status = 0;
        if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0 ||
            waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("the curl tool failed");
            break;
        }
        ++fetches;
    }
    if (fetches)
        record("curl", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), fetches);
}

BENCHMARK(BM_CurlToolManyHeaders)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);
BENCHMARK(BM_URLSessionManyHeaders)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

}  // namespace

int main(int argc, char** argv) {
    char root[] = "/tmp/many-headers-bench-XXXXXX";
    if (mkdtemp(root)) PlatformConfig::update([&](PlatformSettings& s) { s.deviceRoot = root; });
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::lock_guard lock(g_mutex);
    auto s = g_seconds.find("urlsession"), c = g_seconds.find("curl");
    if (s == g_seconds.end() || c == g_seconds.end() || s->second.empty() || c->second.empty() ||
        median(c->second) <= 0) {
        std::printf("ratio 16k headers URLSession/curl tool: not measured\n");
        return 1;
    }
    std::printf("ratio 16k headers URLSession/curl tool: %.2f (goal <= 2)\n", median(s->second) / median(c->second));
    return 0;
}
