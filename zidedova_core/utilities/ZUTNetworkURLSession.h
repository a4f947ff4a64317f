#pragma once
// ZUTNetworkURLSession: runs one request of the shared network utility in its own platform URL session,
// optionally a background one (a POST body is then spooled to "ZUTUpload_temp_<session ID>" in the
// utility's temporary directory and the file removed when the request ends). It checks server trust
// itself and does not follow 300, 301, 302 or 307 redirects (the redirect response ends the request).
//
// One completion per request, always: the handler runs exactly once, asynchronously on the main loop,
// whether the request fails to start or the transfer ends; later reports are dropped.
//
// Threads: start a request from any thread; the platform session's callbacks run on the main operation
// queue (the main loop). State touched from both sides is guarded by the instance's lock; the class-wide
// session map and system-handler table by their own locks.
//
// Lifetime: this object and its platform session hold each other until the transfer ends; then the
// platform session is invalidated and lets go of its delegate. The session map holds it weakly, except
// sessions made for a relaunch, held until their system handler has been called.
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/URLRequest.h"
#include "platform/urlsession/URLSession.h"
#include "platform/urlsession/URLSessionConfiguration.h"
#include "platform/urlsession/URLSessionDelegate.h"
#include "zidedova_core/utilities/ZUTNetworkTypes.h"

namespace zidedova {

class ZUTNetworkURLSession : public platform::URLSessionDelegate,
                             public std::enable_shared_from_this<ZUTNetworkURLSession> {
public:
    // A downloaded body larger than this fails the request instead of being read into memory.
    static constexpr size_t kMaxDownloadedDataBytes = 1024 * 1024;
    // Files left in the temporary directory longer than this are removed.
    static constexpr double kTemporaryFileExpiry = 3600;

    static std::shared_ptr<ZUTNetworkURLSession> make(std::weak_ptr<ZUTNetworkLoggerDelegate> loggerDelegate);
    ~ZUTNetworkURLSession() override;

    // Start the request. The session ID, or nullopt when no platform session or task could be made; the
    // handler then gets error 2 (once) all the same.
    std::optional<std::string> sessionIDFromAsyncPOSTRequest(const platform::URLRequest& request,
                                                             ZUTNetworkURLSessionCompletionHandler handler);
    std::optional<std::string> sessionIDFromAsyncGETRequest(const platform::URLRequest& request,
                                                            ZUTNetworkURLSessionCompletionHandler handler);

    // The system relaunched the app for background session `identifier`: `handler` is called once on the
    // main loop when that session's events are done. Identifiers of other libraries are ignored. When no
    // live session of ours can deliver events (transfers end with the process here), the handler is
    // called at once.
    static void handleEventsForBackgroundURLSessionID(const std::string& identifier,
                                                      ZUTNetworkSystemCompletionHandler handler);

    std::string sessionID() const;
    void setSessionID(std::string sessionID);
    bool isBackgroundNetworkEnabled() const;
    void setBackgroundNetworkEnabled(bool enabled);
    std::shared_ptr<ZUTNetworkLoggerDelegate> loggerDelegate() const;
    void setLoggerDelegate(std::weak_ptr<ZUTNetworkLoggerDelegate> delegate);

    // The utility's temporary directory: Application Support/ZUT/Network/ZUTNetworkTemporaryDirectory.
    static std::string networkDirectoryPath();
    std::string temporaryFilePathWithSessionID(const std::string& sessionID) const;
    // Removes entries of `directory` whose creation date is more than `expiringTime` seconds from `now`.
    void maybeRemoveTempFiles(const std::string& directory, double expiringTime,
                              platform::Date now = platform::Date::now()) const;
    bool ensureTemporaryDirectoryExists() const;

    // The session registered under an ID, if it is still alive.
    static std::shared_ptr<ZUTNetworkURLSession> sessionFromFetcherMapForSessionID(const std::string& sessionID);

    // Platform session callbacks (main operation queue).
    void didFinishDownloadingToURL(const std::shared_ptr<platform::URLSession>&,
                                   const std::shared_ptr<platform::URLSessionDownloadTask>&,
                                   const platform::URL& location) override;
    void didCompleteWithError(const std::shared_ptr<platform::URLSession>&,
                              const std::shared_ptr<platform::URLSessionTask>& task,
                              const std::optional<platform::Error>& error) override;
    void didReceiveTaskChallenge(const std::shared_ptr<platform::URLSession>& session,
                                 const std::shared_ptr<platform::URLSessionTask>& task,
                                 const platform::URLAuthenticationChallenge& challenge,
                                 platform::ChallengeCompletion completionHandler) override;
    void willPerformHTTPRedirection(
        const std::shared_ptr<platform::URLSession>&, const std::shared_ptr<platform::URLSessionTask>&,
        const std::shared_ptr<const platform::HTTPURLResponse>& response, platform::URLRequest newRequest,
        std::function<void(std::optional<platform::URLRequest>)> completionHandler) override;
    void didFinishEventsForBackgroundURLSession(const std::shared_ptr<platform::URLSession>& session) override;

private:
    explicit ZUTNetworkURLSession(std::weak_ptr<ZUTNetworkLoggerDelegate> loggerDelegate);

    platform::URLSessionConfiguration backgroundSessionConfigWithSessionID(const std::string& sessionID) const;
    static void populateSessionConfig(platform::URLSessionConfiguration& config, const platform::URLRequest& request);
    std::shared_ptr<platform::URLSession> makeSession(const platform::URLSessionConfiguration& config);
    std::optional<std::string> startTask(const std::shared_ptr<platform::URLSession>& session,
                                         const std::shared_ptr<platform::URLSessionTask>& task,
                                         const platform::URLRequest& request,
                                         ZUTNetworkURLSessionCompletionHandler handler);
    void callCompletionHandler(ZUTNetworkURLSessionCompletionHandler handler,
                               std::shared_ptr<const platform::HTTPURLResponse> response,
                               std::optional<platform::Bytes> data, std::optional<platform::Error> error);
    void removeTempItem(const std::string& path) const;
    void excludeFromBackup(const std::string& path) const;
    void addSystemCompletionHandler(ZUTNetworkSystemCompletionHandler handler, const std::string& identifier);
    static void callSystemCompletionHandler(const std::string& identifier);
    static std::shared_ptr<ZUTNetworkURLSession> fetcherWithSessionIdentifier(const std::string& identifier);
    static void setSessionInFetcherMap(const std::shared_ptr<ZUTNetworkURLSession>& session,
                                       const std::string& sessionID);

    void log(int64_t level, int64_t code, const std::string& message, platform::ValueArray contexts = {}) const;

    mutable platform::dispatch::Mutex mutex_;
    std::string sessionID_ GUARDED_BY(mutex_);
    bool backgroundNetworkEnabled_ GUARDED_BY(mutex_) = false;
    std::weak_ptr<ZUTNetworkLoggerDelegate> loggerDelegate_ GUARDED_BY(mutex_);
    ZUTNetworkURLSessionCompletionHandler completionHandler_ GUARDED_BY(mutex_);
    std::optional<platform::URLRequest> request_ GUARDED_BY(mutex_);
    std::string uploadingFilePath_ GUARDED_BY(mutex_);
    std::optional<platform::Bytes> downloadedData_ GUARDED_BY(mutex_);
    std::optional<platform::Error> downloadError_ GUARDED_BY(mutex_);
    // Held until the transfer ends: a platform session released before its engine has started the
    // transfer drops the task.
    std::shared_ptr<platform::URLSession> urlSession_ GUARDED_BY(mutex_);
    bool eventsFinished_ GUARDED_BY(mutex_) = false;  // the platform session will deliver no more events
};

}  // namespace zidedova
