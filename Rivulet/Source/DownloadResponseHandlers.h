#pragma once
// The serializing response handler of DownloadRequest (declared with the class in RequestKinds.h).
// It waits on the task delegate's handler queue like every handler, reads the downloaded file there
// through the serializer, and hands the record to the completion on the given queue (main when none).
#include "Rivulet/Source/RequestKinds.h"

namespace rivulet {

template <class T, class F>
std::shared_ptr<DownloadRequest> DownloadRequest::response(OptionalQueue queue,
                                                           DownloadResponseSerializer<T> serializer, F&& completion) {
    auto request = std::static_pointer_cast<DownloadRequest>(shared_from_this());
    // The handler keeps its own copy: later changes to the caller's serializer do not reach it.
    auto cell = std::make_shared<const DownloadResponseSerializer<T>>(std::move(serializer));
    std::function<void(DownloadResponse<T>)> done = std::forward<F>(completion);
    delegate()->queue.addOperation([request, queue = std::move(queue), cell, done = std::move(done)] {
        auto taskDelegate = request->delegateAs<DownloadTaskDelegate>();
        auto urlRequest = request->request();
        auto httpResponse = request->Request::response();
        auto fileURL = taskDelegate->fileURL();
        auto error = taskDelegate->error();
        Result<T> result = cell->serializeResponse(urlRequest, httpResponse, fileURL, error);
        auto record = std::make_shared<DownloadResponse<T>>(
            std::move(urlRequest), std::move(httpResponse), taskDelegate->temporaryURL(),
            taskDelegate->destinationURL(), taskDelegate->resumeData(), std::move(result), request->timeline());
        record->add(taskDelegate->metrics());
        auto target = queue ? *queue : platform::dispatch::DispatchQueue::main();
        target.async([record, done] { done(std::move(*record)); });  // the one reader of the record
    });
    return request;
}

}  // namespace rivulet
