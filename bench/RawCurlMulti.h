#pragma once
// The raw-libcurl side of the loopback benchmarks: the requests the system makes, done by hand on a
// multi handle, and the server both sides talk to.
#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/PeerRatio.h"
#include "testing/TestHttpServer.h"

namespace bench {

// A loopback server for `inFlight` clients at once: one thread per kept-alive connection, with room
// to spare, so a connection never waits for a server thread (that would measure the server's queue).
// It keeps no record of requests, so it answers as fast at the end of a run as at the start, whichever
// side is measured last.
inline std::unique_ptr<tesmar_testing::TestHttpServer> makeServer(int inFlight) {
    tesmar_testing::TestHttpServer::Options options;
    options.threads = size_t(2 * inFlight);
    options.record = false;
    return std::make_unique<tesmar_testing::TestHttpServer>(options);
}

// The same work done by hand on one multi handle, kept across runs like a session's, so kept-alive
// connections are reused from one run to the next. The same connection limits and Accept-Encoding as
// the system's sessions, so both ask for the same answers.
class RawCurlMulti {
public:
    explicit RawCurlMulti(int inFlight) : inFlight_(inFlight), multi_(curl_multi_init()) {
        curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, long(inFlight));
        curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, long(std::max(4 * inFlight, 16)));
    }
    ~RawCurlMulti() { curl_multi_cleanup(multi_); }
    RawCurlMulti(const RawCurlMulti&) = delete;
    RawCurlMulti& operator=(const RawCurlMulti&) = delete;

    // GETs `url` `total` times, `inFlight` at once, a new easy handle as each one finishes; bodies are
    // counted, or written to `file` when given, through a receive buffer of `bufferSize` bytes (0:
    // curl's default). Answers the number of body bytes counted.
    int64_t run(const std::string& url, int total, FILE* file = nullptr, long bufferSize = 0) {
        int64_t bytes = 0;
        auto add = [&] {
            CURL* e = curl_easy_init();
            curl_easy_setopt(e, CURLOPT_URL, url.c_str());
            curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
            curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
            if (bufferSize > 0) curl_easy_setopt(e, CURLOPT_BUFFERSIZE, bufferSize);
            if (file) {
                curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, write);
                curl_easy_setopt(e, CURLOPT_WRITEDATA, file);
            } else {
                curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, count);
                curl_easy_setopt(e, CURLOPT_WRITEDATA, &bytes);
            }
            curl_multi_add_handle(multi_, e);
        };
        int started = 0, finished = 0;
        for (; started < inFlight_ && started < total; ++started) add();
        while (finished < total) {
            int running = 0;
            curl_multi_perform(multi_, &running);
            int left = 0;
            while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
                if (msg->msg != CURLMSG_DONE) continue;
                curl_multi_remove_handle(multi_, msg->easy_handle);
                curl_easy_cleanup(msg->easy_handle);
                ++finished;
                if (started < total) {
                    add();
                    ++started;
                }
            }
            if (finished < total) curl_multi_poll(multi_, nullptr, 0, 100, nullptr);
        }
        return bytes;
    }

private:
    static size_t count(char*, size_t size, size_t n, void* user) {
        *static_cast<int64_t*>(user) += int64_t(size * n);
        return size * n;
    }
    static size_t write(char* p, size_t size, size_t n, void* user) {
        return fwrite(p, 1, size * n, static_cast<FILE*>(user));
    }

    const int inFlight_;
    CURLM* multi_;
};

// What one side of a loopback benchmark spent on its requests: wall time, CPU time of the whole
// process (client, server and queues alike) and context switches of all its threads, which is where a
// request that crosses threads pays (the kernel's wake-ups).
struct SideUsage {
    double wall = 0, cpu = 0;
    int64_t switches = 0, requests = 0;
    double cpuMicrosPerRequest() const { return requests ? cpu * 1e6 / double(requests) : 0; }
    double switchesPerRequest() const { return requests ? double(switches) / double(requests) : 0; }
    double requestsPerSecond() const { return wall > 0 ? double(requests) / wall : 0; }
};

inline rusage processUsage() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage;
}

inline double cpuSeconds(const rusage& u) {
    auto secs = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return secs(u.ru_utime) + secs(u.ru_stime);
}

// Runs `requests` through `run` and adds what they took to `side`.
template <class Run>
void measureTurn(SideUsage& side, int64_t requests, Run&& run) {
    const rusage before = processUsage();
    const auto start = std::chrono::steady_clock::now();
    run();
    side.wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const rusage after = processUsage();
    side.cpu += cpuSeconds(after) - cpuSeconds(before);
    side.switches += (after.ru_nvcsw + after.ru_nivcsw) - (before.ru_nvcsw + before.ru_nivcsw);
    side.requests += requests;
}

// The two sides of a benchmark measured in turns: each repetition (one call of the benchmark function)
// runs both, alternating which goes first, so a shared machine's load weighs on both alike. Each
// repetition's figures are kept, and the closing lines give their medians.
class Turns {
public:
    // One repetition's totals of both sides; also shown as the benchmark's counters.
    void record(benchmark::State& state, const SideUsage& ours, const SideUsage& raw) {
        throughput_.push_back(ours.requestsPerSecond() / raw.requestsPerSecond());
        oursCpu_.push_back(ours.cpuMicrosPerRequest());
        rawCpu_.push_back(raw.cpuMicrosPerRequest());
        cpuRatio_.push_back(ours.cpuMicrosPerRequest() / raw.cpuMicrosPerRequest());
        state.counters["ours_req/s"] = ours.requestsPerSecond();
        state.counters["raw_req/s"] = raw.requestsPerSecond();
        state.counters["ours_cpu_us/req"] = ours.cpuMicrosPerRequest();
        state.counters["raw_cpu_us/req"] = raw.cpuMicrosPerRequest();
        state.counters["ours_switches/req"] = ours.switchesPerRequest();
        state.counters["raw_switches/req"] = raw.switchesPerRequest();
    }
    size_t repetitions() const { return throughput_.size(); }
    double throughputRatio() const { return median(throughput_); }
    double cpuRatio() const { return median(cpuRatio_); }
    double oursCpu() const { return median(oursCpu_); }
    double rawCpu() const { return median(rawCpu_); }

private:
    std::vector<double> throughput_, oursCpu_, rawCpu_, cpuRatio_;
};

// Alternates which side runs first, one call to the next.
inline void inTurns(bool& rawFirst, const std::function<void()>& raw, const std::function<void()>& ours) {
    if (rawFirst) {
        raw();
        ours();
    } else {
        ours();
        raw();
    }
    rawFirst = !rawFirst;
}

// The closing lines: each figure with which way is better and its goal, the one furthest short of its
// goal last, as the one line to look at.
class Verdicts {
public:
    void higherIsBetter(const std::string& what, double value, double goal, const std::string& detail) {
        add(value / goal, what, value, "higher is better; goal >= ", goal, detail);
    }
    void lowerIsBetter(const std::string& what, double value, double goal, const std::string& detail) {
        add(goal / value, what, value, "lower is better; goal <= ", goal, detail);
    }
    // A small-requests benchmark run in turns: its throughput ratio and its CPU-per-request ratio.
    void smallRequests(const Turns& turns, const std::string& throughputLine, double throughputGoal,
                       const std::string& cpuLine, double cpuGoal) {
        if (turns.repetitions() == 0) return;
        char detail[160];
        std::snprintf(detail, sizeof detail, "throughput; median of %zu repetitions, the two sides in turns",
                      turns.repetitions());
        higherIsBetter(throughputLine, turns.throughputRatio(), throughputGoal, detail);
        std::snprintf(detail, sizeof detail, "%.1f us against %.1f us, all threads; median of %zu repetitions",
                      turns.oursCpu(), turns.rawCpu(), turns.repetitions());
        lowerIsBetter(cpuLine, turns.cpuRatio(), cpuGoal, detail);
    }
    void print() {
        std::sort(lines_.begin(), lines_.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        for (const auto& [score, line] : lines_) std::printf("%s\n", line.c_str());
    }

private:
    void add(double score, const std::string& what, double value, const char* direction, double goal,
             const std::string& detail) {
        if (!std::isfinite(value) || value <= 0) return;
        char line[256];
        std::snprintf(line, sizeof line, "%s: %.2f (%s%.2f; %s)", what.c_str(), value, direction, goal, detail.c_str());
        lines_.emplace_back(score, line);
    }
    std::vector<std::pair<double, std::string>> lines_;
};

// Resident set size of this process now, in bytes.
inline int64_t residentBytes() {
    long pages = 0, resident = 0;
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return 0;
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
    return int64_t(resident) * int64_t(sysconf(_SC_PAGESIZE));
}

}  // namespace bench
