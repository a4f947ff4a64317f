#include "Rivulet/Source/SessionDelegate.h"

#include "Rivulet/Source/Notifications.h"
#include "Rivulet/Source/SessionManager.h"
#include "Rivulet/Source/URLConvertible.h"
#include "platform/dispatch/OnceHandler.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/ProcessInfo.h"

namespace rivulet {

using platform::URLSessionDelegateMethod;
using platform::dispatch::DispatchQueue;
using platform::dispatch::QualityOfService;

namespace {
std::optional<AnyError> wrap(const std::optional<platform::Error>& error) {
    if (!error) return std::nullopt;
    return AnyError(*error);
}
}  // namespace

std::shared_ptr<Request> SessionDelegate::request(const TaskPtr& task) const {
    if (!task) return nullptr;
    platform::dispatch::MutexLock lock(lock_);
    auto it = requests_.find(task->taskIdentifier());
    return it == requests_.end() ? nullptr : it->second;
}

void SessionDelegate::setRequest(const TaskPtr& task, std::shared_ptr<Request> request) {
    if (!task) return;
    platform::dispatch::MutexLock lock(lock_);
    if (request)
        requests_[task->taskIdentifier()] = std::move(request);
    else
        requests_.erase(task->taskIdentifier());
}

size_t SessionDelegate::requestCount() const {
    platform::dispatch::MutexLock lock(lock_);
    return requests_.size();
}

std::shared_ptr<TaskDelegate> SessionDelegate::taskDelegate(const TaskPtr& task) const {
    auto r = request(task);
    return r ? r->delegate() : nullptr;
}

bool SessionDelegate::implements(URLSessionDelegateMethod method) const {
    switch (method) {
    case URLSessionDelegateMethod::DidFinishEventsForBackgroundURLSession:
        return bool(sessionDidFinishEventsForBackgroundURLSession());
    case URLSessionDelegateMethod::StreamTaskReadClosed:
    case URLSessionDelegateMethod::StreamTaskWriteClosed:
    case URLSessionDelegateMethod::StreamTaskBetterRouteDiscovered:
    case URLSessionDelegateMethod::StreamTaskDidBecomeStreams: {
        if (!platform::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({9, 0, 0})) return true;
        if (method == URLSessionDelegateMethod::StreamTaskReadClosed) return bool(streamTaskReadClosed());
        if (method == URLSessionDelegateMethod::StreamTaskWriteClosed) return bool(streamTaskWriteClosed());
        if (method == URLSessionDelegateMethod::StreamTaskBetterRouteDiscovered)
            return bool(streamTaskBetterRouteDiscovered());
        return bool(streamTaskDidBecomeInputStream());
    }
    case URLSessionDelegateMethod::DidBecomeInvalidWithError:
        return bool(sessionDidBecomeInvalidWithError());
    case URLSessionDelegateMethod::DidReceiveChallenge:
        return bool(sessionDidReceiveChallenge()) || bool(sessionDidReceiveChallengeWithCompletion());
    case URLSessionDelegateMethod::TaskWillPerformHTTPRedirection:
        return bool(taskWillPerformHTTPRedirection()) || bool(taskWillPerformHTTPRedirectionWithCompletion());
    case URLSessionDelegateMethod::DataTaskDidReceiveResponse:
        return bool(dataTaskDidReceiveResponse()) || bool(dataTaskDidReceiveResponseWithCompletion());
    default:
        return true;
    }
}

void SessionDelegate::didBecomeInvalidWithError(const SessionPtr& session,
                                                const std::optional<platform::Error>& error) {
    if (auto f = sessionDidBecomeInvalidWithError()) f(session, error);
}

void SessionDelegate::didReceiveChallenge(const SessionPtr& session,
                                          const platform::URLAuthenticationChallenge& challenge,
                                          platform::ChallengeCompletion completion) {
    if (auto f = sessionDidReceiveChallengeWithCompletion()) return f(session, challenge, std::move(completion));
    auto f = sessionDidReceiveChallenge();
    ChallengeAnswer answer = f ? f(session, challenge) : answerServerTrustChallenge(session.get(), challenge);
    completion(answer.first, std::move(answer.second));
}

void SessionDelegate::didFinishEventsForBackgroundURLSession(const SessionPtr& session) {
    if (auto f = sessionDidFinishEventsForBackgroundURLSession()) f(session);
}

void SessionDelegate::willPerformHTTPRedirection(const SessionPtr& session, const TaskPtr& task,
                                                 const HTTPURLResponsePtr& response, platform::URLRequest newRequest,
                                                 std::function<void(std::optional<platform::URLRequest>)> completion) {
    if (auto f = taskWillPerformHTTPRedirectionWithCompletion())
        return f(session, task, response, newRequest, std::move(completion));
    std::optional<platform::URLRequest> redirect = newRequest;
    if (auto f = taskWillPerformHTTPRedirection()) redirect = f(session, task, response, newRequest);
    completion(std::move(redirect));
}

void SessionDelegate::didReceiveTaskChallenge(const SessionPtr& session, const TaskPtr& task,
                                              const platform::URLAuthenticationChallenge& challenge,
                                              platform::ChallengeCompletion completion) {
    if (auto f = taskDidReceiveChallengeWithCompletion()) return f(session, task, challenge, std::move(completion));
    if (auto f = taskDidReceiveChallenge()) {
        auto answer = f(session, task, challenge);
        return completion(answer.first, std::move(answer.second));
    }
    if (auto d = taskDelegate(task)) return d->didReceiveChallenge(session, task, challenge, std::move(completion));
    didReceiveChallenge(session, challenge, std::move(completion));
}

void SessionDelegate::needNewBodyStream(const SessionPtr& session, const TaskPtr& task,
                                        std::function<void(std::shared_ptr<platform::InputStream>)> completion) {
    if (auto f = taskNeedNewBodyStreamWithCompletion()) return f(session, task, std::move(completion));
    if (auto f = taskNeedNewBodyStream()) return completion(f(session, task));
    if (auto d = taskDelegate(task)) return d->needNewBodyStream(session, task, std::move(completion));
    // No request owns the task: answer anyway, so the task fails instead of waiting for ever.
    completion(nullptr);
}

void SessionDelegate::didSendBodyData(const SessionPtr& session, const TaskPtr& task, int64_t bytesSent,
                                      int64_t totalBytesSent, int64_t totalBytesExpectedToSend) {
    if (auto f = taskDidSendBodyData()) return f(session, task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
    if (auto d = std::dynamic_pointer_cast<UploadTaskDelegate>(taskDelegate(task)))
        d->didSendBodyData(session, task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
}

void SessionDelegate::didFinishCollectingMetrics(const SessionPtr& session, const TaskPtr& task,
                                                 const platform::URLSessionTaskMetrics& metrics) {
    didFinishCollectingSharedMetrics(session, task, std::make_shared<const platform::URLSessionTaskMetrics>(metrics));
}

// The session's own object is kept as it is: the response records share it.
void SessionDelegate::didFinishCollectingSharedMetrics(const SessionPtr&, const TaskPtr& task,
                                                       std::shared_ptr<const platform::URLSessionTaskMetrics> metrics) {
    if (auto d = taskDelegate(task)) d->setMetrics(std::move(metrics));
}

void SessionDelegate::didCompleteWithError(const SessionPtr& session, const TaskPtr& task,
                                           const std::optional<platform::Error>& platformError) {
    auto req = request(task);
    auto manager = sessionManager.get().lock();
    if (!req || !manager) return completeTask(session, task, wrap(platformError));

    for (const auto& validation : req->validations()) validation();

    std::optional<AnyError> error = req->delegate()->error();
    if (!error) error = wrap(platformError);
    auto retrierNow = retrier.get();
    if (!retrierNow || !error) return completeTask(session, task, error);

    auto self = shared_from_this();
    std::weak_ptr<SessionManager> weakManager = manager;
    std::function<void(bool, double)> decided = [self, weakManager, session, task, req, error](bool retry,
                                                                                               double delay) {
        if (!retry) return self->completeTask(session, task, error);
        // The delegate is kept until the retry has run: its handlers must run even if the manager goes.
        after(DispatchQueue::global(QualityOfService::Utility), delay, [self, weakManager, session, task, req, error] {
            auto manager = weakManager.lock();
            // retry() registers the new task before resuming it; registering it again here could bring
            // back the entry of a retry that has already completed, and it would stay for ever.
            if (manager && manager->retry(req)) return;
            self->completeTask(session, task, error);
        });
    };
    retrierNow->should(manager, req, *error,
                       platform::dispatch::OnceHandler<bool, double>(
                           "should", std::move(decided), platform::dispatch::OnceHandlerPolicy::IgnoreExtraCalls));
}

void SessionDelegate::completeTask(const SessionPtr& session, const TaskPtr& task,
                                   const std::optional<AnyError>& error) {
    if (auto f = taskDidComplete()) f(session, task, error);
    auto req = request(task);
    std::shared_ptr<TaskDelegate> d = req ? req->delegate() : nullptr;
    if (d) d->didCompleteWithError(session, task, error);

    if (taskNotificationsObserved()) {
        platform::ValueDictionary extra;
        if (auto data = std::dynamic_pointer_cast<DataTaskDelegate>(d); data && !data->dataStream)
            if (auto bytes = data->data()) extra[NotificationKey::ResponseData] = platform::Value(std::move(*bytes));
        postTaskNotification(NotificationName::Task::DidComplete, this, task, std::move(extra));
    }
    setRequest(task, nullptr);
}

void SessionDelegate::didReceiveResponse(const SessionPtr& session, const DataTaskPtr& task,
                                         const std::shared_ptr<const platform::URLResponse>& response,
                                         std::function<void(platform::URLSessionResponseDisposition)> completion) {
    if (auto f = dataTaskDidReceiveResponseWithCompletion()) return f(session, task, response, std::move(completion));
    auto f = dataTaskDidReceiveResponse();
    completion(f ? f(session, task, response) : platform::URLSessionResponseDisposition::Allow);
}

void SessionDelegate::didBecomeDownloadTask(const SessionPtr& session, const DataTaskPtr& task,
                                            const DownloadTaskPtr& downloadTask) {
    if (auto f = dataTaskDidBecomeDownloadTask()) return f(session, task, downloadTask);
    auto req = request(downloadTask);
    if (!req) req = request(task);
    if (!req) return;
    // The new delegate keeps the handler queue, so handlers already waiting still run.
    auto old = req->delegate();
    auto replacement = std::make_shared<DownloadTaskDelegate>(downloadTask, old->queue);
    replacement->setError(old->error());
    req->setDelegate(replacement);
    setRequest(downloadTask, req);
    // The data task ends without a completion of its own: its entry would stay for ever.
    if (request(task) == req) setRequest(task, nullptr);
}

void SessionDelegate::didReceiveData(const SessionPtr& session, const DataTaskPtr& task, const platform::Bytes& data) {
    if (auto f = dataTaskDidReceiveData()) return f(session, task, data);
    if (auto d = std::dynamic_pointer_cast<DataTaskDelegate>(taskDelegate(task)))
        d->didReceiveData(session, task, data);
}

void SessionDelegate::willCacheResponse(const SessionPtr& session, const DataTaskPtr& task,
                                        platform::CachedURLResponse proposed,
                                        std::function<void(std::optional<platform::CachedURLResponse>)> completion) {
    if (auto f = dataTaskWillCacheResponseWithCompletion()) return f(session, task, proposed, std::move(completion));
    if (auto f = dataTaskWillCacheResponse()) return completion(f(session, task, proposed));
    if (auto d = std::dynamic_pointer_cast<DataTaskDelegate>(taskDelegate(task)))
        return d->willCacheResponse(session, task, std::move(proposed), std::move(completion));
    completion(std::move(proposed));
}

void SessionDelegate::didFinishDownloadingToURL(const SessionPtr& session, const DownloadTaskPtr& task,
                                                const platform::URL& location) {
    if (auto f = downloadTaskDidFinishDownloadingToURL()) return f(session, task, location);
    if (auto d = std::dynamic_pointer_cast<DownloadTaskDelegate>(taskDelegate(task)))
        d->didFinishDownloadingToURL(session, task, location);
}

void SessionDelegate::didWriteData(const SessionPtr& session, const DownloadTaskPtr& task, int64_t bytesWritten,
                                   int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) {
    if (auto f = downloadTaskDidWriteData())
        return f(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
    if (auto d = std::dynamic_pointer_cast<DownloadTaskDelegate>(taskDelegate(task)))
        d->didWriteData(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
}

void SessionDelegate::didResumeAtOffset(const SessionPtr& session, const DownloadTaskPtr& task, int64_t fileOffset,
                                        int64_t expectedTotalBytes) {
    if (auto f = downloadTaskDidResumeAtOffset()) return f(session, task, fileOffset, expectedTotalBytes);
    if (auto d = std::dynamic_pointer_cast<DownloadTaskDelegate>(taskDelegate(task)))
        d->didResumeAtOffset(session, task, fileOffset, expectedTotalBytes);
}

void SessionDelegate::readClosedForStreamTask(const SessionPtr& session, const StreamTaskPtr& task) {
    if (auto f = streamTaskReadClosed()) f(session, task);
}
void SessionDelegate::writeClosedForStreamTask(const SessionPtr& session, const StreamTaskPtr& task) {
    if (auto f = streamTaskWriteClosed()) f(session, task);
}
void SessionDelegate::betterRouteDiscoveredForStreamTask(const SessionPtr& session, const StreamTaskPtr& task) {
    if (auto f = streamTaskBetterRouteDiscovered()) f(session, task);
}
void SessionDelegate::didBecomeStreams(const SessionPtr& session, const StreamTaskPtr& task,
                                       std::shared_ptr<platform::InputStream> input,
                                       std::shared_ptr<platform::OutputStream> output) {
    if (auto f = streamTaskDidBecomeInputStream()) f(session, task, std::move(input), std::move(output));
}

}  // namespace rivulet
