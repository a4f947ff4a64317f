#pragma once
// URLSessionDelegate: every callback a session makes, as one interface with defaults. All callbacks
// run on the session's delegate queue, one at a time, in the order the events happened.
//
// Each default does what the platform does for a delegate without that method (allow the response,
// follow the redirect, default handling of challenges, ...). implements() tells the session which
// methods the delegate has; a method it answers false for is never called and the platform default
// applies (this is how a delegate "does not respond to" a callback at run time). It answers true for
// every method but the session-level challenge (didReceiveChallenge), which takes session-wide
// challenges away from the task-level method: a delegate that overrides it says so in implements().
//
// Completion handlers may be called on any thread, at once or later, exactly once; the task waits
// for them (its transfer is paused, see URLSession.h). A handler called twice is ignored.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "platform/foundation/Error.h"
#include "platform/foundation/HTTPURLResponse.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/URLRequest.h"
#include "platform/urlsession/URLAuthenticationChallenge.h"
#include "platform/urlsession/URLCache.h"
#include "platform/urlsession/URLSessionTask.h"
#include "platform/urlsession/URLSessionTaskMetrics.h"

namespace platform {

class URLSession;
class InputStream;
class OutputStream;

enum class URLSessionResponseDisposition { Cancel = 0, Allow = 1, BecomeDownload = 2, BecomeStream = 3 };

enum class URLSessionDelegateMethod {
    DidBecomeInvalidWithError,
    DidReceiveChallenge,
    DidFinishEventsForBackgroundURLSession,
    TaskWillPerformHTTPRedirection,
    TaskDidReceiveChallenge,
    TaskNeedNewBodyStream,
    TaskDidSendBodyData,
    TaskDidFinishCollectingMetrics,
    TaskDidCompleteWithError,
    DataTaskDidReceiveResponse,
    DataTaskDidBecomeDownloadTask,
    DataTaskDidReceiveData,
    DataTaskWillCacheResponse,
    DownloadTaskDidFinishDownloadingToURL,
    DownloadTaskDidWriteData,
    DownloadTaskDidResumeAtOffset,
    StreamTaskReadClosed,
    StreamTaskWriteClosed,
    StreamTaskBetterRouteDiscovered,
    StreamTaskDidBecomeStreams,
};

using ChallengeCompletion = std::function<void(URLSessionAuthChallengeDisposition, std::optional<URLCredential>)>;

class URLSessionDelegate {
public:
    virtual ~URLSessionDelegate() = default;
    virtual bool implements(URLSessionDelegateMethod method) const {
        return method != URLSessionDelegateMethod::DidReceiveChallenge;
    }

    // Session.
    virtual void didBecomeInvalidWithError(const std::shared_ptr<URLSession>&, const std::optional<Error>&) {}
    // Session-wide challenges (server trust): asked here when the delegate implements this method,
    // else of didReceiveTaskChallenge. Default: performDefaultHandling.
    virtual void didReceiveChallenge(const std::shared_ptr<URLSession>&, const URLAuthenticationChallenge&,
                                     ChallengeCompletion completionHandler) {
        completionHandler(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
    }
    virtual void didFinishEventsForBackgroundURLSession(const std::shared_ptr<URLSession>&) {}

    // Task. Default redirect: follow with the proposed request; nullopt refuses (the 3xx response
    // then completes the task).
    virtual void willPerformHTTPRedirection(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
                                            const std::shared_ptr<const HTTPURLResponse>&, URLRequest newRequest,
                                            std::function<void(std::optional<URLRequest>)> completionHandler) {
        completionHandler(std::move(newRequest));
    }
    // HTTP authentication challenges, and session-wide ones when the delegate does not implement
    // didReceiveChallenge. Default: performDefaultHandling.
    virtual void didReceiveTaskChallenge(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
                                         const URLAuthenticationChallenge&, ChallengeCompletion completionHandler) {
        completionHandler(URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt);
    }
    virtual void needNewBodyStream(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
                                   std::function<void(std::shared_ptr<InputStream>)> completionHandler) {
        completionHandler(nullptr);
    }
    virtual void didSendBodyData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
                                 int64_t bytesSent, int64_t totalBytesSent, int64_t totalBytesExpectedToSend) {}
    virtual void didFinishCollectingMetrics(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
                                            const URLSessionTaskMetrics&) {}
    // The same metrics as the one shared, immutable object they are: a delegate that keeps them overrides
    // this form and copies nothing. By default it hands them to the form above.
    virtual void didFinishCollectingSharedMetrics(const std::shared_ptr<URLSession>& session,
                                                  const std::shared_ptr<URLSessionTask>& task,
                                                  std::shared_ptr<const URLSessionTaskMetrics> metrics) {
        didFinishCollectingMetrics(session, task, *metrics);
    }
    virtual void didCompleteWithError(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
                                      const std::optional<Error>&) {}

    // Data tasks (upload tasks too).
    virtual void didReceiveResponse(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>&,
                                    const std::shared_ptr<const URLResponse>&,
                                    std::function<void(URLSessionResponseDisposition)> completionHandler) {
        completionHandler(URLSessionResponseDisposition::Allow);
    }
    virtual void didBecomeDownloadTask(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>&,
                                       const std::shared_ptr<URLSessionDownloadTask>&) {}
    virtual void didReceiveData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>&,
                                const Bytes&) {}
    // Asked before a data task completes, when its answer is about to be stored in the session's
    // cache (see URLSession.h): answer the proposal, a changed one, or nullopt to store nothing. The
    // task completes after the answer. Not asked for tasks with a completion handler.
    virtual void willCacheResponse(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>&,
                                   CachedURLResponse proposed,
                                   std::function<void(std::optional<CachedURLResponse>)> completionHandler) {
        completionHandler(std::move(proposed));
    }

    // Download tasks. The file at `location` is removed after this returns unless it was moved.
    virtual void didFinishDownloadingToURL(const std::shared_ptr<URLSession>&,
                                           const std::shared_ptr<URLSessionDownloadTask>&, const URL& location) {}
    virtual void didWriteData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDownloadTask>&,
                              int64_t bytesWritten, int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) {}
    virtual void didResumeAtOffset(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDownloadTask>&,
                                   int64_t fileOffset, int64_t expectedTotalBytes) {}

    // Stream tasks.
    virtual void readClosedForStreamTask(const std::shared_ptr<URLSession>&,
                                         const std::shared_ptr<URLSessionStreamTask>&) {}
    virtual void writeClosedForStreamTask(const std::shared_ptr<URLSession>&,
                                          const std::shared_ptr<URLSessionStreamTask>&) {}
    virtual void betterRouteDiscoveredForStreamTask(const std::shared_ptr<URLSession>&,
                                                    const std::shared_ptr<URLSessionStreamTask>&) {}
    virtual void didBecomeStreams(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionStreamTask>&,
                                  std::shared_ptr<InputStream>, std::shared_ptr<OutputStream>) {}
};

}  // namespace platform
