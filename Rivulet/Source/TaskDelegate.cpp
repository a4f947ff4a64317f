#include "Rivulet/Source/TaskDelegate.h"

#include "Rivulet/Source/Timeline.h"
#include "Rivulet/Source/internal/KeptDownloadFile.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/FileManager.h"
#include "platform/urlsession/URLCredentialStorage.h"
#include "platform/urlsession/URLError.h"

namespace rivulet {

using platform::URLSessionAuthChallengeDisposition;
using platform::dispatch::OperationQueue;
using platform::dispatch::QualityOfService;

namespace {
OperationQueue makeHandlerQueue() {
    OperationQueue q;
    q.setMaxConcurrentOperationCount(1);
    q.setSuspended(true);
    q.setQualityOfService(QualityOfService::Utility);
    return q;
}
}  // namespace

// MARK: TaskDelegate

TaskDelegate::TaskDelegate(TaskPtr task) : TaskDelegate(std::move(task), makeHandlerQueue()) {}

TaskDelegate::TaskDelegate(TaskPtr task, OperationQueue queue) : queue(std::move(queue)), task_(std::move(task)) {}

TaskPtr TaskDelegate::task() const {
    platform::dispatch::MutexLock lock(taskLock_);
    return task_;
}

void TaskDelegate::setTask(TaskPtr task) {
    platform::dispatch::MutexLock lock(taskLock_);
    task_ = std::move(task);
    reset();
}

std::optional<AnyError> TaskDelegate::error() const {
    platform::dispatch::MutexLock lock(stateMutex_);
    return error_;
}
void TaskDelegate::setError(std::optional<AnyError> error) {
    platform::dispatch::MutexLock lock(stateMutex_);
    error_ = std::move(error);
}
std::optional<double> TaskDelegate::initialResponseTime() const {
    platform::dispatch::MutexLock lock(stateMutex_);
    return initialResponseTime_;
}
std::optional<platform::URLCredential> TaskDelegate::credential() const {
    platform::dispatch::MutexLock lock(stateMutex_);
    return credential_;
}
void TaskDelegate::setCredential(std::optional<platform::URLCredential> credential) {
    platform::dispatch::MutexLock lock(stateMutex_);
    credential_ = std::move(credential);
}
TaskMetricsPtr TaskDelegate::metrics() const {
    platform::dispatch::MutexLock lock(stateMutex_);
    return metrics_;
}
void TaskDelegate::setMetrics(TaskMetricsPtr metrics) {
    platform::dispatch::MutexLock lock(stateMutex_);
    metrics_ = std::move(metrics);
}

void TaskDelegate::reset() {
    platform::dispatch::MutexLock lock(stateMutex_);
    error_.reset();
    initialResponseTime_.reset();
}

void TaskDelegate::markInitialResponse() {
    platform::dispatch::MutexLock lock(stateMutex_);
    if (!initialResponseTime_) initialResponseTime_ = absoluteTimeGetCurrent();
}

void TaskDelegate::willPerformHTTPRedirection(const SessionPtr& session, const TaskPtr& task,
                                              const std::shared_ptr<const platform::HTTPURLResponse>& response,
                                              platform::URLRequest request,
                                              std::function<void(std::optional<platform::URLRequest>)> completion) {
    if (auto override = taskWillPerformHTTPRedirection.get())
        return completion(override(session, task, response, request));
    completion(std::move(request));
}

void TaskDelegate::didReceiveChallenge(const SessionPtr& session, const TaskPtr& task,
                                       const platform::URLAuthenticationChallenge& challenge,
                                       platform::ChallengeCompletion completion) {
    ChallengeAnswer answer{URLSessionAuthChallengeDisposition::PerformDefaultHandling, std::nullopt};
    const auto& space = challenge.protectionSpace;
    if (auto override = taskDidReceiveChallenge.get()) {
        answer = override(session, task, challenge);
    } else if (space.authenticationMethod() == platform::kURLAuthenticationMethodServerTrust) {
        answer = answerServerTrustChallenge(session.get(), challenge);
    } else if (challenge.previousFailureCount > 0) {
        answer = {URLSessionAuthChallengeDisposition::RejectProtectionSpace, std::nullopt};
    } else {
        auto found = credential();
        if (!found && session && session->configuration().URLCredentialStorage)
            found = session->configuration().URLCredentialStorage->defaultCredentialForProtectionSpace(space);
        if (found) answer = {URLSessionAuthChallengeDisposition::UseCredential, std::move(found)};
    }
    completion(answer.first, std::move(answer.second));
}

void TaskDelegate::needNewBodyStream(const SessionPtr& session, const TaskPtr& task,
                                     std::function<void(std::shared_ptr<platform::InputStream>)> completion) {
    auto provider = taskNeedNewBodyStream.get();
    completion(provider ? provider(session, task) : nullptr);
}

void TaskDelegate::didCompleteWithError(const SessionPtr& session, const TaskPtr& task,
                                        const std::optional<AnyError>& error) {
    if (auto override = taskDidCompleteWithError.get()) return override(session, task, error);
    if (error) {
        platform::dispatch::MutexLock lock(stateMutex_);
        if (!error_) error_ = error;  // an earlier error (set by the request) wins
    }
    queue.setSuspended(false);
}

// MARK: DataTaskDelegate

DataTaskDelegate::DataTaskDelegate(TaskPtr task)
    : TaskDelegate(std::move(task)), progress_(std::make_shared<Progress>(0)) {}

std::shared_ptr<Progress> DataTaskDelegate::progress() const {
    platform::dispatch::MutexLock lock(stateMutex_);
    return progress_;
}
int64_t DataTaskDelegate::totalBytesReceived() const {
    platform::dispatch::MutexLock lock(stateMutex_);
    return totalBytesReceived_;
}
std::optional<int64_t> DataTaskDelegate::expectedContentLength() const {
    platform::dispatch::MutexLock lock(stateMutex_);
    return expectedContentLength_;
}
std::optional<platform::Bytes> DataTaskDelegate::data() const {
    if (dataStream) return std::nullopt;
    platform::dispatch::MutexLock lock(stateMutex_);
    return mutableData_;
}

void DataTaskDelegate::reset() {
    TaskDelegate::reset();
    platform::dispatch::MutexLock lock(stateMutex_);
    progress_ = std::make_shared<Progress>(0);
    totalBytesReceived_ = 0;
    mutableData_.clear();
    expectedContentLength_.reset();
}

void DataTaskDelegate::didReceiveResponse(const SessionPtr& session, const DataTaskPtr& task,
                                          const std::shared_ptr<const platform::URLResponse>& response,
                                          std::function<void(platform::URLSessionResponseDisposition)> completion) {
    {
        platform::dispatch::MutexLock lock(stateMutex_);
        expectedContentLength_ = response ? response->expectedContentLength() : platform::kURLResponseUnknownLength;
    }
    auto override = dataTaskDidReceiveResponse.get();
    completion(override ? override(session, task, response) : platform::URLSessionResponseDisposition::Allow);
}

void DataTaskDelegate::didBecomeDownloadTask(const SessionPtr& session, const DataTaskPtr& task,
                                             const DownloadTaskPtr& downloadTask) {
    if (auto override = dataTaskDidBecomeDownloadTask.get()) override(session, task, downloadTask);
}

void DataTaskDelegate::didReceiveData(const SessionPtr& session, const DataTaskPtr& task, const platform::Bytes& data) {
    markInitialResponse();
    if (auto override = dataTaskDidReceiveData.get()) return override(session, task, data);
    auto stream = dataStream.get();
    if (stream) stream(data);
    {
        platform::dispatch::MutexLock lock(stateMutex_);
        if (!stream) mutableData_.insert(mutableData_.end(), data.begin(), data.end());
        totalBytesReceived_ += int64_t(data.size());
        auto response = task ? task->response() : nullptr;
        progress_->setTotalUnitCount(response ? response->expectedContentLength()
                                              : platform::kURLSessionTransferSizeUnknown);
        progress_->setCompletedUnitCount(totalBytesReceived_);
    }
    notifyProgress(progressHandler.get(), &DataTaskDelegate::progress);
}

void DataTaskDelegate::willCacheResponse(const SessionPtr& session, const DataTaskPtr& task,
                                         platform::CachedURLResponse proposed,
                                         std::function<void(std::optional<platform::CachedURLResponse>)> completion) {
    if (auto override = dataTaskWillCacheResponse.get()) return completion(override(session, task, proposed));
    completion(std::move(proposed));
}

// MARK: DownloadTaskDelegate

DownloadTaskDelegate::DownloadTaskDelegate(TaskPtr task)
    : TaskDelegate(std::move(task)), progress_(std::make_shared<Progress>(0)) {}

DownloadTaskDelegate::DownloadTaskDelegate(TaskPtr task, OperationQueue queue)
    : TaskDelegate(std::move(task), std::move(queue)), progress_(std::make_shared<Progress>(0)) {}

std::shared_ptr<Progress> DownloadTaskDelegate::progress() const {
    platform::dispatch::MutexLock lock(stateMutex_);
    return progress_;
}
std::optional<platform::Bytes> DownloadTaskDelegate::resumeData() const {
    platform::dispatch::MutexLock lock(stateMutex_);
    return resumeData_;
}
void DownloadTaskDelegate::setResumeData(std::optional<platform::Bytes> data) {
    platform::dispatch::MutexLock lock(stateMutex_);
    resumeData_ = std::move(data);
}
std::optional<platform::URL> DownloadTaskDelegate::temporaryURL() const {
    platform::dispatch::MutexLock lock(stateMutex_);
    return temporaryURL_;
}
std::optional<platform::URL> DownloadTaskDelegate::destinationURL() const {
    platform::dispatch::MutexLock lock(stateMutex_);
    return destinationURL_;
}
std::optional<platform::URL> DownloadTaskDelegate::fileURL() const {
    bool hasDestination = static_cast<bool>(destination);
    platform::dispatch::MutexLock lock(stateMutex_);
    return hasDestination ? destinationURL_ : temporaryURL_;
}

void DownloadTaskDelegate::reset() {
    TaskDelegate::reset();
    platform::dispatch::MutexLock lock(stateMutex_);
    progress_ = std::make_shared<Progress>(0);
    resumeData_.reset();
    keptFile_.reset();
}

void DownloadTaskDelegate::didFinishDownloadingToURL(const SessionPtr&, const DownloadTaskPtr& task,
                                                     const platform::URL& location) {
    {
        platform::dispatch::MutexLock lock(stateMutex_);
        temporaryURL_ = location;
    }
    auto dest = destination.get();
    auto response = std::dynamic_pointer_cast<const platform::HTTPURLResponse>(task ? task->response() : nullptr);
    if (!dest || !response) {
        // The session removes `location` when this returns; response handlers read the file later.
        if (auto kept = KeptDownloadFile::take(location)) {
            platform::dispatch::MutexLock lock(stateMutex_);
            keptFile_ = kept;
            temporaryURL_ = kept->url();
        }
        return;
    }
    DownloadDestination target = dest(location, *response);
    {
        platform::dispatch::MutexLock lock(stateMutex_);
        destinationURL_ = target.destinationURL;
    }
    auto& fm = platform::FileManager::defaultManager();
    const std::string to = target.destinationURL.path();
    auto fail = [&](const platform::Error& e) { setError(AnyError(e)); };
    if (target.options.contains(DownloadOptions::removePreviousFile) && fm.fileExists(to)) {
        if (auto r = fm.removeItem(to); !r) return fail(r.error());
    }
    if (target.options.contains(DownloadOptions::createIntermediateDirectories)) {
        if (auto r = fm.createDirectory(target.destinationURL.deletingLastPathComponent().path(), true); !r)
            return fail(r.error());
    }
    if (auto r = fm.moveItem(location.path(), to); !r) return fail(r.error());
}

void DownloadTaskDelegate::didWriteData(const SessionPtr& session, const DownloadTaskPtr& task, int64_t bytesWritten,
                                        int64_t totalBytesWritten, int64_t totalBytesExpectedToWrite) {
    markInitialResponse();
    if (auto override = downloadTaskDidWriteData.get())
        return override(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
    auto p = progress();
    p->setTotalUnitCount(totalBytesExpectedToWrite);
    p->setCompletedUnitCount(totalBytesWritten);
    notifyProgress(progressHandler.get(), &DownloadTaskDelegate::progress);
}

void DownloadTaskDelegate::didResumeAtOffset(const SessionPtr& session, const DownloadTaskPtr& task, int64_t fileOffset,
                                             int64_t expectedTotalBytes) {
    if (auto override = downloadTaskDidResumeAtOffset.get())
        return override(session, task, fileOffset, expectedTotalBytes);
    auto p = progress();
    p->setTotalUnitCount(expectedTotalBytes);
    p->setCompletedUnitCount(fileOffset);
}

void DownloadTaskDelegate::didCompleteWithError(const SessionPtr& session, const TaskPtr& task,
                                                const std::optional<AnyError>& error) {
    if (!taskDidCompleteWithError && error) {
        if (auto platformError = error->platformError()) {
            if (auto v = platformError->userInfo.find(platform::kURLSessionDownloadTaskResumeData))
                if (auto bytes = v->asData()) setResumeData(*bytes);
        }
    }
    TaskDelegate::didCompleteWithError(session, task, error);
}

// MARK: UploadTaskDelegate

UploadTaskDelegate::UploadTaskDelegate(TaskPtr task)
    : DataTaskDelegate(std::move(task)), uploadProgress_(std::make_shared<Progress>(0)) {}

std::shared_ptr<Progress> UploadTaskDelegate::uploadProgress() const {
    platform::dispatch::MutexLock lock(stateMutex_);
    return uploadProgress_;
}

void UploadTaskDelegate::reset() {
    DataTaskDelegate::reset();
    platform::dispatch::MutexLock lock(stateMutex_);
    uploadProgress_ = std::make_shared<Progress>(0);
}

void UploadTaskDelegate::didSendBodyData(const SessionPtr& session, const TaskPtr& task, int64_t bytesSent,
                                         int64_t totalBytesSent, int64_t totalBytesExpectedToSend) {
    markInitialResponse();
    if (auto override = taskDidSendBodyData.get())
        return override(session, task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
    auto p = uploadProgress();
    p->setTotalUnitCount(totalBytesExpectedToSend);
    p->setCompletedUnitCount(totalBytesSent);
    notifyProgress(uploadProgressHandler.get(), &UploadTaskDelegate::uploadProgress);
}

}  // namespace rivulet
