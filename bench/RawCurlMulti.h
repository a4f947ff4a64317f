#pragma once
// The raw-libcurl side of the loopback benchmarks: the requests the system makes, done by hand on a
// multi handle, and the server both sides talk to.
#include <curl/curl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
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

// Rates per benchmark and side, one per run of a benchmark function. libbenchmark first runs a function
// with few iterations to size the run; only the runs with the most iterations (the repetitions that
// are reported) count, and their median is the rate.
class Rates {
public:
    void record(const std::string& name, int64_t iterations, double perSecond) {
        std::lock_guard lock(mutex_);
        runs_[name].push_back({iterations, perSecond});
    }
    double median(const std::string& name) const {
        std::lock_guard lock(mutex_);
        auto it = runs_.find(name);
        if (it == runs_.end() || it->second.empty()) return 0;
        int64_t most = 0;
        for (const auto& r : it->second) most = std::max(most, r.iterations);
        std::vector<double> rates;
        for (const auto& r : it->second)
            if (r.iterations == most) rates.push_back(r.perSecond);
        return bench::median(std::move(rates));
    }
    size_t count(const std::string& name) const {
        std::lock_guard lock(mutex_);
        auto it = runs_.find(name);
        if (it == runs_.end()) return 0;
        int64_t most = 0;
        size_t n = 0;
        for (const auto& r : it->second) most = std::max(most, r.iterations);
        for (const auto& r : it->second) n += r.iterations == most;
        return n;
    }

private:
    struct Run {
        int64_t iterations;
        double perSecond;
    };
    mutable std::mutex mutex_;
    std::map<std::string, std::vector<Run>> runs_;
};

// CPU time this process has used so far (every thread, the loopback server's included), in seconds.
inline double processCPUSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto secs = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return secs(usage.ru_utime) + secs(usage.ru_stime);
}

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
