#pragma once
// Task delegates: the per-request objects that collect what the URL session reports for one task
// (data, progress, errors, timing, files) and hold the queue on which response handlers wait.
//
//   TaskDelegate          stream requests, and the base
//   DataTaskDelegate      data requests
//   DownloadTaskDelegate  download requests
//   UploadTaskDelegate    upload requests (a data delegate that also reports upload progress)
//
// Threads. Session callbacks arrive on the session's delegate queue (routed by the SessionDelegate).
// Fields are also set by callers (credential, stream, progress handlers) and read by response handlers
// on `queue`, so every field is guarded; no lock is held while a closure runs. `taskLock` guards the
// task and the reset a new task brings; the field lock is only ever taken after it, never before.
//
// The handler queue runs one operation at a time, in the order added, and nothing until the task has
// completed: it is made suspended and released exactly once, by didCompleteWithError (unless an
// override closure takes over completion). A retry does not release it.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "Rivulet/Source/AnyError.h"
#include "Rivulet/Source/Guarded.h"
#include "Rivulet/Source/Progress.h"
#include "Rivulet/Source/Response.h"
#include "Rivulet/Source/SessionTrust.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Stream.h"
#include "platform/urlsession/URLSession.h"
#include "platform/urlsession/URLSessionDelegate.h"

namespace rivulet {

class KeptDownloadFile;

using SessionPtr = std::shared_ptr<platform::URLSession>;
using TaskPtr = std::shared_ptr<platform::URLSessionTask>;
using DataTaskPtr = std::shared_ptr<platform::URLSessionDataTask>;
using DownloadTaskPtr = std::shared_ptr<platform::URLSessionDownloadTask>;

// Called with the current progress object on the queue given with it.
using ProgressHandler = std::function<void(const Progress&)>;
struct ProgressHandlerEntry {
    ProgressHandler closure;
    platform::dispatch::DispatchQueue queue;
};

// How a finished download is moved into place.
struct DownloadOptions {
    static constexpr uint64_t createIntermediateDirectories = 1;
    static constexpr uint64_t removePreviousFile = 2;
    uint64_t rawValue = 0;
    bool contains(uint64_t flag) const { return (rawValue & flag) != 0; }
    bool operator==(const DownloadOptions&) const = default;
};
struct DownloadDestination {
    platform::URL destinationURL;
    DownloadOptions options;
};
// (temporary file URL, response) -> where the file goes; called on the session's delegate queue.
using DownloadFileDestination =
    std::function<DownloadDestination(const platform::URL& temporaryURL, const platform::HTTPURLResponse& response)>;

class TaskDelegate : public std::enable_shared_from_this<TaskDelegate> {
public:
    // `queue`: the handler queue to keep (a data delegate replaced by a download delegate hands its
    // waiting handlers on); a new suspended one when absent.
    explicit TaskDelegate(TaskPtr task);
    TaskDelegate(TaskPtr task, platform::dispatch::OperationQueue queue);
    virtual ~TaskDelegate() = default;
    TaskDelegate(const TaskDelegate&) = delete;
    TaskDelegate& operator=(const TaskDelegate&) = delete;

    // Serial, utility quality of service, suspended until the task completes.
    platform::dispatch::OperationQueue queue;

    TaskPtr task() const;
    // Gives the delegate a new task (a retry) and resets the per-task state.
    void setTask(TaskPtr task);

    std::optional<AnyError> error() const;
    void setError(std::optional<AnyError> error);
    std::optional<double> initialResponseTime() const;
    std::optional<platform::URLCredential> credential() const;
    void setCredential(std::optional<platform::URLCredential> credential);
    TaskMetricsPtr metrics() const;
    void setMetrics(TaskMetricsPtr metrics);

    // What the response handlers get as the body: nothing here; see the subclasses.
    virtual std::optional<platform::Bytes> data() const { return std::nullopt; }

    // Overrides: when set, they replace the built-in behaviour of the callback.
    Guarded<std::function<std::optional<platform::URLRequest>(const SessionPtr&, const TaskPtr&,
                                                              const std::shared_ptr<const platform::HTTPURLResponse>&,
                                                              const platform::URLRequest&)>>
        taskWillPerformHTTPRedirection;
    Guarded<
        std::function<ChallengeAnswer(const SessionPtr&, const TaskPtr&, const platform::URLAuthenticationChallenge&)>>
        taskDidReceiveChallenge;
    Guarded<std::function<std::shared_ptr<platform::InputStream>(const SessionPtr&, const TaskPtr&)>>
        taskNeedNewBodyStream;
    Guarded<std::function<void(const SessionPtr&, const TaskPtr&, const std::optional<AnyError>&)>>
        taskDidCompleteWithError;

    // Session callbacks (delegate queue).
    void willPerformHTTPRedirection(const SessionPtr& session, const TaskPtr& task,
                                    const std::shared_ptr<const platform::HTTPURLResponse>& response,
                                    platform::URLRequest request,
                                    std::function<void(std::optional<platform::URLRequest>)> completion);
    void didReceiveChallenge(const SessionPtr& session, const TaskPtr& task,
                             const platform::URLAuthenticationChallenge& challenge,
                             platform::ChallengeCompletion completion);
    void needNewBodyStream(const SessionPtr& session, const TaskPtr& task,
                           std::function<void(std::shared_ptr<platform::InputStream>)> completion);
    virtual void didCompleteWithError(const SessionPtr& session, const TaskPtr& task,
                                      const std::optional<AnyError>& error);

protected:
    // Clears the per-task state; runs under taskLock when a new task is set.
    virtual void reset();
    void markInitialResponse();
    // Queues the handler's call; the block reads the progress (`current` of this delegate) when it runs, so
    // a block still waiting after a retry's reset reports the new progress, not the one it replaced.
    template <class D>
    void notifyProgress(const std::optional<ProgressHandlerEntry>& handler,
                        std::shared_ptr<Progress> (D::*current)() const) {
        if (!handler || !handler->closure) return;
        auto self = std::static_pointer_cast<const D>(shared_from_this());
        handler->queue.async([closure = handler->closure, self, current] { closure(*((*self).*current)()); });
    }

    mutable platform::dispatch::Mutex stateMutex_;  // guards the fields below and those of the subclasses

private:
    std::optional<AnyError> error_ GUARDED_BY(stateMutex_);
    std::optional<double> initialResponseTime_ GUARDED_BY(stateMutex_);
    std::optional<platform::URLCredential> credential_ GUARDED_BY(stateMutex_);
    TaskMetricsPtr metrics_ GUARDED_BY(stateMutex_);

    mutable platform::dispatch::Mutex taskLock_;
    TaskPtr task_ GUARDED_BY(taskLock_);
};

class DataTaskDelegate : public TaskDelegate {
public:
    explicit DataTaskDelegate(TaskPtr task);

    std::shared_ptr<Progress> progress() const;
    Guarded<std::optional<ProgressHandlerEntry>> progressHandler;
    // When set, received bytes go to it (on the delegate queue) and are not kept.
    Guarded<std::function<void(const platform::Bytes&)>> dataStream;

    int64_t totalBytesReceived() const;
    std::optional<int64_t> expectedContentLength() const;
    // The received body; nothing while a stream closure is set.
    std::optional<platform::Bytes> data() const override;

    Guarded<std::function<platform::URLSessionResponseDisposition(const SessionPtr&, const DataTaskPtr&,
                                                                  const std::shared_ptr<const platform::URLResponse>&)>>
        dataTaskDidReceiveResponse;
    Guarded<std::function<void(const SessionPtr&, const DataTaskPtr&, const DownloadTaskPtr&)>>
        dataTaskDidBecomeDownloadTask;
    Guarded<std::function<void(const SessionPtr&, const DataTaskPtr&, const platform::Bytes&)>> dataTaskDidReceiveData;
    Guarded<std::function<std::optional<platform::CachedURLResponse>(const SessionPtr&, const DataTaskPtr&,
                                                                     const platform::CachedURLResponse&)>>
        dataTaskWillCacheResponse;

    void didReceiveResponse(const SessionPtr& session, const DataTaskPtr& task,
                            const std::shared_ptr<const platform::URLResponse>& response,
                            std::function<void(platform::URLSessionResponseDisposition)> completion);
    void didBecomeDownloadTask(const SessionPtr& session, const DataTaskPtr& task, const DownloadTaskPtr& downloadTask);
    void didReceiveData(const SessionPtr& session, const DataTaskPtr& task, const platform::Bytes& data);
    void willCacheResponse(const SessionPtr& session, const DataTaskPtr& task, platform::CachedURLResponse proposed,
                           std::function<void(std::optional<platform::CachedURLResponse>)> completion);

protected:
    void reset() override;

private:
    std::shared_ptr<Progress> progress_ GUARDED_BY(stateMutex_);
    int64_t totalBytesReceived_ GUARDED_BY(stateMutex_) = 0;
    platform::Bytes mutableData_ GUARDED_BY(stateMutex_);
    std::optional<int64_t> expectedContentLength_ GUARDED_BY(stateMutex_);
};

class DownloadTaskDelegate : public TaskDelegate {
public:
    explicit DownloadTaskDelegate(TaskPtr task);
    DownloadTaskDelegate(TaskPtr task, platform::dispatch::OperationQueue queue);

    std::shared_ptr<Progress> progress() const;
    Guarded<std::optional<ProgressHandlerEntry>> progressHandler;
    Guarded<DownloadFileDestination> destination;

    std::optional<platform::Bytes> resumeData() const;
    void setResumeData(std::optional<platform::Bytes> data);
    std::optional<platform::URL> temporaryURL() const;
    std::optional<platform::URL> destinationURL() const;
    // The destination when a destination closure is set, else the temporary file.
    std::optional<platform::URL> fileURL() const;
    std::optional<platform::Bytes> data() const override { return resumeData(); }

    Guarded<std::function<void(const SessionPtr&, const DownloadTaskPtr&, const platform::URL&)>>
        downloadTaskDidFinishDownloadingToURL;
    Guarded<std::function<void(const SessionPtr&, const DownloadTaskPtr&, int64_t, int64_t, int64_t)>>
        downloadTaskDidWriteData;
    Guarded<std::function<void(const SessionPtr&, const DownloadTaskPtr&, int64_t, int64_t)>>
        downloadTaskDidResumeAtOffset;

    void didFinishDownloadingToURL(const SessionPtr& session, const DownloadTaskPtr& task,
                                   const platform::URL& location);
    void didWriteData(const SessionPtr& session, const DownloadTaskPtr& task, int64_t bytesWritten,
                      int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite);
    void didResumeAtOffset(const SessionPtr& session, const DownloadTaskPtr& task, int64_t fileOffset,
                           int64_t expectedTotalBytes);
    void didCompleteWithError(const SessionPtr& session, const TaskPtr& task,
                              const std::optional<AnyError>& error) override;

protected:
    void reset() override;

private:
    std::shared_ptr<Progress> progress_ GUARDED_BY(stateMutex_);
    std::optional<platform::Bytes> resumeData_ GUARDED_BY(stateMutex_);
    std::optional<platform::URL> temporaryURL_ GUARDED_BY(stateMutex_);
    std::optional<platform::URL> destinationURL_ GUARDED_BY(stateMutex_);
    // Without a destination the file is kept here (temporaryURL_) until the delegate goes.
    std::shared_ptr<KeptDownloadFile> keptFile_ GUARDED_BY(stateMutex_);
};

class UploadTaskDelegate : public DataTaskDelegate {
public:
    explicit UploadTaskDelegate(TaskPtr task);

    std::shared_ptr<Progress> uploadProgress() const;
    Guarded<std::optional<ProgressHandlerEntry>> uploadProgressHandler;
    Guarded<std::function<void(const SessionPtr&, const TaskPtr&, int64_t, int64_t, int64_t)>> taskDidSendBodyData;

    void didSendBodyData(const SessionPtr& session, const TaskPtr& task, int64_t bytesSent, int64_t totalBytesSent,
                         int64_t totalBytesExpectedToSend);

protected:
    void reset() override;

private:
    std::shared_ptr<Progress> uploadProgress_ GUARDED_BY(stateMutex_);
};

}  // namespace rivulet
