#include "platform/urlsession/URLSession.h"

#include "platform/dispatch/OperationQueue.h"
#include "platform/urlsession/Engine.h"
#include "platform/urlsession/ResumeData.h"

namespace platform {

using urlsession_detail::Engine;

URLSession::URLSession(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
                       std::shared_ptr<dispatch::OperationQueue> delegateQueue)
    : configuration_(std::move(configuration)), delegateQueue_(std::move(delegateQueue)) {
    engine_ = std::make_shared<Engine>(configuration_, std::move(delegate), *delegateQueue_);
}

URLSession::~URLSession() { engine_->shutdown(); }

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
    // The engine thread cannot join itself: a session whose last reference goes there is deleted on
    // the delegate queue instead.
    std::shared_ptr<URLSession> session(new URLSession(configuration, std::move(delegate), std::move(queue)),
                                        [](URLSession* p) {
                                            if (p->engine_->onEngineThread()) {
                                                auto q = p->delegateQueue_;
                                                q->addOperation([p] { delete p; });
                                            } else {
                                                delete p;
                                            }
                                        });
    session->engine_->setSession(session);
    session->engine_->start();
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

std::shared_ptr<URLSessionDelegate> URLSession::delegate() const { return engine_->delegate(); }

std::string URLSession::sessionDescription() const {
    std::lock_guard lock(descriptionMutex_);
    return description_;
}
void URLSession::setSessionDescription(std::string d) {
    std::lock_guard lock(descriptionMutex_);
    description_ = std::move(d);
}

template <class T, class... A>
std::shared_ptr<T> URLSession::makeTask(A&&... args) {
    auto task = std::make_shared<T>(engine_->nextIdentifier(), weak_from_this(), std::forward<A>(args)...);
    engine_->registerTask(task);
    return task;
}

namespace {
URLRequest withDefaults(const URLRequest& request, const URLSessionConfiguration& config) {
    URLRequest r = request;
    if (r.cachePolicy() == URLRequestCachePolicy::UseProtocolCachePolicy) r.setCachePolicy(config.requestCachePolicy);
    return r;
}
}  // namespace

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithRequest(const URLRequest& request) {
    return makeTask<URLSessionDataTask>(std::optional<URLRequest>(withDefaults(request, configuration_)));
}
std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithURL(const URL& url) {
    return dataTaskWithRequest(URLRequest(url));
}
std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(const URLRequest& request, Bytes body) {
    auto task = makeTask<URLSessionUploadTask>(std::optional<URLRequest>(withDefaults(request, configuration_)));
    Engine::TaskExtras extras;
    extras.uploadData = std::move(body);
    engine_->setExtras(task->taskIdentifier(), std::move(extras));
    return task;
}
std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequestFromFile(const URLRequest& request,
                                                                                const URL& file) {
    auto task = makeTask<URLSessionUploadTask>(std::optional<URLRequest>(withDefaults(request, configuration_)));
    Engine::TaskExtras extras;
    extras.uploadFile = file.path();
    engine_->setExtras(task->taskIdentifier(), std::move(extras));
    return task;
}
std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithStreamedRequest(const URLRequest& request) {
    auto task = makeTask<URLSessionUploadTask>(std::optional<URLRequest>(withDefaults(request, configuration_)));
    Engine::TaskExtras extras;
    extras.streamedUpload = true;
    engine_->setExtras(task->taskIdentifier(), std::move(extras));
    return task;
}
std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithRequest(const URLRequest& request) {
    return makeTask<URLSessionDownloadTask>(std::optional<URLRequest>(withDefaults(request, configuration_)));
}
std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithURL(const URL& url) {
    return downloadTaskWithRequest(URLRequest(url));
}
std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithResumeData(const Bytes& resumeData) {
    std::optional<URLRequest> request;
    if (auto info = urlsession_detail::ResumeInfo::decode(resumeData))
        if (auto url = URL::string(info->url)) request = withDefaults(URLRequest(*url), configuration_);
    auto task = makeTask<URLSessionDownloadTask>(request);
    Engine::TaskExtras extras;
    extras.resumeData = resumeData;
    engine_->setExtras(task->taskIdentifier(), std::move(extras));
    return task;
}
std::shared_ptr<URLSessionStreamTask> URLSession::streamTaskWithHostName(const std::string& host, int port) {
    return makeTask<URLSessionStreamTask>(host, port);
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithRequest(const URLRequest& request,
                                                                    DataTaskCompletion handler) {
    auto task = dataTaskWithRequest(request);
    Engine::TaskExtras extras;
    extras.dataCompletion = std::move(handler);
    engine_->setExtras(task->taskIdentifier(), std::move(extras));
    return task;
}
std::shared_ptr<URLSessionDataTask> URLSession::dataTaskWithURL(const URL& url, DataTaskCompletion handler) {
    return dataTaskWithRequest(URLRequest(url), std::move(handler));
}
std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequest(const URLRequest& request, Bytes body,
                                                                        DataTaskCompletion handler) {
    auto task = makeTask<URLSessionUploadTask>(std::optional<URLRequest>(withDefaults(request, configuration_)));
    Engine::TaskExtras extras;
    extras.uploadData = std::move(body);
    extras.dataCompletion = std::move(handler);
    engine_->setExtras(task->taskIdentifier(), std::move(extras));
    return task;
}
std::shared_ptr<URLSessionUploadTask> URLSession::uploadTaskWithRequestFromFile(const URLRequest& request,
                                                                                const URL& file,
                                                                                DataTaskCompletion handler) {
    auto task = makeTask<URLSessionUploadTask>(std::optional<URLRequest>(withDefaults(request, configuration_)));
    Engine::TaskExtras extras;
    extras.uploadFile = file.path();
    extras.dataCompletion = std::move(handler);
    engine_->setExtras(task->taskIdentifier(), std::move(extras));
    return task;
}
std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithRequest(const URLRequest& request,
                                                                            DownloadTaskCompletion handler) {
    auto task = downloadTaskWithRequest(request);
    Engine::TaskExtras extras;
    extras.downloadCompletion = std::move(handler);
    engine_->setExtras(task->taskIdentifier(), std::move(extras));
    return task;
}
std::shared_ptr<URLSessionDownloadTask> URLSession::downloadTaskWithResumeData(const Bytes& resumeData,
                                                                               DownloadTaskCompletion handler) {
    auto task = downloadTaskWithResumeData(resumeData);
    Engine::TaskExtras extras;
    extras.resumeData = resumeData;
    extras.downloadCompletion = std::move(handler);
    engine_->setExtras(task->taskIdentifier(), std::move(extras));
    return task;
}

void URLSession::finishTasksAndInvalidate() {
    if (!shared_) engine_->invalidate(false);
}
void URLSession::invalidateAndCancel() {
    if (!shared_) engine_->invalidate(true);
}

void URLSession::getAllTasksWithCompletionHandler(
    std::function<void(std::vector<std::shared_ptr<URLSessionTask>>)> handler) {
    auto engine = engine_;
    engine->post([engine, handler] {
        auto tasks = engine->liveTasks();
        engine->deliver([handler, tasks] { handler(tasks); });
    });
}

}  // namespace platform
