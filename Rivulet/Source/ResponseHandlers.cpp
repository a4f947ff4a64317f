// The non-template response handlers of DataRequest (the serializing one is in RequestKinds.h).
#include "Rivulet/Source/RequestKinds.h"

namespace rivulet {

using platform::dispatch::DispatchQueue;

std::shared_ptr<DataRequest> DataRequest::response(OptionalQueue queue,
                                                   std::function<void(DefaultDataResponse)> completion) {
    auto request = self();
    delegate()->queue.addOperation([request, queue = std::move(queue), completion = std::move(completion)] {
        auto target = queue ? *queue : DispatchQueue::main();
        // This record is made on the target queue, when the block runs there.
        target.async([request, completion] {
            auto taskDelegate = request->delegate();
            DefaultDataResponse record(request->request(), request->Request::response(), taskDelegate->data(),
                                       taskDelegate->error(), request->timeline());
            record.add(taskDelegate->metrics());
            completion(std::move(record));
        });
    });
    return request;
}

std::shared_ptr<DataRequest> DataRequest::responseData(OptionalQueue queue,
                                                       std::function<void(DataResponse<platform::Bytes>)> completion) {
    return response(std::move(queue), dataResponseSerializer(), std::move(completion));
}

std::shared_ptr<DataRequest> DataRequest::responseString(OptionalQueue queue, std::optional<StringEncoding> encoding,
                                                         std::function<void(DataResponse<std::string>)> completion) {
    return response(std::move(queue), stringResponseSerializer(std::move(encoding)), std::move(completion));
}

std::shared_ptr<DataRequest> DataRequest::responseJSON(OptionalQueue queue, JSONReadingOptions options,
                                                       std::function<void(DataResponse<platform::Value>)> completion) {
    return response(std::move(queue), jsonResponseSerializer(options), std::move(completion));
}

std::shared_ptr<DataRequest>
DataRequest::responsePropertyList(OptionalQueue queue, PropertyListReadOptions options,
                                  std::function<void(DataResponse<platform::Value>)> completion) {
    return response(std::move(queue), propertyListResponseSerializer(options), std::move(completion));
}

}  // namespace rivulet
