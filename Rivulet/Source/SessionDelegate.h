#pragma once
// SessionDelegate: the one delegate of a SessionManager's URL session. For every callback it calls the
// owner's override closure when one is set, else routes the callback to the task delegate of the
// Request that owns the task, else applies a built-in default. It keeps the table from task identifier
// to Request and runs the completion of every task, retry decision included.
//
// Threads. Callbacks arrive on the session's delegate queue. The request table is guarded by its own
// lock, never held while a closure, a task delegate or the retrier runs; the overrides and the retrier
// are each guarded too, so they may be set from any thread at any time. Delayed retries run on the
// global utility queue.
//
// Every callback's completion handler is answered exactly once, also when no request owns the task.
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "Rivulet/Source/Guarded.h"
#include "Rivulet/Source/Request.h"
#include "Rivulet/Source/TaskDelegate.h"
#include "platform/urlsession/URLSessionDelegate.h"

namespace rivulet {

class SessionManager;
using StreamTaskPtr = std::shared_ptr<platform::URLSessionStreamTask>;
using HTTPURLResponsePtr = std::shared_ptr<const platform::HTTPURLResponse>;

// Decides whether (and after how many seconds) a failed request is made again. `completion` may be
// called on any thread; only its first call counts.
class RequestRetrier {
public:
    using Completion = std::function<void(bool shouldRetry, double timeDelay)>;
    virtual ~RequestRetrier() = default;
    virtual void should(const std::shared_ptr<SessionManager>& manager, const std::shared_ptr<Request>& request,
                        const AnyError& error, Completion completion) = 0;
};

class SessionDelegate : public platform::URLSessionDelegate, public std::enable_shared_from_this<SessionDelegate> {
public:
    SessionDelegate() = default;

    template <class F>
    using Override = Guarded<std::function<F>>;

    // Session overrides.
    Override<void(const SessionPtr&, const std::optional<platform::Error>&)> sessionDidBecomeInvalidWithError;
    Override<ChallengeAnswer(const SessionPtr&, const platform::URLAuthenticationChallenge&)>
        sessionDidReceiveChallenge;
    Override<void(const SessionPtr&, const platform::URLAuthenticationChallenge&, platform::ChallengeCompletion)>
        sessionDidReceiveChallengeWithCompletion;
    Override<void(const SessionPtr&)> sessionDidFinishEventsForBackgroundURLSession;
    // Task overrides.
    Override<std::optional<platform::URLRequest>(const SessionPtr&, const TaskPtr&, const HTTPURLResponsePtr&,
                                                 const platform::URLRequest&)>
        taskWillPerformHTTPRedirection;
    Override<void(const SessionPtr&, const TaskPtr&, const HTTPURLResponsePtr&, const platform::URLRequest&,
                  std::function<void(std::optional<platform::URLRequest>)>)>
        taskWillPerformHTTPRedirectionWithCompletion;
    Override<ChallengeAnswer(const SessionPtr&, const TaskPtr&, const platform::URLAuthenticationChallenge&)>
        taskDidReceiveChallenge;
    Override<void(const SessionPtr&, const TaskPtr&, const platform::URLAuthenticationChallenge&,
                  platform::ChallengeCompletion)>
        taskDidReceiveChallengeWithCompletion;
    Override<std::shared_ptr<platform::InputStream>(const SessionPtr&, const TaskPtr&)> taskNeedNewBodyStream;
    Override<void(const SessionPtr&, const TaskPtr&, std::function<void(std::shared_ptr<platform::InputStream>)>)>
        taskNeedNewBodyStreamWithCompletion;
    Override<void(const SessionPtr&, const TaskPtr&, int64_t, int64_t, int64_t)> taskDidSendBodyData;
    // Runs in addition to the built-in completion, not instead of it.
    Override<void(const SessionPtr&, const TaskPtr&, const std::optional<AnyError>&)> taskDidComplete;
    // Data task overrides.
    Override<platform::URLSessionResponseDisposition(const SessionPtr&, const DataTaskPtr&,
                                                     const std::shared_ptr<const platform::URLResponse>&)>
        dataTaskDidReceiveResponse;
    Override<void(const SessionPtr&, const DataTaskPtr&, const std::shared_ptr<const platform::URLResponse>&,
                  std::function<void(platform::URLSessionResponseDisposition)>)>
        dataTaskDidReceiveResponseWithCompletion;
    Override<void(const SessionPtr&, const DataTaskPtr&, const DownloadTaskPtr&)> dataTaskDidBecomeDownloadTask;
    Override<void(const SessionPtr&, const DataTaskPtr&, const platform::Bytes&)> dataTaskDidReceiveData;
    Override<std::optional<platform::CachedURLResponse>(const SessionPtr&, const DataTaskPtr&,
                                                        const platform::CachedURLResponse&)>
        dataTaskWillCacheResponse;
    Override<void(const SessionPtr&, const DataTaskPtr&, const platform::CachedURLResponse&,
                  std::function<void(std::optional<platform::CachedURLResponse>)>)>
        dataTaskWillCacheResponseWithCompletion;
    // Download task overrides.
    Override<void(const SessionPtr&, const DownloadTaskPtr&, const platform::URL&)>
        downloadTaskDidFinishDownloadingToURL;
    Override<void(const SessionPtr&, const DownloadTaskPtr&, int64_t, int64_t, int64_t)> downloadTaskDidWriteData;
    Override<void(const SessionPtr&, const DownloadTaskPtr&, int64_t, int64_t)> downloadTaskDidResumeAtOffset;
    // Stream task overrides.
    Override<void(const SessionPtr&, const StreamTaskPtr&)> streamTaskReadClosed;
    Override<void(const SessionPtr&, const StreamTaskPtr&)> streamTaskWriteClosed;
    Override<void(const SessionPtr&, const StreamTaskPtr&)> streamTaskBetterRouteDiscovered;
    Override<void(const SessionPtr&, const StreamTaskPtr&, std::shared_ptr<platform::InputStream>,
                  std::shared_ptr<platform::OutputStream>)>
        streamTaskDidBecomeInputStream;

    // Consulted when a task completes with an error; set through SessionManager::setRetrier.
    Guarded<std::shared_ptr<RequestRetrier>> retrier;
    // The owning manager, held weakly.
    Guarded<std::weak_ptr<SessionManager>> sessionManager;

    // The request table, by task identifier.
    std::shared_ptr<Request> request(const TaskPtr& task) const;
    void setRequest(const TaskPtr& task, std::shared_ptr<Request> request);  // nullptr removes
    size_t requestCount() const;

    // URLSessionDelegate.
    bool implements(platform::URLSessionDelegateMethod method) const override;
    void didBecomeInvalidWithError(const SessionPtr& session, const std::optional<platform::Error>& error) override;
    void didReceiveChallenge(const SessionPtr& session, const platform::URLAuthenticationChallenge& challenge,
                             platform::ChallengeCompletion completion) override;
    void didFinishEventsForBackgroundURLSession(const SessionPtr& session) override;
    void willPerformHTTPRedirection(const SessionPtr& session, const TaskPtr& task, const HTTPURLResponsePtr& response,
                                    platform::URLRequest newRequest,
                                    std::function<void(std::optional<platform::URLRequest>)> completion) override;
    void didReceiveTaskChallenge(const SessionPtr& session, const TaskPtr& task,
                                 const platform::URLAuthenticationChallenge& challenge,
                                 platform::ChallengeCompletion completion) override;
    void needNewBodyStream(const SessionPtr& session, const TaskPtr& task,
                           std::function<void(std::shared_ptr<platform::InputStream>)> completion) override;
    void didSendBodyData(const SessionPtr& session, const TaskPtr& task, int64_t bytesSent, int64_t totalBytesSent,
                         int64_t totalBytesExpectedToSend) override;
    void didFinishCollectingMetrics(const SessionPtr& session, const TaskPtr& task,
                                    const platform::URLSessionTaskMetrics& metrics) override;
    void didCompleteWithError(const SessionPtr& session, const TaskPtr& task,
                              const std::optional<platform::Error>& error) override;
    void didReceiveResponse(const SessionPtr& session, const DataTaskPtr& task,
                            const std::shared_ptr<const platform::URLResponse>& response,
                            std::function<void(platform::URLSessionResponseDisposition)> completion) override;
    void didBecomeDownloadTask(const SessionPtr& session, const DataTaskPtr& task,
                               const DownloadTaskPtr& downloadTask) override;
    void didReceiveData(const SessionPtr& session, const DataTaskPtr& task, const platform::Bytes& data) override;
    void willCacheResponse(const SessionPtr& session, const DataTaskPtr& task, platform::CachedURLResponse proposed,
                           std::function<void(std::optional<platform::CachedURLResponse>)> completion) override;
    void didFinishDownloadingToURL(const SessionPtr& session, const DownloadTaskPtr& task,
                                   const platform::URL& location) override;
    void didWriteData(const SessionPtr& session, const DownloadTaskPtr& task, int64_t bytesWritten,
                      int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) override;
    void didResumeAtOffset(const SessionPtr& session, const DownloadTaskPtr& task, int64_t fileOffset,
                           int64_t expectedTotalBytes) override;
    void readClosedForStreamTask(const SessionPtr& session, const StreamTaskPtr& task) override;
    void writeClosedForStreamTask(const SessionPtr& session, const StreamTaskPtr& task) override;
    void betterRouteDiscoveredForStreamTask(const SessionPtr& session, const StreamTaskPtr& task) override;
    void didBecomeStreams(const SessionPtr& session, const StreamTaskPtr& task,
                          std::shared_ptr<platform::InputStream> input,
                          std::shared_ptr<platform::OutputStream> output) override;

protected:
    // Hands the task's end to its task delegate (releasing the response handlers), posts didComplete
    // and forgets the request.
    virtual void completeTask(const SessionPtr& session, const TaskPtr& task, const std::optional<AnyError>& error);

private:
    std::shared_ptr<TaskDelegate> taskDelegate(const TaskPtr& task) const;

    mutable std::mutex lock_;  // guards requests_ only
    std::map<uint64_t, std::shared_ptr<Request>> requests_;
};

}  // namespace rivulet
