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
#include <optional>

#include "Rivulet/Source/Guarded.h"
#include "Rivulet/Source/Request.h"
#include "Rivulet/Source/TaskDelegate.h"
#include "platform/dispatch/ThreadChecks.h"
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

    // Override closures. One that is set replaces the built-in handling of its callback (taskDidComplete
    // runs before it instead), and a ...WithCompletion one wins over its plain sibling. The callbacks and
    // implements() read them through these accessors only, so a subclass's accessors are honoured.
    // Session overrides.
    using SessionDidBecomeInvalidWithError =
        std::function<void(const SessionPtr&, const std::optional<platform::Error>&)>;
    virtual SessionDidBecomeInvalidWithError sessionDidBecomeInvalidWithError() const {
        return sessionDidBecomeInvalidWithError_.get();
    }
    virtual void setSessionDidBecomeInvalidWithError(SessionDidBecomeInvalidWithError f) {
        sessionDidBecomeInvalidWithError_.set(std::move(f));
    }
    using SessionDidReceiveChallenge =
        std::function<ChallengeAnswer(const SessionPtr&, const platform::URLAuthenticationChallenge&)>;
    virtual SessionDidReceiveChallenge sessionDidReceiveChallenge() const { return sessionDidReceiveChallenge_.get(); }
    virtual void setSessionDidReceiveChallenge(SessionDidReceiveChallenge f) {
        sessionDidReceiveChallenge_.set(std::move(f));
    }
    using SessionDidReceiveChallengeWithCompletion = std::function<void(
        const SessionPtr&, const platform::URLAuthenticationChallenge&, platform::ChallengeCompletion)>;
    virtual SessionDidReceiveChallengeWithCompletion sessionDidReceiveChallengeWithCompletion() const {
        return sessionDidReceiveChallengeWithCompletion_.get();
    }
    virtual void setSessionDidReceiveChallengeWithCompletion(SessionDidReceiveChallengeWithCompletion f) {
        sessionDidReceiveChallengeWithCompletion_.set(std::move(f));
    }
    using SessionDidFinishEventsForBackgroundURLSession = std::function<void(const SessionPtr&)>;
    virtual SessionDidFinishEventsForBackgroundURLSession sessionDidFinishEventsForBackgroundURLSession() const {
        return sessionDidFinishEventsForBackgroundURLSession_.get();
    }
    virtual void setSessionDidFinishEventsForBackgroundURLSession(SessionDidFinishEventsForBackgroundURLSession f) {
        sessionDidFinishEventsForBackgroundURLSession_.set(std::move(f));
    }
    // Task overrides.
    using TaskWillPerformHTTPRedirection = std::function<std::optional<platform::URLRequest>(
        const SessionPtr&, const TaskPtr&, const HTTPURLResponsePtr&, const platform::URLRequest&)>;
    virtual TaskWillPerformHTTPRedirection taskWillPerformHTTPRedirection() const {
        return taskWillPerformHTTPRedirection_.get();
    }
    virtual void setTaskWillPerformHTTPRedirection(TaskWillPerformHTTPRedirection f) {
        taskWillPerformHTTPRedirection_.set(std::move(f));
    }
    using TaskWillPerformHTTPRedirectionWithCompletion =
        std::function<void(const SessionPtr&, const TaskPtr&, const HTTPURLResponsePtr&, const platform::URLRequest&,
                           std::function<void(std::optional<platform::URLRequest>)>)>;
    virtual TaskWillPerformHTTPRedirectionWithCompletion taskWillPerformHTTPRedirectionWithCompletion() const {
        return taskWillPerformHTTPRedirectionWithCompletion_.get();
    }
    virtual void setTaskWillPerformHTTPRedirectionWithCompletion(TaskWillPerformHTTPRedirectionWithCompletion f) {
        taskWillPerformHTTPRedirectionWithCompletion_.set(std::move(f));
    }
    using TaskDidReceiveChallenge =
        std::function<ChallengeAnswer(const SessionPtr&, const TaskPtr&, const platform::URLAuthenticationChallenge&)>;
    virtual TaskDidReceiveChallenge taskDidReceiveChallenge() const { return taskDidReceiveChallenge_.get(); }
    virtual void setTaskDidReceiveChallenge(TaskDidReceiveChallenge f) { taskDidReceiveChallenge_.set(std::move(f)); }
    using TaskDidReceiveChallengeWithCompletion = std::function<void(
        const SessionPtr&, const TaskPtr&, const platform::URLAuthenticationChallenge&, platform::ChallengeCompletion)>;
    virtual TaskDidReceiveChallengeWithCompletion taskDidReceiveChallengeWithCompletion() const {
        return taskDidReceiveChallengeWithCompletion_.get();
    }
    virtual void setTaskDidReceiveChallengeWithCompletion(TaskDidReceiveChallengeWithCompletion f) {
        taskDidReceiveChallengeWithCompletion_.set(std::move(f));
    }
    using TaskNeedNewBodyStream =
        std::function<std::shared_ptr<platform::InputStream>(const SessionPtr&, const TaskPtr&)>;
    virtual TaskNeedNewBodyStream taskNeedNewBodyStream() const { return taskNeedNewBodyStream_.get(); }
    virtual void setTaskNeedNewBodyStream(TaskNeedNewBodyStream f) { taskNeedNewBodyStream_.set(std::move(f)); }
    using TaskNeedNewBodyStreamWithCompletion = std::function<void(
        const SessionPtr&, const TaskPtr&, std::function<void(std::shared_ptr<platform::InputStream>)>)>;
    virtual TaskNeedNewBodyStreamWithCompletion taskNeedNewBodyStreamWithCompletion() const {
        return taskNeedNewBodyStreamWithCompletion_.get();
    }
    virtual void setTaskNeedNewBodyStreamWithCompletion(TaskNeedNewBodyStreamWithCompletion f) {
        taskNeedNewBodyStreamWithCompletion_.set(std::move(f));
    }
    using TaskDidSendBodyData = std::function<void(const SessionPtr&, const TaskPtr&, int64_t, int64_t, int64_t)>;
    virtual TaskDidSendBodyData taskDidSendBodyData() const { return taskDidSendBodyData_.get(); }
    virtual void setTaskDidSendBodyData(TaskDidSendBodyData f) { taskDidSendBodyData_.set(std::move(f)); }
    using TaskDidComplete = std::function<void(const SessionPtr&, const TaskPtr&, const std::optional<AnyError>&)>;
    virtual TaskDidComplete taskDidComplete() const { return taskDidComplete_.get(); }
    virtual void setTaskDidComplete(TaskDidComplete f) { taskDidComplete_.set(std::move(f)); }
    // Data task overrides.
    using DataTaskDidReceiveResponse = std::function<platform::URLSessionResponseDisposition(
        const SessionPtr&, const DataTaskPtr&, const std::shared_ptr<const platform::URLResponse>&)>;
    virtual DataTaskDidReceiveResponse dataTaskDidReceiveResponse() const { return dataTaskDidReceiveResponse_.get(); }
    virtual void setDataTaskDidReceiveResponse(DataTaskDidReceiveResponse f) {
        dataTaskDidReceiveResponse_.set(std::move(f));
    }
    using DataTaskDidReceiveResponseWithCompletion =
        std::function<void(const SessionPtr&, const DataTaskPtr&, const std::shared_ptr<const platform::URLResponse>&,
                           std::function<void(platform::URLSessionResponseDisposition)>)>;
    virtual DataTaskDidReceiveResponseWithCompletion dataTaskDidReceiveResponseWithCompletion() const {
        return dataTaskDidReceiveResponseWithCompletion_.get();
    }
    virtual void setDataTaskDidReceiveResponseWithCompletion(DataTaskDidReceiveResponseWithCompletion f) {
        dataTaskDidReceiveResponseWithCompletion_.set(std::move(f));
    }
    using DataTaskDidBecomeDownloadTask =
        std::function<void(const SessionPtr&, const DataTaskPtr&, const DownloadTaskPtr&)>;
    virtual DataTaskDidBecomeDownloadTask dataTaskDidBecomeDownloadTask() const {
        return dataTaskDidBecomeDownloadTask_.get();
    }
    virtual void setDataTaskDidBecomeDownloadTask(DataTaskDidBecomeDownloadTask f) {
        dataTaskDidBecomeDownloadTask_.set(std::move(f));
    }
    using DataTaskDidReceiveData = std::function<void(const SessionPtr&, const DataTaskPtr&, const platform::Bytes&)>;
    virtual DataTaskDidReceiveData dataTaskDidReceiveData() const { return dataTaskDidReceiveData_.get(); }
    virtual void setDataTaskDidReceiveData(DataTaskDidReceiveData f) { dataTaskDidReceiveData_.set(std::move(f)); }
    using DataTaskWillCacheResponse = std::function<std::optional<platform::CachedURLResponse>(
        const SessionPtr&, const DataTaskPtr&, const platform::CachedURLResponse&)>;
    virtual DataTaskWillCacheResponse dataTaskWillCacheResponse() const { return dataTaskWillCacheResponse_.get(); }
    virtual void setDataTaskWillCacheResponse(DataTaskWillCacheResponse f) {
        dataTaskWillCacheResponse_.set(std::move(f));
    }
    using DataTaskWillCacheResponseWithCompletion =
        std::function<void(const SessionPtr&, const DataTaskPtr&, const platform::CachedURLResponse&,
                           std::function<void(std::optional<platform::CachedURLResponse>)>)>;
    virtual DataTaskWillCacheResponseWithCompletion dataTaskWillCacheResponseWithCompletion() const {
        return dataTaskWillCacheResponseWithCompletion_.get();
    }
    virtual void setDataTaskWillCacheResponseWithCompletion(DataTaskWillCacheResponseWithCompletion f) {
        dataTaskWillCacheResponseWithCompletion_.set(std::move(f));
    }
    // Download task overrides.
    using DownloadTaskDidFinishDownloadingToURL =
        std::function<void(const SessionPtr&, const DownloadTaskPtr&, const platform::URL&)>;
    virtual DownloadTaskDidFinishDownloadingToURL downloadTaskDidFinishDownloadingToURL() const {
        return downloadTaskDidFinishDownloadingToURL_.get();
    }
    virtual void setDownloadTaskDidFinishDownloadingToURL(DownloadTaskDidFinishDownloadingToURL f) {
        downloadTaskDidFinishDownloadingToURL_.set(std::move(f));
    }
    using DownloadTaskDidWriteData =
        std::function<void(const SessionPtr&, const DownloadTaskPtr&, int64_t, int64_t, int64_t)>;
    virtual DownloadTaskDidWriteData downloadTaskDidWriteData() const { return downloadTaskDidWriteData_.get(); }
    virtual void setDownloadTaskDidWriteData(DownloadTaskDidWriteData f) {
        downloadTaskDidWriteData_.set(std::move(f));
    }
    using DownloadTaskDidResumeAtOffset =
        std::function<void(const SessionPtr&, const DownloadTaskPtr&, int64_t, int64_t)>;
    virtual DownloadTaskDidResumeAtOffset downloadTaskDidResumeAtOffset() const {
        return downloadTaskDidResumeAtOffset_.get();
    }
    virtual void setDownloadTaskDidResumeAtOffset(DownloadTaskDidResumeAtOffset f) {
        downloadTaskDidResumeAtOffset_.set(std::move(f));
    }
    // Stream task overrides.
    using StreamTaskReadClosed = std::function<void(const SessionPtr&, const StreamTaskPtr&)>;
    virtual StreamTaskReadClosed streamTaskReadClosed() const { return streamTaskReadClosed_.get(); }
    virtual void setStreamTaskReadClosed(StreamTaskReadClosed f) { streamTaskReadClosed_.set(std::move(f)); }
    using StreamTaskWriteClosed = std::function<void(const SessionPtr&, const StreamTaskPtr&)>;
    virtual StreamTaskWriteClosed streamTaskWriteClosed() const { return streamTaskWriteClosed_.get(); }
    virtual void setStreamTaskWriteClosed(StreamTaskWriteClosed f) { streamTaskWriteClosed_.set(std::move(f)); }
    using StreamTaskBetterRouteDiscovered = std::function<void(const SessionPtr&, const StreamTaskPtr&)>;
    virtual StreamTaskBetterRouteDiscovered streamTaskBetterRouteDiscovered() const {
        return streamTaskBetterRouteDiscovered_.get();
    }
    virtual void setStreamTaskBetterRouteDiscovered(StreamTaskBetterRouteDiscovered f) {
        streamTaskBetterRouteDiscovered_.set(std::move(f));
    }
    using StreamTaskDidBecomeInputStream =
        std::function<void(const SessionPtr&, const StreamTaskPtr&, std::shared_ptr<platform::InputStream>,
                           std::shared_ptr<platform::OutputStream>)>;
    virtual StreamTaskDidBecomeInputStream streamTaskDidBecomeInputStream() const {
        return streamTaskDidBecomeInputStream_.get();
    }
    virtual void setStreamTaskDidBecomeInputStream(StreamTaskDidBecomeInputStream f) {
        streamTaskDidBecomeInputStream_.set(std::move(f));
    }

    // Consulted when a task completes with an error; set through SessionManager::setRetrier.
    Guarded<std::shared_ptr<RequestRetrier>> retrier;
    // The owning manager, held weakly.
    Guarded<std::weak_ptr<SessionManager>> sessionManager;

    // The request table, by task identifier. Every read and write of it goes through these two.
    virtual std::shared_ptr<Request> request(const TaskPtr& task) const;
    virtual void setRequest(const TaskPtr& task, std::shared_ptr<Request> request);  // nullptr removes
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
    void didFinishCollectingSharedMetrics(const SessionPtr& session, const TaskPtr& task,
                                          std::shared_ptr<const platform::URLSessionTaskMetrics> metrics) override;
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

    Guarded<SessionDidBecomeInvalidWithError> sessionDidBecomeInvalidWithError_;
    Guarded<SessionDidReceiveChallenge> sessionDidReceiveChallenge_;
    Guarded<SessionDidReceiveChallengeWithCompletion> sessionDidReceiveChallengeWithCompletion_;
    Guarded<SessionDidFinishEventsForBackgroundURLSession> sessionDidFinishEventsForBackgroundURLSession_;
    Guarded<TaskWillPerformHTTPRedirection> taskWillPerformHTTPRedirection_;
    Guarded<TaskWillPerformHTTPRedirectionWithCompletion> taskWillPerformHTTPRedirectionWithCompletion_;
    Guarded<TaskDidReceiveChallenge> taskDidReceiveChallenge_;
    Guarded<TaskDidReceiveChallengeWithCompletion> taskDidReceiveChallengeWithCompletion_;
    Guarded<TaskNeedNewBodyStream> taskNeedNewBodyStream_;
    Guarded<TaskNeedNewBodyStreamWithCompletion> taskNeedNewBodyStreamWithCompletion_;
    Guarded<TaskDidSendBodyData> taskDidSendBodyData_;
    Guarded<TaskDidComplete> taskDidComplete_;
    Guarded<DataTaskDidReceiveResponse> dataTaskDidReceiveResponse_;
    Guarded<DataTaskDidReceiveResponseWithCompletion> dataTaskDidReceiveResponseWithCompletion_;
    Guarded<DataTaskDidBecomeDownloadTask> dataTaskDidBecomeDownloadTask_;
    Guarded<DataTaskDidReceiveData> dataTaskDidReceiveData_;
    Guarded<DataTaskWillCacheResponse> dataTaskWillCacheResponse_;
    Guarded<DataTaskWillCacheResponseWithCompletion> dataTaskWillCacheResponseWithCompletion_;
    Guarded<DownloadTaskDidFinishDownloadingToURL> downloadTaskDidFinishDownloadingToURL_;
    Guarded<DownloadTaskDidWriteData> downloadTaskDidWriteData_;
    Guarded<DownloadTaskDidResumeAtOffset> downloadTaskDidResumeAtOffset_;
    Guarded<StreamTaskReadClosed> streamTaskReadClosed_;
    Guarded<StreamTaskWriteClosed> streamTaskWriteClosed_;
    Guarded<StreamTaskBetterRouteDiscovered> streamTaskBetterRouteDiscovered_;
    Guarded<StreamTaskDidBecomeInputStream> streamTaskDidBecomeInputStream_;
    mutable platform::dispatch::Mutex lock_;
    std::map<uint64_t, std::shared_ptr<Request>> requests_ GUARDED_BY(lock_);
};

}  // namespace rivulet
