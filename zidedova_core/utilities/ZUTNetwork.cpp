#include "zidedova_core/utilities/ZUTNetwork.h"

#include <cstdio>

#include "platform/dispatch/ThreadChecks.h"
#include "zidedova_core/utilities/ZUTGzip.h"
#include "zidedova_core/utilities/ZUTLogger.h"
#include "zidedova_core/utilities/ZUTNetworkURLSession.h"

namespace zidedova {

using platform::Bytes;
using platform::Error;
using platform::URLRequest;
using platform::Value;
using platform::ValueArray;
using platform::dispatch::DispatchQueue;

namespace {

constexpr const char* kService = "[ZUTNetwork]";

std::string messageCodeText(int64_t code) {
    char text[32];
    std::snprintf(text, sizeof text, "I-NET%06lld", static_cast<long long>(code));
    return text;
}

const char* levelName(int64_t level) {
    switch (level) {
    case kZUTNetworkLogLevelError:
        return "ERROR";
    case kZUTNetworkLogLevelWarning:
        return "WARNING";
    case kZUTNetworkLogLevelInfo:
        return "INFO";
    case kZUTNetworkLogLevelDebug:
        return "DEBUG";
    default:
        return "";
    }
}

DispatchQueue queueOrMain(const std::optional<DispatchQueue>& queue) { return queue ? *queue : DispatchQueue::main(); }

}  // namespace

std::shared_ptr<ZUTNetwork> ZUTNetwork::make(const std::string& reachabilityHost) {
    std::shared_ptr<ZUTNetwork> network(new ZUTNetwork);
    network->reachability_ =
        ZUTReachabilityChecker::make(std::weak_ptr<ZUTReachabilityDelegate>(network), reachabilityHost);
    if (!network->reachability_ || !network->reachability_->start()) return nullptr;
    return network;
}

ZUTNetwork::~ZUTNetwork() {
    if (reachability_) {
        reachability_->setReachabilityDelegate({});
        reachability_->stop();
    }
}

// MARK: - Requests

URLRequest ZUTNetwork::makeRequest(const platform::URL& url) const {
    const double timeout = timeoutInterval();
    return URLRequest(url, platform::URLRequestCachePolicy::ReloadIgnoringLocalCacheData,
                      timeout > 0 ? timeout : kDefaultTimeoutInterval);
}

std::optional<std::string> ZUTNetwork::postURL(const platform::URL& url, const Bytes& payload,
                                               std::optional<DispatchQueue> queue, bool usingBackgroundSession,
                                               ZUTNetworkCompletionHandler completionHandler) {
    if (url.isEmpty()) {
        handleError(ZUTNetworkErrorCodeInvalidURL, queue, std::move(completionHandler));
        return std::nullopt;
    }
    URLRequest request = makeRequest(url);
    auto compressed = ZUTDataByGzippingData(payload);
    if (!compressed.ok()) {
        handleError(ZUTNetworkErrorCodePayloadCompression, queue, std::move(completionHandler));
        return std::nullopt;
    }
    // An empty payload compresses to nothing and goes out as an empty body.
    request.setValue(std::to_string(compressed->size()), "Content-Length");
    request.setValue("application/x-www-form-urlencoded", "Content-Type");
    request.setValue("gzip", "Content-Encoding");
    request.setHTTPMethod("POST");
    request.setHTTPBody(std::move(*compressed));
    return start(request, true, usingBackgroundSession, std::move(queue), std::move(completionHandler));
}

std::optional<std::string> ZUTNetwork::getURL(const platform::URL& url, const platform::HTTPHeaderFields& headers,
                                              std::optional<DispatchQueue> queue, bool usingBackgroundSession,
                                              ZUTNetworkCompletionHandler completionHandler) {
    if (url.isEmpty()) {
        handleError(ZUTNetworkErrorCodeInvalidURL, queue, std::move(completionHandler));
        return std::nullopt;
    }
    URLRequest request = makeRequest(url);
    request.setHTTPMethod("GET");
    request.setAllHTTPHeaderFields(headers);
    return start(request, false, usingBackgroundSession, std::move(queue), std::move(completionHandler));
}

std::optional<std::string> ZUTNetwork::start(const URLRequest& request, bool isPost, bool usingBackgroundSession,
                                             std::optional<DispatchQueue> queue,
                                             ZUTNetworkCompletionHandler completionHandler) {
    auto session = ZUTNetworkURLSession::make(weak_from_this());
    session->setBackgroundNetworkEnabled(usingBackgroundSession);
    // In flight before the transfer can start, so a fast completion never finds itself missing.
    const std::string sessionID = session->sessionID();
    {
        platform::dispatch::MutexLock lock(mutex_);
        requests_[sessionID] = session;
    }
    std::weak_ptr<ZUTNetwork> weakSelf = weak_from_this();
    auto onDone = [weakSelf, queue = std::move(queue), handler = std::move(completionHandler)](
                      std::shared_ptr<const platform::HTTPURLResponse> response, std::optional<Bytes> data,
                      const std::string& id, std::optional<Error> error) mutable {
        auto self = weakSelf.lock();
        if (!self) return;
        queueOrMain(queue).async([self, id, handler = std::move(handler), response = std::move(response),
                                  data = std::move(data), error = std::move(error)] {
            if (!id.empty()) self->removeRequest(id);
            if (handler) handler(response, data, error);
        });
    };
    const std::string url = request.url() ? request.url()->absoluteString() : "";
    auto started = isPost ? session->sessionIDFromAsyncPOSTRequest(request, std::move(onDone))
                          : session->sessionIDFromAsyncGETRequest(request, std::move(onDone));
    if (!started) {
        // The session has already reported why (error 2) through the same completion: no second report.
        removeRequest(sessionID);
        return std::nullopt;
    }
    if (isPost)
        ZUTNetwork_logWithLevel(kZUTNetworkLogLevelDebug, kZUTNetworkMessageCodeUploadingData, "Uploading data. Host",
                                Value(url));
    else
        ZUTNetwork_logWithLevel(kZUTNetworkLogLevelDebug, kZUTNetworkMessageCodeDownloadingData,
                                "Downloading data. Host", Value(url));
    return started;
}

void ZUTNetwork::handleError(int64_t code, std::optional<DispatchQueue> queue,
                             ZUTNetworkCompletionHandler completionHandler) {
    Error error = ZUTNetworkError(code, "Failed to create network request");
    ZUTNetwork_logWithLevel(kZUTNetworkLogLevelWarning, kZUTNetworkMessageCodeRequestCreation,
                            "Failed to create network request. Code, error",
                            ValueArray{Value(code), Value(error.description())});
    if (!completionHandler) return;
    queueOrMain(queue).async(
        [handler = std::move(completionHandler), error] { handler(nullptr, std::nullopt, error); });
}

void ZUTNetwork::removeRequest(const std::string& sessionID) {
    std::shared_ptr<ZUTNetworkURLSession> removed;  // released outside the lock
    platform::dispatch::MutexLock lock(mutex_);
    auto it = requests_.find(sessionID);
    if (it == requests_.end()) return;
    removed = std::move(it->second);
    requests_.erase(it);
}

bool ZUTNetwork::hasUploadInProgress() const {
    platform::dispatch::MutexLock lock(mutex_);
    return !requests_.empty();
}

void ZUTNetwork::handleEventsForBackgroundURLSessionID(const std::string& identifier,
                                                       ZUTNetworkSystemCompletionHandler completionHandler) {
    ZUTNetworkURLSession::handleEventsForBackgroundURLSessionID(identifier, std::move(completionHandler));
}

// MARK: - Delegates

void ZUTNetwork::setLoggerDelegate(const std::shared_ptr<ZUTNetworkLoggerDelegate>& delegate) {
    if (!delegate || delegate.get() == static_cast<ZUTNetworkLoggerDelegate*>(this)) {
        ZUTLoggerLogError(kService, false, messageCodeText(kZUTNetworkMessageCodeRequestCreation),
                          "Cannot set the network logger delegate: delegate does not conform to the network "
                          "logger protocol.");
        return;
    }
    platform::dispatch::MutexLock lock(mutex_);
    loggerDelegate_ = delegate;
}

std::shared_ptr<ZUTNetworkLoggerDelegate> ZUTNetwork::loggerDelegate() const {
    platform::dispatch::MutexLock lock(mutex_);
    return loggerDelegate_.lock();
}

void ZUTNetwork::setReachabilityDelegate(const std::shared_ptr<ZUTNetworkReachabilityDelegate>& delegate) {
    platform::dispatch::MutexLock lock(mutex_);
    reachabilityDelegate_ = delegate;
}

std::shared_ptr<ZUTNetworkReachabilityDelegate> ZUTNetwork::reachabilityDelegate() const {
    platform::dispatch::MutexLock lock(mutex_);
    return reachabilityDelegate_.lock();
}

void ZUTNetwork::reachabilityStatusChanged(ZUTReachabilityChecker&, ZUTReachabilityStatus status) {
    networkConnected_ = status == kZUTReachabilityViaWifi || status == kZUTReachabilityViaCellular;
    if (auto delegate = reachabilityDelegate()) delegate->reachabilityDidChange();
}

// MARK: - Logging

void ZUTNetwork::ZUTNetwork_logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                                         const ValueArray& contexts) {
    if (auto delegate = loggerDelegate()) {
        delegate->ZUTNetwork_logWithLevel(level, messageCode, message, contexts);
        return;
    }
    const bool always =
        level == kZUTNetworkLogLevelError || level == kZUTNetworkLogLevelWarning || level == kZUTNetworkLogLevelInfo;
    if (!always && !isDebugModeEnabled()) return;
    ZUTLoggerLog(int(level), kService, false, messageCodeText(messageCode), "%@",
                 composeLogLine(level, message, contexts));
}

void ZUTNetwork::ZUTNetwork_logWithLevel(int64_t level, int64_t messageCode, const std::string& message,
                                         const Value& context) {
    if (auto delegate = loggerDelegate()) {
        delegate->ZUTNetwork_logWithLevel(level, messageCode, message, context);
        return;
    }
    ZUTNetwork_logWithLevel(level, messageCode, message, context.isNull() ? ValueArray{} : ValueArray{context});
}

void ZUTNetwork::ZUTNetwork_logWithLevel(int64_t level, int64_t messageCode, const std::string& message) {
    if (auto delegate = loggerDelegate()) {
        delegate->ZUTNetwork_logWithLevel(level, messageCode, message);
        return;
    }
    ZUTNetwork_logWithLevel(level, messageCode, message, ValueArray{});
}

std::string ZUTNetwork::composeLogLine(int64_t level, const std::string& message, const ValueArray& contexts) {
    std::string line = "<Vodezu/Utilities/Network/";
    line += levelName(level);
    line += "> ";
    line += message.empty() ? "(Message was empty)" : message;
    if (!contexts.empty()) {
        line += ": ";
        for (size_t i = 0; i < contexts.size(); ++i) {
            if (i) line += ", ";
            line += contexts[i].isNull() ? "(nil)" : ZUTFormatArg(contexts[i]).object();
        }
    }
    return line;
}

}  // namespace zidedova
