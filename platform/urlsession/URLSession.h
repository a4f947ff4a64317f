#pragma once
// URLSession: URL loading over libcurl's multi interface.
//
// Threads. A session runs an engine thread that owns a curl multi handle and the transfers on it;
// calls from other threads (making, resuming, suspending, cancelling tasks, invalidating) are queued
// as commands and wake it from its poll. No thread per request, no blocking transfer. The thread
// starts with the session's first command, so a session made and not yet used costs no thread.
// A session allowed at least 64 connections per host (HTTPMaximumConnectionsPerHost) may run up to
// one engine per core (at most four), each with an equal share of the limit (32 or more), each with
// its own connections; a further engine starts only when a task finds every running one carrying 8
// tasks or more, and tasks go to the running engine with the fewest. A task stays on the engine it
// started on. Background sessions keep one engine.
// Stream tasks ride the first engine: curl makes their connections, then the engine moves their bytes
// with non-blocking socket calls, waiting on their sockets in the same poll as the transfers.
// Delegate callbacks and completion handlers run on the delegate queue (an OperationQueue; a serial
// one is made when none is given), in the order events happened.
//
// Waiting for the delegate. Decisions that must come before bytes move (the response disposition,
// a redirect, an HTTP authentication challenge, a new body stream) pause only that transfer
// (CURL_WRITEFUNC_PAUSE / CURL_READFUNC_PAUSE) until the completion handler answers; other transfers
// keep going. The server-trust challenge is the exception: OpenSSL's verify callback has to answer
// inside the handshake, so the engine thread waits there for the delegate's answer, bounded by the
// request time-out (no answer in time fails the task as cancelled). No request bytes are sent before
// the answer.
//
// Body data handed to the delegate is bounded: when more than a few MB wait on the delegate queue,
// the transfer pauses until the delegate catches up, so a slow delegate never makes memory grow.
//
// Caching. A session with a URLCache in its configuration (default: the shared one; ephemeral: its
// own; none: no caching) keeps answers in memory and reuses them by each request's cache policy:
//   ReloadIgnoringLocalCacheData (and the other Reload policies): always the network;
//   ReturnCacheDataElseLoad: any stored answer, else the network;
//   ReturnCacheDataDontLoad: a stored answer, else the task fails with NSURLErrorResourceUnavailable;
//   UseProtocolCachePolicy: a stored answer only while it is fresh by its own headers (Cache-Control
//     max-age, else Expires, against its Date or the time it was stored; "no-cache" on the request or
//     the answer, or a request max-age it is older than, means the network), else the network.
// Requests with Range or conditional header fields always go to the network. A stored answer takes
// the same road as a network one (didReceiveResponse and its disposition, didReceiveData, metrics
// with a LocalCache transaction, completion) without sending anything or announcing a request.
// What is stored: the GET 200 answer of a data task that completed without error, unless the request
// or the answer says "Cache-Control: no-store" or the body is larger than the cache keeps (the body
// is kept for the cache only up to that size, so a large answer never grows memory). A delegate with
// willCacheResponse is asked first (tasks with a completion handler are not asked): the task
// completes after its answer, and what it answers is stored (nullopt: nothing). A new GET 200 that
// is not stored drops the old answer for its URL, as does a successful POST, PUT, DELETE, ... to it.
//
// Lifetime. The session keeps itself, its delegate and its running tasks alive until it is
// invalidated and the last task has completed; then didBecomeInvalidWithError is called and the
// delegate is released. Drop your reference only after invalidating, or the session lives on.
//
// Network activity. tasksInFlight() counts, across every session in the process, the tasks resumed at
// least once whose completion has not yet been delivered: a task enters at its first resume() and
// leaves after its completion handler or didCompleteWithError has returned on the delegate queue (or
// when its session goes away without delivering it). Work started from a completion callback is
// counted before the finishing task leaves, so zero means the network has settled.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/HTTPURLResponse.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/URLRequest.h"
#include "platform/urlsession/URLSessionConfiguration.h"
#include "platform/urlsession/URLSessionDelegate.h"
#include "platform/urlsession/URLSessionTask.h"

namespace platform {

namespace dispatch {
class OperationQueue;
}
namespace urlsession_detail {
class EngineGroup;
struct TaskKey;
}  // namespace urlsession_detail

using DataTaskCompletion =
    std::function<void(const Bytes& data, std::shared_ptr<const URLResponse>, std::optional<Error>)>;
using DownloadTaskCompletion =
    std::function<void(std::optional<URL> location, std::shared_ptr<const URLResponse>, std::optional<Error>)>;

class URLSession : public std::enable_shared_from_this<URLSession> {
public:
    // The process-wide session: default configuration, no delegate; never invalidated.
    static std::shared_ptr<URLSession> sharedSession();
    static std::shared_ptr<URLSession> sessionWithConfiguration(const URLSessionConfiguration& configuration);
    static std::shared_ptr<URLSession>
    sessionWithConfiguration(const URLSessionConfiguration& configuration, std::shared_ptr<URLSessionDelegate> delegate,
                             std::shared_ptr<dispatch::OperationQueue> delegateQueue);
    ~URLSession();

    // Tasks started and not yet completed, in all sessions (see "Network activity" above). Any thread.
    static size_t tasksInFlight();

    const URLSessionConfiguration& configuration() const { return configuration_; }
    // Present until the session has become invalid.
    std::shared_ptr<URLSessionDelegate> delegate() const;
    const std::shared_ptr<dispatch::OperationQueue>& delegateQueue() const { return delegateQueue_; }
    void setSessionDescription(std::string d);

    // Task factories. Tasks start suspended: call resume(). On an invalidated session they answer a
    // task that completes at once with NSURLErrorCancelled when resumed.
    std::shared_ptr<URLSessionDataTask> dataTaskWithRequest(const URLRequest& request);
    std::shared_ptr<URLSessionDataTask> dataTaskWithURL(const URL& url);
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(const URLRequest& request, Bytes body);
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequestFromFile(const URLRequest& request, const URL& file);
    // The body comes from the request's HTTPBodyStream if set, else from needNewBodyStream.
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithStreamedRequest(const URLRequest& request);
    std::shared_ptr<URLSessionDownloadTask> downloadTaskWithRequest(const URLRequest& request);
    std::shared_ptr<URLSessionDownloadTask> downloadTaskWithURL(const URL& url);
    // Continues a download from cancelByProducingResumeData's blob (Range + If-Range). When resumed, a
    // malformed blob completes the task with NSURLErrorBadURL, a vanished partial file with
    // NSURLErrorCannotOpenFile; a server that ignores the range restarts the download from 0.
    std::shared_ptr<URLSessionDownloadTask> downloadTaskWithResumeData(const Bytes& resumeData);
    // A TCP connection to host:port (see URLSessionStreamTask). A host that is no host name or IP address,
    // or a port outside 1...65535, completes the task with NSURLErrorBadURL when resumed.
    std::shared_ptr<URLSessionStreamTask> streamTaskWithHostName(const std::string& host, int port);
    // A TCP connection to a network service: resumed, the task resolves the service (by DNS, within the
    // configuration's timeoutIntervalForRequest) and connects to its host and port. A service that cannot
    // be resolved completes the task with NSURLErrorCannotFindHost.
    std::shared_ptr<URLSessionStreamTask> streamTaskWithNetService(std::shared_ptr<NetService> service);

    // Convenience forms: the handler runs on the delegate queue instead of the data/download delegate
    // callbacks (challenges and redirects still go to the delegate).
    std::shared_ptr<URLSessionDataTask> dataTaskWithRequest(const URLRequest& request, DataTaskCompletion handler);
    std::shared_ptr<URLSessionDataTask> dataTaskWithURL(const URL& url, DataTaskCompletion handler);
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequest(const URLRequest& request, Bytes body,
                                                                DataTaskCompletion handler);
    std::shared_ptr<URLSessionUploadTask> uploadTaskWithRequestFromFile(const URLRequest& request, const URL& file,
                                                                        DataTaskCompletion handler);
    std::shared_ptr<URLSessionDownloadTask> downloadTaskWithRequest(const URLRequest& request,
                                                                    DownloadTaskCompletion handler);
    std::shared_ptr<URLSessionDownloadTask> downloadTaskWithResumeData(const Bytes& resumeData,
                                                                       DownloadTaskCompletion handler);

    // Lets running tasks finish, refuses new ones, then invalidates. An open stream task counts as
    // running until it completes (both directions closed, streams captured, or cancelled).
    void finishTasksAndInvalidate();
    // Cancels every task, then invalidates.
    void invalidateAndCancel();
    // All tasks not yet completed, on the delegate queue.
    void getAllTasksWithCompletionHandler(std::function<void(std::vector<std::shared_ptr<URLSessionTask>>)> handler);

    // URL loading's own (the key keeps it so): the engines that carry the session's tasks.
    urlsession_detail::EngineGroup& engines(const urlsession_detail::TaskKey&) const { return *engines_; }

private:
    URLSession(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
               std::shared_ptr<dispatch::OperationQueue> delegateQueue);
    template <class T, class... A>
    std::shared_ptr<T> makeTask(A&&... args);

    URLSessionConfiguration configuration_;
    std::shared_ptr<dispatch::OperationQueue> delegateQueue_;
    std::shared_ptr<urlsession_detail::EngineGroup> engines_;
    bool shared_ = false;
    mutable dispatch::Mutex descriptionMutex_;
    std::string description_ GUARDED_BY(descriptionMutex_);
};

}  // namespace platform
