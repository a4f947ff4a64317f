#include "platform/webkit/WebsiteDataStore.h"

#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/urlsession/URLSession.h"
#include "platform/webkit/WebViewConfiguration.h"
#include "platform/webkit/internal/TaskSink.h"

namespace platform::webkit {

namespace webkit_detail {

// The data store's session delegate: hands each task's callbacks to its sink, and answers for a
// sink that has gone (its navigation was dropped) by stopping the task.
class SessionRouter : public URLSessionDelegate {
public:
    // The rest is left to URL loading's own defaults, taken on its thread: a server-trust challenge, which
    // a web view only ever answers with the default handling, then costs no trip through the main thread
    // in the middle of the page's TLS handshake.
    bool implements(URLSessionDelegateMethod method) const override {
        switch (method) {
        case URLSessionDelegateMethod::TaskWillPerformHTTPRedirection:
        case URLSessionDelegateMethod::DataTaskDidReceiveResponse:
        case URLSessionDelegateMethod::DataTaskDidReceiveData:
        case URLSessionDelegateMethod::TaskDidCompleteWithError:
            return true;
        default:
            return false;
        }
    }

    void add(uint64_t id, std::weak_ptr<TaskSink> sink) {
        dispatch::MutexLock lock(mutex_);
        sinks_[id] = std::move(sink);
    }

    void willPerformHTTPRedirection(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>& task,
                                    const std::shared_ptr<const HTTPURLResponse>& response, URLRequest newRequest,
                                    std::function<void(std::optional<URLRequest>)> completion) override {
        if (auto sink = find(task)) return sink->taskWillRedirect(response, std::move(newRequest), completion);
        completion(std::nullopt);
        task->cancel();
    }
    void didReceiveResponse(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>& task,
                            const std::shared_ptr<const URLResponse>& response,
                            std::function<void(URLSessionResponseDisposition)> completion) override {
        if (auto sink = find(task)) return sink->taskDidReceiveResponse(response, completion);
        completion(URLSessionResponseDisposition::Cancel);
    }
    void didReceiveData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>& task,
                        const Bytes& data) override {
        if (auto sink = find(task)) sink->taskDidReceiveData(data);
    }
    void didCompleteWithError(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>& task,
                              const std::optional<Error>& error) override {
        std::shared_ptr<TaskSink> sink;
        {
            dispatch::MutexLock lock(mutex_);
            auto it = sinks_.find(task->taskIdentifier());
            if (it == sinks_.end()) return;
            sink = it->second.lock();
            sinks_.erase(it);
        }
        if (sink) sink->taskDidComplete(error);
    }

private:
    std::shared_ptr<TaskSink> find(const std::shared_ptr<URLSessionTask>& task) {
        dispatch::MutexLock lock(mutex_);
        auto it = sinks_.find(task->taskIdentifier());
        return it == sinks_.end() ? nullptr : it->second.lock();
    }

    dispatch::Mutex mutex_;
    std::map<uint64_t, std::weak_ptr<TaskSink>> sinks_ GUARDED_BY(mutex_);
};

}  // namespace webkit_detail

void HTTPCookieStore::setBackend(std::shared_ptr<CookieJarBackend> backend) {
    dispatch::mainThread.assertOnThread();
    dispatch::MutexLock lock(backendMutex_);
    backend_ = std::move(backend);
}

std::shared_ptr<CookieJarBackend> HTTPCookieStore::backend() const {
    dispatch::MutexLock lock(backendMutex_);
    return backend_;
}

void HTTPCookieStore::getAllCookies(std::function<void(std::vector<HTTPCookie>)> completion) const {
    if (!completion) return;
    // The engine's jar answers on the main thread; hop there first when asked from elsewhere.
    if (auto jar = backend())
        return dispatch::MainLoop::shared().post(
            [jar, completion = std::move(completion)]() mutable { jar->getAllCookies(std::move(completion)); });
    // Read when the answer is delivered, as a store in another process would answer later.
    dispatch::MainLoop::shared().post(
        [storage = storage_, completion = std::move(completion)] { completion(storage->cookies()); });
}

void HTTPCookieStore::setCookie(const HTTPCookie& cookie, std::function<void()> completion) {
    if (auto jar = backend())
        return dispatch::MainLoop::shared().post([jar, cookie, completion = std::move(completion)]() mutable {
            jar->setCookie(cookie, std::move(completion));
        });
    storage_->setCookie(cookie);
    if (completion) dispatch::MainLoop::shared().post(std::move(completion));
}

void HTTPCookieStore::deleteCookie(const HTTPCookie& cookie, std::function<void()> completion) {
    if (auto jar = backend())
        return dispatch::MainLoop::shared().post([jar, cookie, completion = std::move(completion)]() mutable {
            jar->deleteCookie(cookie, std::move(completion));
        });
    storage_->deleteCookie(cookie);
    if (completion) dispatch::MainLoop::shared().post(std::move(completion));
}

WebsiteDataStore::WebsiteDataStore(bool persistent)
    : persistent_(persistent), cookieStore_(std::make_shared<HTTPCookieStore>(std::make_shared<HTTPCookieStorage>())) {}

WebsiteDataStore::~WebsiteDataStore() {
    if (session_) session_->invalidateAndCancel();
}

std::shared_ptr<WebsiteDataStore> WebsiteDataStore::defaultDataStore() {
    // Never destroyed: loads may still be in flight while the process exits, and invalidating the
    // session from a static destructor would race its engine thread.
    static auto* store = new std::shared_ptr<WebsiteDataStore>(std::make_shared<WebsiteDataStore>(true));
    return *store;
}

std::shared_ptr<URLSession> WebsiteDataStore::sessionLocked() {
    if (!session_) {
        auto configuration = URLSessionConfiguration::ephemeralSessionConfiguration();
        // Pages stream through the engine, which keeps only their first megabyte: no body cap.
        configuration.maximumDataTaskBodyLength = 0;
        configuration.HTTPCookieStorage = cookieStorage();
        configuration.HTTPShouldSetCookies = true;
        // A page asks as the real engine's web view does: its user agent and what it accepts, as many redirects,
        // and a URL's credentials kept for its server's challenge.
        configuration.HTTPAdditionalHeaders =
            Value::dictionary({{"User-Agent", Value(kWebViewUserAgent)},
                               {"Accept", Value("text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8")}});
        configuration.HTTPMaximumRedirects = 20;
        configuration.sendsURLCredentialsPreemptively = false;
        router_ = std::make_shared<webkit_detail::SessionRouter>();
        session_ = URLSession::sessionWithConfiguration(
            configuration, router_, std::make_shared<dispatch::OperationQueue>(dispatch::OperationQueue::main()));
        session_->setSessionDescription(persistent_ ? "web view data store (default)" : "web view data store");
    }
    return session_;
}

std::shared_ptr<URLSessionDataTask> WebsiteDataStore::makeDataTask(const URLRequest& request,
                                                                   std::weak_ptr<webkit_detail::TaskSink> sink) {
    dispatch::MutexLock lock(mutex_);
    auto task = sessionLocked()->dataTaskWithRequest(request);
    router_->add(task->taskIdentifier(), std::move(sink));
    return task;
}

WebViewConfiguration::WebViewConfiguration()
    : websiteDataStore(WebsiteDataStore::defaultDataStore()), processPool([] {
          static auto pool = std::make_shared<ProcessPool>();
          return pool;
      }()) {}

}  // namespace platform::webkit
