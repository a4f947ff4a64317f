#pragma once
// Shared by the URL session tests: a device root per test, and a delegate that records what it hears.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/HTTPURLResponse.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/urlsession/URLError.h"
#include "platform/urlsession/URLSession.h"
#include "testing/TemporaryDeviceRoot.h"

namespace urlsession_test {

using namespace platform;

struct DeviceRoot : tesmar_testing::TemporaryDeviceRoot {
    DeviceRoot() : TemporaryDeviceRoot("urlsession-test") {}
};

// Records callbacks as short lines ("response 200", "data 5", "complete -1001", ...), in order.
class RecordingDelegate : public URLSessionDelegate {
public:
    std::function<void(URLRequest&, std::optional<URLRequest>&)> redirectPolicy;  // may clear the answer
    std::function<URLSessionAuthChallengeDisposition(const URLAuthenticationChallenge&)> trustAnswer;
    std::function<std::shared_ptr<InputStream>()> bodyStream;
    std::function<void(const URL&)> onDownloaded;
    bool countOnly = false;  // large bodies: count bytes, keep nothing

    bool implements(URLSessionDelegateMethod method) const override {
        return method == URLSessionDelegateMethod::DidReceiveChallenge || URLSessionDelegate::implements(method);
    }
    void didReceiveChallenge(const std::shared_ptr<URLSession>&, const URLAuthenticationChallenge& c,
                             ChallengeCompletion done) override {
        log("challenge " + c.protectionSpace.authenticationMethod());
        if (!trustAnswer) return done(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
        auto disposition = trustAnswer(c);
        std::optional<URLCredential> credential;
        if (disposition == URLSessionAuthChallengeDisposition::UseCredential)
            credential = URLCredential(c.protectionSpace.serverTrust());
        done(disposition, credential);
    }
    void willPerformHTTPRedirection(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
                                    const std::shared_ptr<const HTTPURLResponse>& r, URLRequest next,
                                    std::function<void(std::optional<URLRequest>)> done) override {
        log("redirect " + std::to_string(r->statusCode()) + " " + next.url()->path());
        std::optional<URLRequest> answer = next;
        if (redirectPolicy) redirectPolicy(next, answer);
        done(answer);
    }
    void needNewBodyStream(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
                           std::function<void(std::shared_ptr<InputStream>)> done) override {
        log("needBody");
        done(bodyStream ? bodyStream() : nullptr);
    }
    void didReceiveResponse(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>&,
                            const std::shared_ptr<const URLResponse>& r,
                            std::function<void(URLSessionResponseDisposition)> done) override {
        auto http = std::dynamic_pointer_cast<const HTTPURLResponse>(r);
        log("response " + std::to_string(http ? http->statusCode() : 0));
        done(URLSessionResponseDisposition::Allow);
    }
    void didReceiveData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>&,
                        const Bytes& data) override {
        std::lock_guard lock(m_);
        received += data.size();
        if (!countOnly) body.append(data.begin(), data.end());
    }
    void didWriteData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDownloadTask>&, int64_t,
                      int64_t total, int64_t) override {
        std::lock_guard lock(m_);
        written = total;
        cv_.notify_all();
    }
    void didResumeAtOffset(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDownloadTask>&,
                           int64_t offset, int64_t) override {
        log("resumeAt " + std::to_string(offset));
    }
    void didFinishDownloadingToURL(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDownloadTask>&,
                                   const URL& location) override {
        std::error_code ec;
        downloadedSize = int64_t(std::filesystem::file_size(location.path(), ec));
        if (onDownloaded) onDownloaded(location);
        log("finished");
    }
    void didFinishCollectingMetrics(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
                                    const URLSessionTaskMetrics& m) override {
        std::lock_guard lock(m_);
        metrics = m;
    }
    void didCompleteWithError(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
                              const std::optional<Error>& e) override {
        {
            std::lock_guard lock(m_);
            error = e;
        }
        log("complete " + std::to_string(e ? e->code : 0));
    }
    void didBecomeInvalidWithError(const std::shared_ptr<URLSession>&, const std::optional<Error>&) override {
        log("invalid");
    }
    void readClosedForStreamTask(const std::shared_ptr<URLSession>&,
                                 const std::shared_ptr<URLSessionStreamTask>&) override {
        log("readClosed");
    }
    void writeClosedForStreamTask(const std::shared_ptr<URLSession>&,
                                  const std::shared_ptr<URLSessionStreamTask>&) override {
        log("writeClosed");
    }
    void didBecomeStreams(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionStreamTask>&,
                          std::shared_ptr<InputStream> in, std::shared_ptr<OutputStream> out) override {
        {
            std::lock_guard lock(m_);
            input = std::move(in);
            output = std::move(out);
        }
        log("streams");
    }

    void log(std::string line) {
        std::lock_guard lock(m_);
        events.push_back(std::move(line));
        cv_.notify_all();
    }
    bool waitFor(const std::string& line, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, timeout,
                            [&] { return std::find(events.begin(), events.end(), line) != events.end(); });
    }
    bool waitForPrefix(const std::string& prefix, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, timeout, [&] {
            for (auto& e : events)
                if (e.rfind(prefix, 0) == 0) return true;
            return false;
        });
    }
    bool waitForCount(const std::string& line, size_t count,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, timeout,
                            [&] { return size_t(std::count(events.begin(), events.end(), line)) >= count; });
    }
    bool waitWritten(int64_t atLeast, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(m_);
        return cv_.wait_for(lock, timeout, [&] { return written >= atLeast; });
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(m_);
        return events;
    }
    std::optional<Error> lastError() {
        std::lock_guard lock(m_);
        return error;
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> events;
    std::string body;
    size_t received = 0;
    int64_t written = 0;
    int64_t downloadedSize = -1;
    std::optional<Error> error;
    URLSessionTaskMetrics metrics;
    std::shared_ptr<InputStream> input;  // from didBecomeStreams
    std::shared_ptr<OutputStream> output;
};

// Waits for a completion-handler style result.
template <class T>
class Promise {
public:
    void set(T v) {
        std::lock_guard lock(m_);
        value_ = std::move(v);
        cv_.notify_all();
    }
    std::optional<T> wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(m_);
        cv_.wait_for(lock, timeout, [&] { return value_.has_value(); });
        return value_;
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    std::optional<T> value_;
};

inline URL url(const std::string& s) { return *URL::string(s); }

// What a data task's completion handler gave.
struct Fetched {
    std::string body;
    std::shared_ptr<const HTTPURLResponse> response;
    std::optional<Error> error;
};

// Runs one data task and waits for its completion handler.
inline Fetched fetch(const std::shared_ptr<URLSession>& session, const URLRequest& request) {
    Promise<Fetched> done;
    auto task = session->dataTaskWithRequest(
        request, [&](const Bytes& data, std::shared_ptr<const URLResponse> r, std::optional<Error> e) {
            done.set({std::string(data.begin(), data.end()), std::dynamic_pointer_cast<const HTTPURLResponse>(r), e});
        });
    task->resume();
    auto r = done.wait();
    EXPECT_TRUE(r.has_value()) << "no completion";
    return r.value_or(Fetched{});
}

inline long residentKB() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    return 0;
}

}  // namespace urlsession_test
