#pragma once
// ZUTNetwork: the small HTTP utility the analytics side shares (measurement uploads and configuration
// fetches, the diagnostics logger's posts). One gzip POST and one GET, each run in its own
// ZUTNetworkURLSession and answered through exactly one completion on the caller's queue; a table of
// requests in flight; reachability of one host; every step reported through the logger delegate.
//
// API for the callers that reach it:
//   auto network = ZUTNetwork::make("log.example.host");  // null when reachability cannot start
//   network->postURL(url, payload, queue, background, [](response, data, error) { ... });
//     The body is gzip-compressed and sent with "Content-Encoding: gzip", "Content-Type:
//     application/x-www-form-urlencoded" and its compressed length. Returns the session ID, or nullopt
//     when the request did not start (the completion then carries the error).
//   network->getURL(url, headers, queue, background, handler): a download task without URL cache; the
//     caller's headers replace all others; `data` is the body (requests above 1 MiB fail).
//   ZUTNetwork::handleEventsForBackgroundURLSessionID(identifier, systemHandler): what the application
//     delegate hands over when the system relaunches it for a background session. Only this utility's
//     identifiers ("com.zut.network.background-upload-<UUID>") are kept; the handler runs once on the
//     main loop.
//
// Completions: exactly once per request, on the given queue (the main loop when none), after the
// request has left the in-flight table. Errors of request set-up are in kZUTNetworkErrorDomain with a
// "Context" text; transfer errors are the platform's (a transfer cut after its headers has both a
// response and an error). 300/301/302/307 redirects are not followed. A completion that would arrive
// after the ZUTNetwork itself is gone is dropped.
//
// Threads: post, get and every accessor may be called from any thread. Reachability changes arrive on
// the main loop, as do the sessions' callbacks.
#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/URLRequest.h"
#include "zidedova_core/utilities/ZUTNetworkTypes.h"
#include "zidedova_core/utilities/ZUTReachabilityChecker.h"

namespace zidedova {

class ZUTNetworkURLSession;

class ZUTNetworkReachabilityDelegate {
public:
    virtual ~ZUTNetworkReachabilityDelegate() = default;
    // Main loop, after isNetworkConnected() has taken the new verdict.
    virtual void reachabilityDidChange() = 0;
};

class ZUTNetwork : public ZUTReachabilityDelegate,
                   public ZUTNetworkLoggerDelegate,
                   public std::enable_shared_from_this<ZUTNetwork> {
public:
    static constexpr double kDefaultTimeoutInterval = 60.0;

    // Starts watching `host`; null when the host is empty or reachability cannot start.
    static std::shared_ptr<ZUTNetwork> make(const std::string& reachabilityHost);
    ~ZUTNetwork() override;
    ZUTNetwork(const ZUTNetwork&) = delete;
    ZUTNetwork& operator=(const ZUTNetwork&) = delete;

    std::optional<std::string> postURL(const platform::URL& url, const platform::Bytes& payload,
                                       std::optional<platform::dispatch::DispatchQueue> queue,
                                       bool usingBackgroundSession, ZUTNetworkCompletionHandler completionHandler);
    std::optional<std::string> getURL(const platform::URL& url, const platform::HTTPHeaderFields& headers,
                                      std::optional<platform::dispatch::DispatchQueue> queue,
                                      bool usingBackgroundSession, ZUTNetworkCompletionHandler completionHandler);

    // True while any request's completion has not yet been delivered.
    bool hasUploadInProgress() const;
    bool isNetworkConnected() const { return networkConnected_.load(); }

    static void handleEventsForBackgroundURLSessionID(const std::string& identifier,
                                                      ZUTNetworkSystemCompletionHandler completionHandler);

    // Held weakly. A null delegate is refused (900002) and the previous one stays.
    void setLoggerDelegate(const std::shared_ptr<ZUTNetworkLoggerDelegate>& delegate);
    std::shared_ptr<ZUTNetworkLoggerDelegate> loggerDelegate() const;
    void setReachabilityDelegate(const std::shared_ptr<ZUTNetworkReachabilityDelegate>& delegate);
    std::shared_ptr<ZUTNetworkReachabilityDelegate> reachabilityDelegate() const;
    bool isDebugModeEnabled() const { return debugMode_.load(); }
    void setIsDebugModeEnabled(bool enabled) { debugMode_ = enabled; }
    // 0 means the default 60 s.
    double timeoutInterval() const { return timeoutInterval_.load(); }
    void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }

    // ZUTReachabilityDelegate.
    void reachabilityStatusChanged(ZUTReachabilityChecker& checker, ZUTReachabilityStatus status) override;

    // ZUTNetworkLoggerDelegate: forwarded to the logger delegate when one is set; otherwise written to
    // the coded logger (service "[ZUTNetwork]", code "I-NET%06ld") as the line below, levels 3, 4 and 6
    // always and the rest only in debug mode.
    void ZUTNetwork_logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                                 const platform::ValueArray& contexts) override;
    void ZUTNetwork_logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                                 const platform::Value& context) override;
    void ZUTNetwork_logWithLevel(int64_t level, int64_t messageCode, const std::string& message) override;
    // "<Vodezu/Utilities/Network/LEVEL> message: context, context" (null contexts as "(nil)").
    static std::string composeLogLine(int64_t level, const std::string& message, const platform::ValueArray& contexts);

private:
    ZUTNetwork() = default;
    platform::URLRequest makeRequest(const platform::URL& url) const;
    // Sends the request in a session of its own.
    std::optional<std::string> start(const platform::URLRequest& request, bool isPost, bool usingBackgroundSession,
                                     std::optional<platform::dispatch::DispatchQueue> queue,
                                     ZUTNetworkCompletionHandler completionHandler);
    void handleError(int64_t code, std::optional<platform::dispatch::DispatchQueue> queue,
                     ZUTNetworkCompletionHandler completionHandler);
    void removeRequest(const std::string& sessionID);

    std::shared_ptr<ZUTReachabilityChecker> reachability_;
    std::atomic<bool> networkConnected_{false};
    std::atomic<bool> debugMode_{false};
    std::atomic<double> timeoutInterval_{kDefaultTimeoutInterval};

    mutable platform::dispatch::Mutex mutex_;
    std::map<std::string, std::shared_ptr<ZUTNetworkURLSession>> requests_ GUARDED_BY(mutex_);
    std::weak_ptr<ZUTNetworkLoggerDelegate> loggerDelegate_ GUARDED_BY(mutex_);
    std::weak_ptr<ZUTNetworkReachabilityDelegate> reachabilityDelegate_ GUARDED_BY(mutex_);
};

}  // namespace zidedova
