#pragma once
// URL session tasks. A task is made by its URLSession (never directly), starts suspended, and runs
// on one of the session's engine threads after resume(). resume/suspend/cancel may be called from any
// thread, any number of times; every accessor is thread-safe (one lock per task) and answers a
// snapshot. The session keeps a task alive until its completion has been delivered; callers hold
// tasks as std::shared_ptr.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/HTTPURLResponse.h"
#include "platform/foundation/URLRequest.h"
#include "platform/urlsession/NetService.h"

namespace platform {

class URLSession;
namespace urlsession_detail {
class StreamConnections;
struct TaskKey;
}  // namespace urlsession_detail

enum class URLSessionTaskState { Running = 0, Suspended = 1, Canceling = 2, Completed = 3 };

inline constexpr float kURLSessionTaskPriorityDefault = 0.5f;
inline constexpr int64_t kURLSessionTransferSizeUnknown = -1;

class URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
public:
    // Only URL loading can make one: it alone sees the key's definition.
    using Key = urlsession_detail::TaskKey;
    enum class Kind { Data, Download, Upload, Stream };

    URLSessionTask(const Key&, Kind kind, uint64_t identifier, std::weak_ptr<URLSession> session,
                   std::optional<URLRequest> request);
    virtual ~URLSessionTask();
    URLSessionTask(const URLSessionTask&) = delete;
    URLSessionTask& operator=(const URLSessionTask&) = delete;

    Kind kind() const { return kind_; }
    uint64_t taskIdentifier() const { return identifier_; }  // unique within its session
    std::optional<URLRequest> originalRequest() const;
    // The request of the current hop (after redirects).
    std::optional<URLRequest> currentRequest() const EXCLUDES(mutex_);
    std::shared_ptr<const URLResponse> response() const EXCLUDES(mutex_);
    URLSessionTaskState state() const EXCLUDES(mutex_);
    std::optional<Error> error() const EXCLUDES(mutex_);  // set when the task completed with an error

    float priority() const EXCLUDES(mutex_);

    int64_t countOfBytesReceived() const EXCLUDES(mutex_);
    int64_t countOfBytesSent() const EXCLUDES(mutex_);

    // Starts or continues the task; no effect once canceling or completed.
    void resume() EXCLUDES(mutex_);
    // Holds a running task (its transfer is paused; time-outs still count). Resume continues it.
    void suspend() EXCLUDES(mutex_);
    // Ends the task with NSURLErrorCancelled (-999) unless it has already completed.
    virtual void cancel();

    std::shared_ptr<URLSession> session() const { return session_.lock(); }

    // What URL loading's engine does to a task (the key keeps it to URL loading).
    // Completes the task with `error` (none: success); false when it had completed already.
    bool complete(const Key&, std::optional<Error> error) EXCLUDES(mutex_);
    void setCurrentRequest(const Key&, URLRequest request) EXCLUDES(mutex_);
    // The final response; the body length it announces is the count expected to arrive.
    void setResponse(const Key&, std::shared_ptr<const URLResponse> response) EXCLUDES(mutex_);
    void addBytesReceived(const Key&, int64_t bytes) EXCLUDES(mutex_);
    void setBytesSent(const Key&, int64_t total) EXCLUDES(mutex_);
    void setBytesExpectedToSend(const Key&, int64_t total) EXCLUDES(mutex_);
    // A task made to carry on another's transfer (a data task that became a download): running, resumed
    // already, in flight, at that transfer's request and response.
    void carryOn(const Key&, URLRequest currentRequest, std::shared_ptr<const URLResponse> response) EXCLUDES(mutex_);
    // The process-wide in-flight count (URLSession::tasksInFlight): entered at the first resume, left
    // once, when the completion has been delivered or the session dropped the task.
    void leaveInFlight(const Key&) EXCLUDES(mutex_);

protected:
    // Running or suspended becomes canceling; false when the task was canceling or completed already.
    bool beginCanceling() EXCLUDES(mutex_);

private:
    void enterInFlight() EXCLUDES(mutex_);

    const Kind kind_;
    const uint64_t identifier_;
    const std::weak_ptr<URLSession> session_;

    mutable dispatch::Mutex mutex_;
    const std::optional<URLRequest> originalRequest_;  // set once, read without the lock
    std::optional<URLRequest> currentRequest_ GUARDED_BY(mutex_);
    std::shared_ptr<const URLResponse> response_ GUARDED_BY(mutex_);
    URLSessionTaskState state_ GUARDED_BY(mutex_) = URLSessionTaskState::Suspended;
    bool everResumed_ GUARDED_BY(mutex_) = false;
    bool inFlight_ GUARDED_BY(mutex_) = false;
    std::optional<Error> error_ GUARDED_BY(mutex_);
    float priority_ GUARDED_BY(mutex_) = kURLSessionTaskPriorityDefault;
    int64_t received_ GUARDED_BY(mutex_) = 0;
    int64_t sent_ GUARDED_BY(mutex_) = 0;
    int64_t expectedToReceive_ GUARDED_BY(mutex_) = kURLSessionTransferSizeUnknown;
    int64_t expectedToSend_ GUARDED_BY(mutex_) = 0;
};

class URLSessionDataTask : public URLSessionTask {
public:
    URLSessionDataTask(const Key& key, uint64_t id, std::weak_ptr<URLSession> s, std::optional<URLRequest> r)
        : URLSessionTask(key, Kind::Data, id, std::move(s), std::move(r)) {}

protected:
    URLSessionDataTask(const Key& key, Kind kind, uint64_t id, std::weak_ptr<URLSession> s, std::optional<URLRequest> r)
        : URLSessionTask(key, kind, id, std::move(s), std::move(r)) {}
};

// The body comes from data, a file, or a stream the delegate supplies (needNewBodyStream).
class URLSessionUploadTask : public URLSessionDataTask {
public:
    URLSessionUploadTask(const Key& key, uint64_t id, std::weak_ptr<URLSession> s, std::optional<URLRequest> r)
        : URLSessionDataTask(key, Kind::Upload, id, std::move(s), std::move(r)) {}
};

// Writes the body to a temporary file under the device's tmp/ directory. The file exists while
// didFinishDownloadingToURL runs and is removed afterwards unless the delegate moved it.
class URLSessionDownloadTask : public URLSessionTask {
public:
    URLSessionDownloadTask(const Key& key, uint64_t id, std::weak_ptr<URLSession> s, std::optional<URLRequest> r)
        : URLSessionTask(key, Kind::Download, id, std::move(s), std::move(r)) {}

    // Cancels; the handler gets resume data (a property-list blob) when the download can continue
    // later (bytes were written and the server gave an ETag or Last-Modified), else nullopt. It runs on
    // the delegate queue, before didCompleteWithError.
    void cancelByProducingResumeData(std::function<void(std::optional<Bytes>)> completionHandler);
};

// A TCP connection to host:port; bytes in and out without HTTP.
//
// resume() connects (the session's connect-to mapping applies; the connect time-out is the
// configuration's timeoutIntervalForRequest). Reads and writes may be asked for from any thread at any
// time, also before the connection is up: they wait for it, reads are served in the order they were
// asked for and writes likewise. Handlers run on the delegate queue, in the order things happened there
// (a write's handler, the readClosed/writeClosed callbacks and didCompleteWithError keep their order).
// While the task is suspended no bytes move; time-outs still count.
//
// Errors. A read or write asked for when its direction can take no more fails at once with
// kPOSIXErrorDomain: EINVAL for a read asking for nothing or for minBytes > maxBytes, EPIPE for a write
// after closeWrite, ENOTCONN for a read after closeRead and for anything after captureStreams or after
// the task completed without error. When the connection cannot be made or is lost (not connected -1009,
// cannot find host -1003, cannot connect -1004, connect timed out -1001, connection lost -1005) or the
// task is cancelled (-999), every pending read and write fails with that error, then the task completes
// with it; operations asked for after that fail with it too.
//
// The task completes without error once both directions are done with: the read side closed (by
// closeRead, or by the peer's end of stream with every byte read) and the write side shut down by
// closeWrite, with no read or write pending; or when captureStreams has handed the connection over.
// Until then the task runs (and finishTasksAndInvalidate waits for it); cancel() ends it at any time.
class URLSessionStreamTask : public URLSessionTask {
public:
    using ReadCompletion = std::function<void(Bytes data, bool atEOF, std::optional<Error> error)>;
    using WriteCompletion = std::function<void(std::optional<Error> error)>;

    URLSessionStreamTask(const Key& key, uint64_t id, std::weak_ptr<URLSession> s, std::string host, int port);
    // A connection to a network service, made once the service has been resolved.
    URLSessionStreamTask(const Key& key, uint64_t id, std::weak_ptr<URLSession> s, std::shared_ptr<NetService> service);

    // The host and port asked for (empty and 0 for a network service's task).
    const std::string& host() const { return host_; }
    int port() const { return port_; }
    const std::shared_ptr<NetService>& netService() const { return netService_; }
    // Answers once at least minBytes (at most maxBytes) have arrived, or fewer when the stream ends
    // (atEOF is true once every byte up to the peer's end of stream has been handed out; later reads
    // answer empty with atEOF). minBytes 0 waits for one byte. timeout > 0: the read fails with timed out
    // (-1001) when not answered in time; the connection stays usable and bytes that had arrived are kept
    // for the next read.
    void readDataOfMinLength(size_t minBytes, size_t maxBytes, double timeout, ReadCompletion completionHandler);
    // Answers nullopt once every byte has been handed to the socket. timeout > 0: fails with timed out
    // (-1001) when not done in time; bytes already sent stay sent (countOfBytesSent says how many).
    void writeData(Bytes data, double timeout, WriteCompletion completionHandler);
    // Closes the read side: pending reads answer with the bytes already received and atEOF, later reads
    // fail; the delegate hears readClosedForStreamTask (as it does when the peer ends its stream).
    void closeRead();
    // Half-closes: once the writes asked for before it are out, the socket's write side is shut down (the
    // peer sees the end of the stream) and the delegate hears writeClosedForStreamTask.
    void closeWrite();
    // After the reads and writes already asked for are answered, hands the connection to the delegate as an
    // unopened InputStream/OutputStream pair (didBecomeStreams; blocking streams on the socket, the input
    // starting with bytes already received) and completes the task. Without that delegate method the
    // connection is closed.
    void captureStreams();

private:
    void post(std::function<void(urlsession_detail::StreamConnections&, const std::shared_ptr<URLSessionStreamTask>&)>
                  command);

    const std::string host_;
    const int port_ = 0;
    const std::shared_ptr<NetService> netService_;
};

}  // namespace platform
