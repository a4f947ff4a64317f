// Launch to first page: tesmar-sim launches the app against the demo site until the first page has
// finished loading, compared like for like with the curl command-line tool fetching the same start page
// as a fresh process (same site, same root certificate, same host mapping, TLS included). An in-process
// libcurl fetch on a fresh connection is shown beside them for the cost of the fetch alone. The host's
// peak resident memory is taken once the first page is shown.
//
// Each iteration runs all three back to back, so a busy machine weighs on them alike; the figures are
// medians over the iterations. The last line prints launch / curl tool (goal: at most 1.3) and the
// peak resident memory (goal: at most 20 MB).
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/Strings.h"
#include "bench/PeerRatio.h"
#include "demo/DemoSite.h"
#include "demo/PushServiceStandIn.h"
#include "platform/foundation/PropertyList.h"

namespace {

namespace fs = std::filesystem;
using platform::Value;
using SteadyClock = std::chrono::steady_clock;

struct Site {
    fs::path dir;
    std::unique_ptr<tesmar_demo::DemoSite> site;
    std::unique_ptr<tesmar_demo::PushServiceStandIn> push;
    std::string bundle;

    Site() {
        char pattern[] = "/tmp/tesmar-launch-bench-XXXXXX";
        dir = mkdtemp(pattern);
        site = std::make_unique<tesmar_demo::DemoSite>(Tesmar::Strings::Endpoint::siteHost, dir.string());
        push = tesmar_demo::PushServiceStandIn::secure(dir.string());
        fs::path b = dir / "bundle";
        fs::create_directories(b);
        const char* bundleId = "com.tesmar.intranet";
        Value info = Value::dictionary({{"CFBundleIdentifier", bundleId},
                                        {"UIMainStoryboardFile", "Main"},
                                        {"Verira", Value::dictionary({{"APIKey", "bench-kit-api-key"}})}});
        Value options = Value::dictionary(
            {{"VODEZU_APP_ID", "1:123456789:ios:0a1b2c3d4e5f"}, {"BUNDLE_ID", bundleId}, {"API_KEY", "bench-api-key"}});
        (void)platform::plist::writeFile(info, (b / "Info.plist").string());
        (void)platform::plist::writeFile(options, (b / "ZazeraDazudud-Uvoz.plist").string());
        std::ofstream(b / "Config.json") << "{\"base_url\": \"" << Tesmar::Strings::Endpoint::baseUrl
                                         << "/\", \"push_notifications_enabled\": \"true\", "
                                            "\"base_url_home_host\": \"tesmar.example\"}";
        bundle = b.string();
    }
    ~Site() {
        push.reset();
        site.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::vector<std::string> simArgs() const {
        auto [siteFrom, siteTo] = site->connectToEntry();
        auto [pushFrom, pushTo] = push->connectToEntry();
        return {"--bundle",     bundle,
                "--connect-to", siteFrom + "=" + siteTo,
                "--connect-to", pushFrom + "=" + pushTo,
                "--ca",         site->rootCertificatePath(),
                "--ca",         push->rootCertificatePath()};
    }

    // The curl tool's spelling of the same mapping: HOST:PORT:ADDRESS:PORT.
    std::vector<std::string> curlArgs() const {
        auto [from, to] = site->connectToEntry();
        return {"curl",
                "--silent",
                "--show-error",
                "--fail",
                "--output",
                "/dev/null",
                "--cacert",
                site->rootCertificatePath(),
                "--connect-to",
                from + ":" + to,
                std::string(Tesmar::Strings::Endpoint::baseUrl) + "/"};
    }
};

Site& site() {
    static Site* s = new Site;
    return *s;
}

struct Launch {
    double seconds = -1;
    long peakKB = -1;
    long childrenKB = -1;  // the resident memory of the host's child processes (the real engine's)
};

long peakResidentKB(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
    return -1;
}

// The resident memory of a process's children (the real engine's web and network processes).
long childrenResidentKB(pid_t parent) {
    long total = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
        std::ifstream status(entry.path() / "status");
        long ppid = -1, rss = 0;
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("PPid:", 0) == 0) ppid = std::stol(line.substr(5));
            if (line.rfind("VmRSS:", 0) == 0) rss = std::stol(line.substr(6));
        }
        if (ppid == parent) total += rss;
    }
    return total;
}

// Starts tesmar-sim and reads its event lines until the first page has finished; then quits it.
Launch launchOnce(const std::vector<std::string>& extraArgs = {}) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC)) return {};
    if (pipe2(out, O_CLOEXEC)) {
        close(in[0]);
        close(in[1]);
        return {};
    }
    auto args = site().simArgs();
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::string path = TESMAR_SIM_PATH;
    std::vector<char*> argv = {path.data()};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // Started as the curl tool is, with posix_spawn: a fork would first copy this process's page tables
    // (the demo servers and their threads) into the child, time the curl tool never pays. The pipes'
    // own ends close on exec.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    auto start = SteadyClock::now();
    int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
        return {};
    }
    close(in[0]);
    close(out[1]);
    Launch launch;
    std::string pending;
    char buffer[4096];
    for (;;) {
        // A launch that never shows its page would otherwise hold the benchmark for ever.
        pollfd ready{out[0], POLLIN, 0};
        if (poll(&ready, 1, 30000) <= 0) {
            kill(pid, SIGKILL);
            launch.seconds = -1;
            break;
        }
        ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        pending.append(buffer, size_t(n));
        if (launch.seconds < 0 && pending.find("\"event\":\"page.finish\"") != std::string::npos) {
            launch.seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
            launch.peakKB = peakResidentKB(pid);
            launch.childrenKB = childrenResidentKB(pid);
            if (write(in[1], "quit\n", 5) != 5) kill(pid, SIGTERM);
            close(in[1]);
            in[1] = -1;
        }
        if (pending.size() > (1 << 20)) pending.erase(0, pending.size() - 4096);
    }
    if (in[1] >= 0) close(in[1]);
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return launch;
}

// The curl tool fetching the start page: from the process start until it has exited with the page.
double curlToolOnce() {
    auto args = site().curlArgs();
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int status = 0;
    auto start = SteadyClock::now();
    int spawned = posix_spawn(&pid, TESMAR_CURL_TOOL, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0 || waitpid(pid, &status, 0) != pid) return -1;
    double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

// A bare HTTPS fetch of the start page through libcurl in this process, on a fresh connection.
double fetchOnce() {
    CURL* curl = curl_easy_init();
    auto [from, to] = site().site->connectToEntry();
    std::string mapping = from + ":" + to;
    curl_slist* connectTo = curl_slist_append(nullptr, mapping.c_str());
    std::string url = std::string(Tesmar::Strings::Endpoint::baseUrl) + "/";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECT_TO, connectTo);
    curl_easy_setopt(curl, CURLOPT_CAINFO, site().site->rootCertificatePath().c_str());
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char*, size_t size, size_t count, void*) { return size * count; });
    auto start = SteadyClock::now();
    CURLcode rc = curl_easy_perform(curl);
    double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
    curl_slist_free_all(connectTo);
    curl_easy_cleanup(curl);
    return rc == CURLE_OK ? seconds : -1;
}

// Every sample of every run (repetitions included), for the closing line.
struct Samples {
    std::vector<double> launch, curlTool, fetch;
    long peakKB = -1;
};
Samples& allSamples() {
    static Samples samples;
    return samples;
}

void BM_LaunchToFirstPage(benchmark::State& state) {
    Samples run;
    for (auto _ : state) {
        Launch launch = launchOnce();
        double tool = curlToolOnce();
        double fetch = fetchOnce();
        if (launch.seconds < 0 || tool < 0 || fetch < 0) {
            state.SkipWithError("the app did not show its first page, or a fetch of it failed");
            return;
        }
        state.SetIterationTime(launch.seconds);
        run.launch.push_back(launch.seconds);
        run.curlTool.push_back(tool);
        run.fetch.push_back(fetch);
        run.peakKB = std::max(run.peakKB, launch.peakKB);
    }
    auto& all = allSamples();
    all.launch.insert(all.launch.end(), run.launch.begin(), run.launch.end());
    all.curlTool.insert(all.curlTool.end(), run.curlTool.begin(), run.curlTool.end());
    all.fetch.insert(all.fetch.end(), run.fetch.begin(), run.fetch.end());
    all.peakKB = std::max(all.peakKB, run.peakKB);
    state.counters["launch_median_ms"] = bench::median(run.launch) * 1000;
    state.counters["curl_tool_median_ms"] = bench::median(run.curlTool) * 1000;
    state.counters["in_process_fetch_median_ms"] = bench::median(run.fetch) * 1000;
    state.counters["launch_over_curl_tool"] = bench::median(run.launch) / bench::median(run.curlTool);
    state.counters["peak_rss_kB"] = double(run.peakKB);
}
BENCHMARK(BM_LaunchToFirstPage)->UseManualTime()->Iterations(21)->Unit(benchmark::kMillisecond);

// The same launch on the real web engine (--web-engine real; the host starts Xvfb when DISPLAY is unset),
// beside the headless figure above. Memory counts the engine's own processes (web, network) too: the
// resident memory of the host's children once the first page is shown.
void BM_LaunchToFirstPageRealEngine(benchmark::State& state) {
    long peakHost = 0, peakEngine = 0;
    for (auto _ : state) {
        Launch launch = launchOnce({"--web-engine", "real"});
        if (launch.seconds < 0) return state.SkipWithError("the real engine did not show the first page");
        state.SetIterationTime(launch.seconds);
        peakHost = std::max(peakHost, launch.peakKB);
        peakEngine = std::max(peakEngine, launch.childrenKB);
    }
    state.counters["peak_rss_kB"] = double(peakHost);
    state.counters["engine_processes_rss_kB"] = double(peakEngine);
    state.counters["total_rss_kB"] = double(peakHost + peakEngine);
}
BENCHMARK(BM_LaunchToFirstPageRealEngine)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    signal(SIGPIPE, SIG_IGN);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const auto& all = allSamples();
    if (all.launch.empty() || all.curlTool.empty()) {
        std::printf("launch to first page / curl tool: not measured\n");
        return 1;
    }
    double launch = bench::median(all.launch), tool = bench::median(all.curlTool);
    std::printf("launch to first page / curl tool: %.2f (goal <= 1.3); launch %.1f ms, curl tool %.1f ms, "
                "in-process fetch %.1f ms (medians of %zu); peak RSS %.1f MB (goal <= 20)\n",
                launch / tool, launch * 1000, tool * 1000, bench::median(all.fetch) * 1000, all.launch.size(),
                double(all.peakKB) / 1000);
    return 0;
}
