#pragma once
// WebsiteDataStore: where web views keep cookies, and the URL session they load through.
//
// Every web view of a store loads through one URLSession whose cookie jar is the store's
// HTTPCookieStorage, so a Set-Cookie from the server lands in the store and goes back on the next
// request. The session calls back on the main loop. The default store is process-wide and lives
// for the whole process; a non-persistent store cancels its loads when the last holder lets go.
// (Cookies are kept in memory either way: nothing is written to the device root yet.)
//
// Thread-safety: the store and its cookie store may be used from any thread; answers to the cookie
// store's completions always come on the main loop, later (never inside the call).
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/HTTPCookie.h"
#include "platform/foundation/URLRequest.h"
#include "platform/urlsession/HTTPCookieStorage.h"

namespace platform {
class URLSession;
class URLSessionDataTask;
}  // namespace platform

namespace platform::webkit {

namespace webkit_detail {
class TaskSink;
class SessionRouter;
}  // namespace webkit_detail

// Where a store's cookies live when the page engine keeps its own jar (a real engine's cookie
// manager). Main thread only; completions come on the main loop, later.
class CookieJarBackend {
public:
    virtual ~CookieJarBackend() = default;
    virtual void getAllCookies(std::function<void(std::vector<HTTPCookie>)> completion) = 0;
    virtual void setCookie(const HTTPCookie& cookie, std::function<void()> completion) = 0;
    virtual void deleteCookie(const HTTPCookie& cookie, std::function<void()> completion) = 0;
};

// The cookie store of a website data store, over its HTTPCookieStorage, or over the engine's own jar
// once one is installed (then the storage is no longer what pages use).
class HTTPCookieStore {
public:
    explicit HTTPCookieStore(std::shared_ptr<HTTPCookieStorage> storage) : storage_(std::move(storage)) {}

    // Main thread, at boot: the engine's jar becomes the one truth of this store.
    void setBackend(std::shared_ptr<CookieJarBackend> backend);

    // Every cookie in the store (the storage's order), delivered on the main loop after this returns.
    void getAllCookies(std::function<void(std::vector<HTTPCookie>)> completion) const;
    // Stores (or, when expired, removes) the cookie; the completion, when given, runs on the main loop.
    void setCookie(const HTTPCookie& cookie, std::function<void()> completion = nullptr);
    void deleteCookie(const HTTPCookie& cookie, std::function<void()> completion = nullptr);

    const std::shared_ptr<HTTPCookieStorage>& storage() const { return storage_; }

private:
    std::shared_ptr<CookieJarBackend> backend() const;

    std::shared_ptr<HTTPCookieStorage> storage_;
    mutable dispatch::Mutex backendMutex_;
    std::shared_ptr<CookieJarBackend> backend_ GUARDED_BY(backendMutex_);
};

// The user agent a web view's requests send: the real engine's own, as the app's web view leaves it.
inline constexpr const char* kWebViewUserAgent =
    "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/60.5 Safari/605.1.15";

class WebsiteDataStore : public std::enable_shared_from_this<WebsiteDataStore> {
public:
    static std::shared_ptr<WebsiteDataStore> defaultDataStore();
    ~WebsiteDataStore();

    bool isPersistent() const { return persistent_; }
    std::shared_ptr<HTTPCookieStore> httpCookieStore() const { return cookieStore_; }
    // The jar the store's loads read and write (the same one httpCookieStore() reads).
    std::shared_ptr<HTTPCookieStorage> cookieStorage() const { return cookieStore_->storage(); }

    // For the web views' loading engine: a suspended data task whose session callbacks (on the main
    // loop) go to `sink` for as long as it lives.
    std::shared_ptr<URLSessionDataTask> makeDataTask(const URLRequest& request,
                                                     std::weak_ptr<webkit_detail::TaskSink> sink);

    explicit WebsiteDataStore(bool persistent);

private:
    std::shared_ptr<URLSession> sessionLocked() REQUIRES(mutex_);

    const bool persistent_;
    std::shared_ptr<HTTPCookieStore> cookieStore_;
    dispatch::Mutex mutex_;
    std::shared_ptr<webkit_detail::SessionRouter> router_ GUARDED_BY(mutex_);
    std::shared_ptr<URLSession> session_ GUARDED_BY(mutex_);  // made on first load
};

}  // namespace platform::webkit
