#include "Rivulet/Source/RequestKinds.h"

#include "Rivulet/Source/Notifications.h"

namespace rivulet {

using platform::dispatch::DispatchQueue;

Result<platform::URLRequest> adaptURLRequest(const platform::URLRequest& urlRequest,
                                             const std::shared_ptr<RequestAdapter>& adapter) {
    if (!adapter) return urlRequest;
    auto adapted = adapter->adapt(urlRequest);
    if (auto* e = adapted.error()) return AnyError(AdaptError(*e));
    return adapted;
}

// MARK: DataRequest

Result<TaskPtr> DataRequest::Requestable::task(const SessionPtr& session,
                                               const std::shared_ptr<RequestAdapter>& adapter,
                                               const DispatchQueue& queue) const {
    if (!adapter) return queue.syncResult([&] { return TaskPtr(session->dataTaskWithRequest(urlRequest)); });
    auto adapted = adaptURLRequest(urlRequest, adapter);
    if (auto* e = adapted.error()) return *e;
    return queue.syncResult([&] { return TaskPtr(session->dataTaskWithRequest(*adapted.value())); });
}

std::optional<platform::URLRequest> DataRequest::request() const {
    if (auto r = Request::request()) return r;
    if (auto recipe = std::dynamic_pointer_cast<const Requestable>(originalTask())) return recipe->urlRequest;
    return std::nullopt;
}

// After its task became a download task, a data request's body goes to a file: its progress is the
// download's, and there is no data left to stream.
std::shared_ptr<Progress> DataRequest::progress() const {
    if (auto data = delegateIf<DataTaskDelegate>()) return data->progress();
    if (auto download = delegateIf<DownloadTaskDelegate>()) return download->progress();
    return std::make_shared<Progress>();
}

std::shared_ptr<DataRequest> DataRequest::stream(std::function<void(const platform::Bytes&)> closure) {
    if (auto data = delegateIf<DataTaskDelegate>()) data->dataStream.set(std::move(closure));
    return self();
}

std::shared_ptr<DataRequest> DataRequest::downloadProgress(DispatchQueue queue, ProgressHandler closure) {
    ProgressHandlerEntry entry{std::move(closure), std::move(queue)};
    if (auto data = delegateIf<DataTaskDelegate>())
        data->progressHandler.set(std::move(entry));
    else if (auto download = delegateIf<DownloadTaskDelegate>())
        download->progressHandler.set(std::move(entry));
    return self();
}

// MARK: DownloadRequest

Result<TaskPtr> DownloadRequest::Downloadable::task(const SessionPtr& session,
                                                    const std::shared_ptr<RequestAdapter>& adapter,
                                                    const DispatchQueue& queue) const {
    if (auto r = urlRequest()) {
        auto adapted = adaptURLRequest(*r, adapter);
        if (auto* e = adapted.error()) return *e;
        return queue.syncResult([&] { return TaskPtr(session->downloadTaskWithRequest(*adapted.value())); });
    }
    const auto& data = std::get<platform::Bytes>(value);
    return queue.syncResult([&] { return TaskPtr(session->downloadTaskWithResumeData(data)); });
}

std::optional<platform::URLRequest> DownloadRequest::request() const {
    if (auto r = Request::request()) return r;
    if (auto recipe = std::dynamic_pointer_cast<const Downloadable>(originalTask()))
        if (auto r = recipe->urlRequest()) return *r;
    return std::nullopt;
}

std::optional<platform::Bytes> DownloadRequest::resumeData() const {
    return delegateAs<DownloadTaskDelegate>()->resumeData();
}
std::shared_ptr<Progress> DownloadRequest::progress() const { return delegateAs<DownloadTaskDelegate>()->progress(); }

std::shared_ptr<DownloadRequest> DownloadRequest::downloadProgress(DispatchQueue queue, ProgressHandler closure) {
    delegateAs<DownloadTaskDelegate>()->progressHandler.set(ProgressHandlerEntry{std::move(closure), std::move(queue)});
    return std::static_pointer_cast<DownloadRequest>(shared_from_this());
}

void DownloadRequest::cancel() {
    auto taskDelegate = delegateAs<DownloadTaskDelegate>();
    auto task = std::dynamic_pointer_cast<platform::URLSessionDownloadTask>(taskDelegate->task());
    if (!task) return;  // nothing to cancel: making the task failed
    rivulet::postTaskNotification(NotificationName::Task::DidCancel, this, task);  // before the completion
    std::weak_ptr<DownloadTaskDelegate> weak = taskDelegate;
    task->cancelByProducingResumeData([weak](std::optional<platform::Bytes> data) {
        if (auto d = weak.lock()) d->setResumeData(std::move(data));
    });
}

DownloadFileDestination DownloadRequest::suggestedDownloadDestination(platform::SearchPathDirectory directory,
                                                                      SearchPathDomainMask domain) {
    return [directory, domain](const platform::URL& temporaryURL, const platform::HTTPURLResponse& response) {
        // The device keeps only the user domain.
        if ((unsigned(domain) & unsigned(SearchPathDomainMask::userDomainMask)) == 0)
            return DownloadDestination{temporaryURL, {}};
        auto dir = platform::FileManager::defaultManager().directory(directory);
        if (!dir) return DownloadDestination{temporaryURL, {}};
        // The name comes from the server: keep only its last component, and never let it climb out.
        std::string name = response.suggestedFilename();
        if (auto slash = name.find_last_of("/\\"); slash != std::string::npos) name = name.substr(slash + 1);
        if (name.empty() || name == "." || name == "..") name = "Unknown";
        return DownloadDestination{platform::URL::fileURL(*dir, true).appendingPathComponent(name), {}};
    };
}

// MARK: UploadRequest

Result<TaskPtr> UploadRequest::Uploadable::task(const SessionPtr& session,
                                                const std::shared_ptr<RequestAdapter>& adapter,
                                                const DispatchQueue& queue) const {
    auto adapted = adaptURLRequest(urlRequest, adapter);
    if (auto* e = adapted.error()) return *e;
    const platform::URLRequest& r = *adapted.value();
    return queue.syncResult([&]() -> TaskPtr {
        switch (kind) {
        case Kind::data:
            return session->uploadTaskWithRequest(r, body);
        case Kind::file:
            return session->uploadTaskWithRequestFromFile(r, *fileURL);
        case Kind::stream:
            break;
        }
        // The stream is handed over when the session asks for a body stream.
        return session->uploadTaskWithStreamedRequest(r);
    });
}

std::optional<platform::URLRequest> UploadRequest::request() const {
    if (auto r = DataRequest::request()) return r;
    if (auto recipe = std::dynamic_pointer_cast<const Uploadable>(originalTask())) return recipe->urlRequest;
    return std::nullopt;
}

std::shared_ptr<Progress> UploadRequest::uploadProgress() const {
    if (auto upload = delegateIf<UploadTaskDelegate>()) return upload->uploadProgress();
    return std::make_shared<Progress>();  // the task became a download: its body was sent before
}

std::shared_ptr<UploadRequest> UploadRequest::uploadProgress(DispatchQueue queue, ProgressHandler closure) {
    if (auto upload = delegateIf<UploadTaskDelegate>())
        upload->uploadProgressHandler.set(ProgressHandlerEntry{std::move(closure), std::move(queue)});
    return std::static_pointer_cast<UploadRequest>(shared_from_this());
}

// MARK: StreamRequest

Result<TaskPtr> StreamRequest::Streamable::task(const SessionPtr& session, const std::shared_ptr<RequestAdapter>&,
                                                const DispatchQueue& queue) const {
    return queue.syncResult([&] {
        if (const auto* s = std::get_if<Stream>(&value))
            return TaskPtr(session->streamTaskWithHostName(s->hostName, s->port));
        return TaskPtr(session->streamTaskWithNetService(std::get<std::shared_ptr<platform::NetService>>(value)));
    });
}

}  // namespace rivulet
