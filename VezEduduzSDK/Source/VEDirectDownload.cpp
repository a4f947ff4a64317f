#include "VezEduduzSDK/Source/VEDirectDownload.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/HTTPURLResponse.h"
#include "platform/urlsession/URLError.h"
#include "platform/urlsession/URLSession.h"

namespace vezeduduz {

using platform::Error;
using platform::makeURLError;
using platform::URLErrorCode;

namespace {

// Collects one data task into a file. Every field is under the mutex: the session's queue writes, the
// waiting thread reads.
class DirectDownloadDelegate : public platform::URLSessionDelegate {
public:
    DirectDownloadDelegate(platform::URL url, int fd, int64_t maxBytes)
        : url_(std::move(url)), fd_(fd), maxBytes_(maxBytes) {}
    ~DirectDownloadDelegate() override { closeOutput(); }

    void didReceiveResponse(const std::shared_ptr<platform::URLSession>&,
                            const std::shared_ptr<platform::URLSessionDataTask>&,
                            const std::shared_ptr<const platform::URLResponse>& response,
                            std::function<void(platform::URLSessionResponseDisposition)> completionHandler) override {
        bool refuse = false;
        {
            platform::dispatch::MutexLock lock(mutex_);
            response_ = response;
            auto http = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(response);
            if (http && (http->statusCode() < 200 || http->statusCode() > 299)) {
                noteError(makeURLError(URLErrorCode::BadServerResponse, url_));
                refuse = true;
            }
        }
        completionHandler(refuse ? platform::URLSessionResponseDisposition::Cancel
                                 : platform::URLSessionResponseDisposition::Allow);
    }

    void didReceiveData(const std::shared_ptr<platform::URLSession>&,
                        const std::shared_ptr<platform::URLSessionDataTask>& task,
                        const platform::Bytes& data) override {
        bool tooLong = false;
        {
            platform::dispatch::MutexLock lock(mutex_);
            if (fd_ < 0 || error_) return;
            received_ += int64_t(data.size());
            if (received_ > maxBytes_) {
                noteError(makeURLError(URLErrorCode::DataLengthExceedsMaximum, url_));
                tooLong = true;
            } else if (!writeAll(data)) {
                noteError(makeURLError(URLErrorCode::CannotWriteToFile, url_));
                tooLong = true;
            }
        }
        if (tooLong && task) task->cancel();
    }

    void didCompleteWithError(const std::shared_ptr<platform::URLSession>&,
                              const std::shared_ptr<platform::URLSessionTask>&,
                              const std::optional<Error>& error) override {
        finish(error);
    }

    void didBecomeInvalidWithError(const std::shared_ptr<platform::URLSession>&,
                                   const std::optional<Error>& error) override {
        finish(error);
    }

    // Waits for the end or the deadline; false at the deadline.
    bool waitUntil(std::chrono::steady_clock::time_point deadline) {
        platform::dispatch::MutexLock lock(mutex_);
        return cv_.wait_until(mutex_, deadline, [&]() REQUIRES(mutex_) { return done_; });
    }

    void timedOut() {
        platform::dispatch::MutexLock lock(mutex_);
        noteError(makeURLError(URLErrorCode::TimedOut, url_));
        done_ = true;
        closeOutputLocked();
    }

    std::optional<Error> error() const {
        platform::dispatch::MutexLock lock(mutex_);
        return error_;
    }
    std::shared_ptr<const platform::URLResponse> response() const {
        platform::dispatch::MutexLock lock(mutex_);
        return response_;
    }

private:
    void finish(const std::optional<Error>& error) {
        {
            platform::dispatch::MutexLock lock(mutex_);
            if (error) noteError(*error);
            done_ = true;
            closeOutputLocked();
        }
        cv_.notify_all();
    }
    void noteError(Error error) REQUIRES(mutex_) {
        if (!error_) error_ = std::move(error);  // the first error is the cause; a later one is its echo
    }
    bool writeAll(const platform::Bytes& data) {
        const uint8_t* p = data.data();
        size_t left = data.size();
        while (left > 0) {
            ssize_t n = ::write(fd_, p, left);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            p += n;
            left -= size_t(n);
        }
        return true;
    }
    void closeOutputLocked() REQUIRES(mutex_) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    void closeOutput() {
        platform::dispatch::MutexLock lock(mutex_);
        closeOutputLocked();
    }

    mutable platform::dispatch::Mutex mutex_;
    platform::dispatch::ConditionVariable cv_;
    platform::URL url_;
    int fd_;
    int64_t maxBytes_;
    int64_t received_ GUARDED_BY(mutex_) = 0;
    bool done_ GUARDED_BY(mutex_) = false;
    std::optional<Error> error_ GUARDED_BY(mutex_);
    std::shared_ptr<const platform::URLResponse> response_ GUARDED_BY(mutex_);
};

}  // namespace

std::chrono::steady_clock::time_point VEDirectDownloadLimits::endFromNow() const {
    auto end =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(int64_t(std::max(0.0, timeoutSeconds) * 1000));
    return deadline ? std::min(end, *deadline) : end;
}

platform::Result<std::string> downloadItemAtURL(const platform::URL& url, const std::string& filePath,
                                                const VEDirectDownloadLimits& limits) {
    auto deadline = limits.endFromNow();
    ::unlink(filePath.c_str());
    if (deadline <= std::chrono::steady_clock::now()) return makeURLError(URLErrorCode::TimedOut, url);
    auto file = platform::FileManager::defaultManager().openFile(filePath, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW);
    if (!file) return makeURLError(URLErrorCode::CannotCreateFile, url);
    int fd = file->release();
    auto delegate = std::make_shared<DirectDownloadDelegate>(url, fd, limits.maxBytes);
    auto configuration = platform::URLSessionConfiguration::defaultSessionConfiguration();
    configuration.timeoutIntervalForRequest = std::max(1.0, limits.timeoutSeconds);
    auto session = platform::URLSession::sessionWithConfiguration(configuration, delegate, nullptr);
    auto task = session->dataTaskWithURL(url);
    task->resume();
    if (!delegate->waitUntil(deadline)) {
        delegate->timedOut();
        session->invalidateAndCancel();
    } else {
        session->finishTasksAndInvalidate();
    }
    if (auto error = delegate->error()) {
        ::unlink(filePath.c_str());
        return *error;
    }
    auto response = delegate->response();
    return response ? response->MIMEType() : std::string();
}

}  // namespace vezeduduz
