#include "platform/urlsession/URLSession.h"

#include "platform/dispatch/OperationQueue.h"
#include "platform/urlsession/internal/Engine.h"
#include "platform/urlsession/internal/ResumeData.h"
#include "platform/urlsession/internal/TaskKey.h"

namespace platform {

using urlsession_detail::EngineGroup;

URLSession::URLSession(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
                       std::shared_ptr<dispatch::OperationQueue> delegateQueue)
    : configuration_(std::move(configuration)), delegateQueue_(std::move(delegateQueue)) {
    engines_ = std::make_shared<EngineGroup>(configuration_, std::move(delegate), *delegateQueue_);
}

URLSession::~URLSession() { engines_->shutdown(); }

std::shared_ptr<URLSession> URLSession::sessionWithConfiguration(const URLSessionConfiguration& configuration) {
    return sessionWithConfiguration(configuration, nullptr, nullptr);
}

std::shared_ptr<URLSession> URLSession::sessionWithConfiguration(const URLSessionConfiguration& configuration,
                                                                 std::shared_ptr<URLSessionDelegate> delegate,
                                                                 std::shared_ptr<dispatch::OperationQueue> queue) {
    if (!queue) {
        queue = std::make_shared<dispatch::OperationQueue>();
        queue->setMaxConcurrentOperationCount(1);
        queue->setName("URLSession delegate queue");
    }
    // An engine thread cannot join itself: a session whose last reference goes there is deleted on
    // the delegate queue instead.
    std::shared_ptr<URLSession> session(new URLSession(configuration, std::move(delegate), std::move(queue)),
                                        [](URLSession* p) {
                                            if (p->engines_->onEngineThread()) {
                                                auto q = p->delegateQueue_;
                                                q->addOperation([p] { delete p; });
                                            } else {
                                                delete p;
                                            }
                                        });
    session->engines_->setSession(session);
    return session;
}

std::shared_ptr<URLSession> URLSession::sharedSession() {
    static std::shared_ptr<URLSession> shared = [] {
        auto s = sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration());
        s->shared_ = true;
        return s;
    }();
    return shared;
}

std::shared_ptr<URLSessionDelegate> URLSession::delegate() const { return engines_->delegate(); }

void URLSession::setSessionDescription(std::string d) {
    dispatch::MutexLock lock(descriptionMutex_);
    description_ = std::move(d);
}

template <class T, class... A>
std::shared_ptr<T> URLSession::makeTask(A&&... args) {
    auto task = std::make_shared<T>(urlsession_detail::kTaskKey, engines_->nextIdentifier(), weak_from_this(),
                                    std::forward<A>(args)...);
    engines_->registerTask(task);
    return task;
}

namespace {
std::optional<URLRequest> withDefaults(URLRequest r, const URLSessionConfiguration& config) {
    if (r.cachePolicy() == URLRequestCachePolicy::UseProtocolCachePolicy) r.setCachePolicy(config.requestCachePolicy);
    return r;
}

// What a task carries beside its request (body source, completion handler, resume data), kept by the
// engine until the task completes.
template <class T>
std::shared_ptr<T> withExtras(std::shared_ptr<T> task, EngineGroup& engines, urlsession_detail::TaskExtras extras) {
    engines.setExtras(task->taskIdentifier(), std::move(extras));
    return task;
}
}  // namespace

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithRequest(const URLRequest& request) {
    return makeTask<URLSessionDataTask>(withDefaults(request, configuration_));
}
std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithURL(const URL& url) {
    return makeTask<URLSessionDataTask>(withDefaults(URLRequest(url), configuration_));
}
std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(const URLRequest& request, Bytes body) {
    return uploadTaskWithRequest(request, std::move(body), nullptr);
}
std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequestFromFile(const URLRequest& request,
                                                                                const URL& file) {
    return uploadTaskWithRequestFromFile(request, file, nullptr);
}
std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithStreamedRequest(const URLRequest& request) {
    return withExtras(makeTask<URLSessionUploadTask>(withDefaults(request, configuration_)), *engines_,
                      {.streamedUpload = true});
}
std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithRequest(const URLRequest& request) {
    return makeTask<URLSessionDownloadTask>(withDefaults(request, configuration_));
}
std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithURL(const URL& url) {
    return makeTask<URLSessionDownloadTask>(withDefaults(URLRequest(url), configuration_));
}
std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithResumeData(const Bytes& resumeData) {
    return downloadTaskWithResumeData(resumeData, nullptr);
}
std::shared_ptr<URLSessionStreamTask> URLSession::streamTaskWithHostName(const std::string& host, int port) {
    return makeTask<URLSessionStreamTask>(host, port);
}

std::shared_ptr<URLSessionStreamTask> URLSession::streamTaskWithNetService(std::shared_ptr<NetService> service) {
    return makeTask<URLSessionStreamTask>(std::move(service));
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithRequest(const URLRequest& request,
                                                                    DataTaskCompletion handler) {
    return withExtras(dataTaskWithRequest(request), *engines_, {.dataCompletion = std::move(handler)});
}
std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithURL(const URL& url, DataTaskCompletion handler) {
    return dataTaskWithRequest(URLRequest(url), std::move(handler));
}
std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(const URLRequest& request, Bytes body,
                                                                        DataTaskCompletion handler) {
    return withExtras(makeTask<URLSessionUploadTask>(withDefaults(request, configuration_)), *engines_,
                      {.uploadData = std::move(body), .dataCompletion = std::move(handler)});
}
std::shared_ptr<URLSessionUploadTask>
URLSession::uploadTaskWithRequestFromFile(const URLRequest& request, const URL& file, DataTaskCompletion handler) {
    return withExtras(makeTask<URLSessionUploadTask>(withDefaults(request, configuration_)), *engines_,
                      {.uploadFile = file.path(), .dataCompletion = std::move(handler)});
}
std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithRequest(const URLRequest& request,
                                                                            DownloadTaskCompletion handler) {
    return withExtras(downloadTaskWithRequest(request), *engines_, {.downloadCompletion = std::move(handler)});
}
std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithResumeData(const Bytes& resumeData,
                                                                               DownloadTaskCompletion handler) {
    std::optional<URLRequest> request;
    if (auto info = urlsession_detail::ResumeInfo::decode(resumeData))
        if (auto url = URL::string(info->url)) request = withDefaults(URLRequest(*url), configuration_);
    return withExtras(makeTask<URLSessionDownloadTask>(request), *engines_,
                      {.downloadCompletion = std::move(handler), .resumeData = resumeData});
}

void URLSession::finishTasksAndInvalidate() {
    if (!shared_) engines_->invalidate(false);
}
void URLSession::invalidateAndCancel() {
    if (!shared_) engines_->invalidate(true);
}

void URLSession::getAllTasksWithCompletionHandler(
    std::function<void(std::vector<std::shared_ptr<URLSessionTask>>)> handler) {
    auto engine = engines_->firstEngine();
    engine->post([engine, handler] {
        auto tasks = engine->group().liveTasks();
        engine->deliver([handler, tasks] { handler(tasks); });
    });
}

}  // namespace platform
