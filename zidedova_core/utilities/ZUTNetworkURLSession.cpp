#include "zidedova_core/utilities/ZUTNetworkURLSession.h"

#include <cmath>
#include <map>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/UUID.h"
#include "platform/security/Trust.h"
#include "platform/urlsession/URLAuthenticationChallenge.h"
#include "zidedova_core/utilities/ZUTLogger.h"

namespace zidedova {

using platform::Bytes;
using platform::Error;
using platform::FileManager;
using platform::URLRequest;
using platform::URLSession;
using platform::URLSessionConfiguration;
using platform::Value;
using platform::ValueArray;
using platform::dispatch::DispatchQueue;

Error ZUTNetworkError(int64_t code, const std::string& context) {
    return Error(kZUTNetworkErrorDomain, code, Value::dictionary({{kZUTNetworkErrorContext, context}}));
}

namespace {

constexpr const char* kUploadFilePrefix = "ZUTUpload_temp_";

// Class-wide tables.
struct FetcherMap {
    platform::dispatch::Mutex mutex;
    std::map<std::string, std::weak_ptr<ZUTNetworkURLSession>> sessions GUARDED_BY(mutex);
    // Sessions made on relaunch: nothing else holds them until their system handler is called.
    std::map<std::string, std::shared_ptr<ZUTNetworkURLSession>> relaunched GUARDED_BY(mutex);
};
FetcherMap& fetcherMap() {
    static auto* map = new FetcherMap;  // used from threads that may outlive static teardown
    return *map;
}

struct SystemHandlers {
    platform::dispatch::Mutex mutex;
    std::map<std::string, ZUTNetworkSystemCompletionHandler> handlers GUARDED_BY(mutex);
};
SystemHandlers& systemHandlers() {
    static auto* table = new SystemHandlers;
    return *table;
}

// Trust evaluations run one at a time, off the delegate queue.
platform::dispatch::Mutex& trustEvaluationMutex() {
    static auto* mutex = new platform::dispatch::Mutex;
    return *mutex;
}

std::shared_ptr<platform::dispatch::OperationQueue> mainOperationQueue() {
    return std::make_shared<platform::dispatch::OperationQueue>(platform::dispatch::OperationQueue::main());
}

Value describe(const Error& error) { return Value(error.description()); }

}  // namespace

std::shared_ptr<ZUTNetworkURLSession>
ZUTNetworkURLSession::make(std::weak_ptr<ZUTNetworkLoggerDelegate> loggerDelegate) {
    return std::shared_ptr<ZUTNetworkURLSession>(new ZUTNetworkURLSession(std::move(loggerDelegate)));
}

ZUTNetworkURLSession::ZUTNetworkURLSession(std::weak_ptr<ZUTNetworkLoggerDelegate> loggerDelegate)
    : sessionID_(std::string(kZUTNetworkBackgroundSessionPrefix) + "-" + platform::UUID::random().uuidString()),
      loggerDelegate_(std::move(loggerDelegate)) {}

ZUTNetworkURLSession::~ZUTNetworkURLSession() = default;

std::string ZUTNetworkURLSession::sessionID() const {
    platform::dispatch::MutexLock lock(mutex_);
    return sessionID_;
}
void ZUTNetworkURLSession::setSessionID(std::string sessionID) {
    platform::dispatch::MutexLock lock(mutex_);
    sessionID_ = std::move(sessionID);
}
bool ZUTNetworkURLSession::isBackgroundNetworkEnabled() const {
    platform::dispatch::MutexLock lock(mutex_);
    return backgroundNetworkEnabled_;
}
void ZUTNetworkURLSession::setBackgroundNetworkEnabled(bool enabled) {
    platform::dispatch::MutexLock lock(mutex_);
    backgroundNetworkEnabled_ = enabled;
}
std::shared_ptr<ZUTNetworkLoggerDelegate> ZUTNetworkURLSession::loggerDelegate() const {
    platform::dispatch::MutexLock lock(mutex_);
    return loggerDelegate_.lock();
}
void ZUTNetworkURLSession::setLoggerDelegate(std::weak_ptr<ZUTNetworkLoggerDelegate> delegate) {
    platform::dispatch::MutexLock lock(mutex_);
    loggerDelegate_ = std::move(delegate);
}

void ZUTNetworkURLSession::log(int64_t level, int64_t code, const std::string& message, ValueArray contexts) const {
    auto delegate = loggerDelegate();
    if (!delegate) return;
    delegate->ZUTNetwork_logWithLevel(level, code, message, contexts);
}

// MARK: - Requests

std::optional<std::string>
ZUTNetworkURLSession::sessionIDFromAsyncPOSTRequest(const URLRequest& request,
                                                    ZUTNetworkURLSessionCompletionHandler handler) {
    const std::string sessionID = this->sessionID();
    const std::string directory = networkDirectoryPath();
    {
        platform::dispatch::MutexLock lock(mutex_);
        uploadingFilePath_ = temporaryFilePathWithSessionID(sessionID);
    }
    maybeRemoveTempFiles(directory, kTemporaryFileExpiry);

    std::shared_ptr<URLSession> session;
    std::shared_ptr<platform::URLSessionTask> task;
    const Bytes body = request.HTTPBody().value_or(Bytes{});
    if (request.url() && !request.url()->isEmpty()) {
        if (isBackgroundNetworkEnabled() && ensureTemporaryDirectoryExists()) {
            std::string path;
            {
                platform::dispatch::MutexLock lock(mutex_);
                path = uploadingFilePath_;
            }
            auto written = FileManager::defaultManager().writeAtomically(path, body, 0600);
            if (!written.ok()) {
                log(kZUTNetworkLogLevelError, kZUTNetworkMessageCodeWriteRequestFile,
                    "Failed to write request data to file", {describe(written.error())});
            } else {
                excludeFromBackup(path);
                URLSessionConfiguration config = backgroundSessionConfigWithSessionID(sessionID);
                populateSessionConfig(config, request);
                session = makeSession(config);
                task = session->uploadTaskWithRequestFromFile(request, platform::URL::fileURL(path));
            }
        }
        if (!task) {
            // Foreground, also when a background body could not be spooled.
            URLSessionConfiguration config = URLSessionConfiguration::defaultSessionConfiguration();
            populateSessionConfig(config, request);
            session = makeSession(config);
            task = session->uploadTaskWithRequest(request, body);
        }
    }
    return startTask(session, task, request, std::move(handler));
}

std::optional<std::string>
ZUTNetworkURLSession::sessionIDFromAsyncGETRequest(const URLRequest& request,
                                                   ZUTNetworkURLSessionCompletionHandler handler) {
    std::shared_ptr<URLSession> session;
    std::shared_ptr<platform::URLSessionTask> task;
    if (request.url() && !request.url()->isEmpty()) {
        URLSessionConfiguration config = isBackgroundNetworkEnabled()
                                             ? backgroundSessionConfigWithSessionID(sessionID())
                                             : URLSessionConfiguration::defaultSessionConfiguration();
        populateSessionConfig(config, request);
        config.URLCache = nullptr;
        session = makeSession(config);
        task = session->downloadTaskWithRequest(request);
    }
    return startTask(session, task, request, std::move(handler));
}

std::optional<std::string> ZUTNetworkURLSession::startTask(const std::shared_ptr<URLSession>& session,
                                                           const std::shared_ptr<platform::URLSessionTask>& task,
                                                           const URLRequest& request,
                                                           ZUTNetworkURLSessionCompletionHandler handler) {
    if (!session || !task) {
        if (session) session->invalidateAndCancel();
        callCompletionHandler(std::move(handler), nullptr, std::nullopt,
                              ZUTNetworkError(ZUTNetworkErrorCodeSessionCreation, "Cannot create network session"));
        return std::nullopt;
    }
    std::string sessionID;
    {
        platform::dispatch::MutexLock lock(mutex_);
        urlSession_ = session;
        request_ = request;
        // Stored before resume: a fast transfer may complete before resume() returns.
        completionHandler_ = std::move(handler);
        sessionID = sessionID_;
    }
    setSessionInFetcherMap(shared_from_this(), sessionID);
    task->resume();
    return sessionID;
}

URLSessionConfiguration ZUTNetworkURLSession::backgroundSessionConfigWithSessionID(const std::string& sessionID) const {
    return URLSessionConfiguration::backgroundSessionConfiguration(sessionID);
}

void ZUTNetworkURLSession::populateSessionConfig(URLSessionConfiguration& config, const URLRequest& request) {
    config.HTTPAdditionalHeaders = request.allHTTPHeaderFields().asValue();
    config.timeoutIntervalForRequest = request.timeoutInterval();
    config.timeoutIntervalForResource = request.timeoutInterval();
    config.requestCachePolicy = request.cachePolicy();
}

std::shared_ptr<URLSession> ZUTNetworkURLSession::makeSession(const URLSessionConfiguration& config) {
    return URLSession::sessionWithConfiguration(config, shared_from_this(), mainOperationQueue());
}

// MARK: - Transfer callbacks

void ZUTNetworkURLSession::didFinishDownloadingToURL(const std::shared_ptr<URLSession>&,
                                                     const std::shared_ptr<platform::URLSessionDownloadTask>&,
                                                     const platform::URL& location) {
    const std::string path = location.path();
    if (path.empty()) {
        log(kZUTNetworkLogLevelError, kZUTNetworkMessageCodeEmptyDownloadLocation,
            "Unable to read downloaded data from empty temp path");
        return;
    }
    auto contents = FileManager::defaultManager().contentsOfFile(path, kMaxDownloadedDataBytes);
    {
        platform::dispatch::MutexLock lock(mutex_);
        if (contents.ok()) {
            downloadedData_ = std::move(*contents);
            return;
        }
        // Above the cap the request fails rather than reporting an empty success.
        downloadedData_.reset();
        downloadError_ = contents.error();
    }
    log(kZUTNetworkLogLevelError, kZUTNetworkMessageCodeReadDownloadedData,
        "Cannot read the content of downloaded data", {describe(contents.error())});
}

void ZUTNetworkURLSession::didCompleteWithError(const std::shared_ptr<URLSession>& session,
                                                const std::shared_ptr<platform::URLSessionTask>& task,
                                                const std::optional<Error>& error) {
    ZUTNetworkURLSessionCompletionHandler handler;
    std::optional<Bytes> data;
    std::optional<Error> downloadError;
    std::string uploadingFile, sessionID;
    {
        platform::dispatch::MutexLock lock(mutex_);
        handler = std::move(completionHandler_);
        completionHandler_ = nullptr;
        data = std::move(downloadedData_);
        downloadError = std::move(downloadError_);
        uploadingFile = uploadingFilePath_;
        sessionID = sessionID_;
        urlSession_.reset();  // invalidated below; it lets go of us once it is done
    }
    auto response = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(task->response());
    // A transfer cut after its headers has a response and an error: the error is what counts.
    std::optional<Error> reported = error ? error : downloadError;
    if (!reported && !response)
        reported = ZUTNetworkError(ZUTNetworkErrorCodeEmptyResponse, "Network Error: Empty network response");
    if (handler) callCompletionHandler(std::move(handler), response, std::move(data), std::move(reported));

    if (!uploadingFile.empty()) removeTempItem(uploadingFile);
    maybeRemoveTempFiles(networkDirectoryPath(), kTemporaryFileExpiry);
    session->finishTasksAndInvalidate();
    // By our own ID: a foreground session's configuration has no identifier to remove by.
    platform::dispatch::MutexLock lock(fetcherMap().mutex);
    auto it = fetcherMap().sessions.find(sessionID);
    if (it != fetcherMap().sessions.end() && it->second.lock().get() == this) fetcherMap().sessions.erase(it);
}

void ZUTNetworkURLSession::callCompletionHandler(ZUTNetworkURLSessionCompletionHandler handler,
                                                 std::shared_ptr<const platform::HTTPURLResponse> response,
                                                 std::optional<Bytes> data, std::optional<Error> error) {
    if (error)
        log(kZUTNetworkLogLevelError, kZUTNetworkMessageCodeNetworkError, "Encounter network error. Code, error",
            {Value(error->code), describe(*error)});
    if (!handler) return;
    DispatchQueue::main().async([handler = std::move(handler), response = std::move(response), data = std::move(data),
                                 error = std::move(error),
                                 sessionID = sessionID()] { handler(response, data, sessionID, error); });
}

void ZUTNetworkURLSession::didReceiveTaskChallenge(const std::shared_ptr<URLSession>&,
                                                   const std::shared_ptr<platform::URLSessionTask>&,
                                                   const platform::URLAuthenticationChallenge& challenge,
                                                   platform::ChallengeCompletion completionHandler) {
    using Disposition = platform::URLSessionAuthChallengeDisposition;
    if (challenge.protectionSpace.authenticationMethod() != platform::kURLAuthenticationMethodServerTrust) {
        completionHandler(Disposition::PerformDefaultHandling, std::nullopt);
        return;
    }
    std::string url;
    {
        platform::dispatch::MutexLock lock(mutex_);
        if (request_ && request_->url()) url = request_->url()->absoluteString();
    }
    auto trust = challenge.protectionSpace.serverTrust();
    if (!trust) {
        log(kZUTNetworkLogLevelDebug, kZUTNetworkMessageCodeEmptyServerTrust,
            "Received empty server trust for host. Host", {Value(url)});
        completionHandler(Disposition::PerformDefaultHandling, std::nullopt);
        return;
    }
    platform::URLCredential credential(trust);
    log(kZUTNetworkLogLevelDebug, kZUTNetworkMessageCodeServerTrustChallenge, "Received SSL challenge for host. Host",
        {Value(url)});
    auto self = shared_from_this();
    DispatchQueue::global().async([self, trust, credential, url, completionHandler = std::move(completionHandler)] {
        platform::security::TrustEvaluation evaluation;
        {
            platform::dispatch::MutexLock lock(trustEvaluationMutex());
            evaluation = trust->evaluate();
        }
        bool accepted = false;
        if (evaluation.status != platform::security::kTrustStatusSuccess) {
            self->log(kZUTNetworkLogLevelError, kZUTNetworkMessageCodeTrustEvaluation,
                      "Cannot evaluate server trust. Error, host", {Value(int64_t(evaluation.status)), Value(url)});
        } else {
            accepted = evaluation.result == platform::security::TrustResultType::proceed ||
                       evaluation.result == platform::security::TrustResultType::unspecified;
        }
        if (accepted) {
            completionHandler(Disposition::UseCredential, credential);
        } else {
            self->log(kZUTNetworkLogLevelDebug, kZUTNetworkMessageCodeCancelChallenge,
                      "Cancelling authentication challenge for host. Host", {Value(url)});
            completionHandler(Disposition::CancelAuthenticationChallenge, std::nullopt);
        }
    });
}

void ZUTNetworkURLSession::willPerformHTTPRedirection(
    const std::shared_ptr<URLSession>&, const std::shared_ptr<platform::URLSessionTask>&,
    const std::shared_ptr<const platform::HTTPURLResponse>& response, URLRequest newRequest,
    std::function<void(std::optional<URLRequest>)> completionHandler) {
    const int status = response ? response->statusCode() : 0;
    if (status == 300 || status == 301 || status == 302 || status == 307) {
        completionHandler(std::nullopt);
        return;
    }
    completionHandler(std::move(newRequest));
}

void ZUTNetworkURLSession::didFinishEventsForBackgroundURLSession(const std::shared_ptr<URLSession>& session) {
    const std::string identifier = session->configuration().identifier().value_or("");
    log(kZUTNetworkLogLevelDebug, kZUTNetworkMessageCodeBackgroundSessionFinished, "Background session finished",
        {Value(identifier)});
    {
        platform::dispatch::MutexLock lock(mutex_);
        eventsFinished_ = true;
    }
    callSystemCompletionHandler(identifier);
}

// MARK: - Relaunch

void ZUTNetworkURLSession::handleEventsForBackgroundURLSessionID(const std::string& identifier,
                                                                 ZUTNetworkSystemCompletionHandler handler) {
    if (!identifier.starts_with(kZUTNetworkBackgroundSessionPrefix)) return;
    auto fetcher = fetcherWithSessionIdentifier(identifier);
    if (!fetcher) {
        ZUTLoggerLogError("[ZUTNetwork]", false, "I-NET900003",
                          "Failed to retrieve background session with ID %@ after app is relaunched.", identifier);
        return;
    }
    fetcher->addSystemCompletionHandler(std::move(handler), identifier);
}

std::shared_ptr<ZUTNetworkURLSession>
ZUTNetworkURLSession::fetcherWithSessionIdentifier(const std::string& identifier) {
    if (auto existing = sessionFromFetcherMapForSessionID(identifier)) return existing;
    auto fetcher = make({});
    fetcher->setSessionID(identifier);
    setSessionInFetcherMap(fetcher, identifier);
    {
        platform::dispatch::MutexLock lock(fetcherMap().mutex);
        fetcherMap().relaunched[identifier] = fetcher;
    }
    return fetcher;
}

void ZUTNetworkURLSession::addSystemCompletionHandler(ZUTNetworkSystemCompletionHandler handler,
                                                      const std::string& identifier) {
    if (!handler) {
        log(kZUTNetworkLogLevelError, kZUTNetworkMessageCodeNilSystemHandler,
            "Cannot store nil system completion handler in network");
        return;
    }
    if (identifier.empty()) {
        log(kZUTNetworkLogLevelError, kZUTNetworkMessageCodeEmptySystemHandlerID,
            "Cannot store system completion handler with empty network session identifier");
        return;
    }
    bool replaced = false;
    bool canDeliver = false;
    {
        // Under our lock, so a session finishing its events now either sees the handler or we see it done.
        platform::dispatch::MutexLock lock(mutex_);
        {
            platform::dispatch::MutexLock tableLock(systemHandlers().mutex);
            auto& slot = systemHandlers().handlers[identifier];
            replaced = static_cast<bool>(slot);
            slot = std::move(handler);
        }
        // Only a background platform session reports the end of its events.
        canDeliver = urlSession_ && urlSession_->configuration().identifier() && !eventsFinished_;
    }
    if (replaced)
        log(kZUTNetworkLogLevelWarning, kZUTNetworkMessageCodeDuplicateSystemHandler,
            "Got multiple system handlers for a single session ID", {Value(identifier)});
    // Transfers end with the process here: a relaunched session has nothing left to report.
    if (!canDeliver) callSystemCompletionHandler(identifier);
}

void ZUTNetworkURLSession::callSystemCompletionHandler(const std::string& identifier) {
    ZUTNetworkSystemCompletionHandler handler;
    {
        platform::dispatch::MutexLock lock(systemHandlers().mutex);
        auto it = systemHandlers().handlers.find(identifier);
        if (it != systemHandlers().handlers.end()) {
            handler = std::move(it->second);
            systemHandlers().handlers.erase(it);
        }
    }
    std::shared_ptr<ZUTNetworkURLSession> relaunched;
    {
        platform::dispatch::MutexLock lock(fetcherMap().mutex);
        auto it = fetcherMap().relaunched.find(identifier);
        if (it != fetcherMap().relaunched.end()) {
            relaunched = std::move(it->second);
            fetcherMap().relaunched.erase(it);
            fetcherMap().sessions.erase(identifier);
        }
    }
    if (handler) DispatchQueue::main().async(std::move(handler));
}

// MARK: - Session map

void ZUTNetworkURLSession::setSessionInFetcherMap(const std::shared_ptr<ZUTNetworkURLSession>& session,
                                                  const std::string& sessionID) {
    std::shared_ptr<ZUTNetworkURLSession> old;
    {
        platform::dispatch::MutexLock lock(fetcherMap().mutex);
        auto& slot = fetcherMap().sessions[sessionID];
        old = slot.lock();
        if (session)
            slot = session;
        else
            fetcherMap().sessions.erase(sessionID);
    }
    if (!old || old == session) return;
    if (session)
        old->log(kZUTNetworkLogLevelInfo, kZUTNetworkMessageCodeDiscardingSession,
                 "Discarding session: " + old->sessionID());
    std::shared_ptr<URLSession> oldSession;
    {
        platform::dispatch::MutexLock lock(old->mutex_);
        oldSession = old->urlSession_;
    }
    if (oldSession) oldSession->finishTasksAndInvalidate();
}

std::shared_ptr<ZUTNetworkURLSession>
ZUTNetworkURLSession::sessionFromFetcherMapForSessionID(const std::string& sessionID) {
    platform::dispatch::MutexLock lock(fetcherMap().mutex);
    auto it = fetcherMap().sessions.find(sessionID);
    return it == fetcherMap().sessions.end() ? nullptr : it->second.lock();
}

// MARK: - Temporary files

std::string ZUTNetworkURLSession::networkDirectoryPath() {
    auto support = FileManager::defaultManager().directory(platform::SearchPathDirectory::ApplicationSupport);
    if (!support.ok()) return "";
    return *support + "/ZUT/Network/ZUTNetworkTemporaryDirectory";
}

std::string ZUTNetworkURLSession::temporaryFilePathWithSessionID(const std::string& sessionID) const {
    const std::string directory = networkDirectoryPath();
    if (directory.empty()) return "";
    return directory + "/" + kUploadFilePrefix + sessionID;
}

bool ZUTNetworkURLSession::ensureTemporaryDirectoryExists() const {
    const std::string directory = networkDirectoryPath();
    if (directory.empty()) return false;
    auto& files = FileManager::defaultManager();
    if (files.isDirectory(directory)) return true;
    auto created = files.createDirectory(directory, true, 0700);
    if (!created.ok()) {
        log(kZUTNetworkLogLevelError, kZUTNetworkMessageCodeCreateTemporaryFolder,
            "Cannot create temporary directory. Error", {describe(created.error())});
        return false;
    }
    excludeFromBackup(directory);
    return true;
}

void ZUTNetworkURLSession::maybeRemoveTempFiles(const std::string& directory, double expiringTime,
                                                platform::Date now) const {
    if (directory.empty()) return;
    auto& files = FileManager::defaultManager();
    auto entries = files.contentsOfDirectory(directory);
    if (!entries.ok()) {
        const int64_t code = entries.error().code;
        if (code != platform::kFileReadNoSuchFileError && code != platform::kFileNoSuchFileError)
            log(kZUTNetworkLogLevelDebug, kZUTNetworkMessageCodeListTemporaryFolder,
                "Cannot get files from the temporary network folder. Error", {describe(entries.error())});
        return;
    }
    for (const std::string& name : *entries) {
        const std::string path = directory + "/" + name;
        auto created = files.creationDate(path);
        if (!created.ok()) continue;
        if (std::abs(now.timeIntervalSince(*created)) > expiringTime) removeTempItem(path);
    }
}

void ZUTNetworkURLSession::removeTempItem(const std::string& path) const {
    if (path.empty()) return;
    auto removed = FileManager::defaultManager().removeItem(path);
    if (!removed.ok() && removed.error().code != platform::kFileNoSuchFileError &&
        removed.error().code != platform::kFileReadNoSuchFileError)
        log(kZUTNetworkLogLevelError, kZUTNetworkMessageCodeRemoveTemporaryFile,
            "Failed to remove temporary uploading data file. Error", {Value(removed.error().localizedDescription())});
}

void ZUTNetworkURLSession::excludeFromBackup(const std::string& path) const {
    if (path.empty()) return;
    if (!FileManager::defaultManager().setExcludedFromBackup(path, true).ok())
        log(kZUTNetworkLogLevelError, kZUTNetworkMessageCodeExcludeFromBackup,
            "Cannot exclude temporary folder from iTunes backup");
}

}  // namespace zidedova
