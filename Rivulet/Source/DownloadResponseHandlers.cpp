// DownloadRequest's default handler, its typed handlers and the built-in download serializers.
#include "Rivulet/Source/DownloadResponseHandlers.h"

#include "Rivulet/Source/RVError.h"
#include "platform/foundation/FileManager.h"

namespace rivulet {

using platform::Bytes;
using platform::dispatch::DispatchQueue;
using Reason = RVError::ResponseSerializationFailureReason;

Result<Bytes> readDownloadedFile(const OptionalFileURL& fileURL, const OptionalError& error) {
    if (error) return *error;
    if (!fileURL) return AnyError(RVError::responseSerializationFailed(Reason::inputFileNil()));
    auto bytes =
        platform::FileManager::defaultManager().contentsOfFile(fileURL->path(), kDownloadSerializationMaxBytes);
    if (!bytes) return AnyError(RVError::responseSerializationFailed(Reason::inputFileReadFailed(*fileURL)));
    return std::move(*bytes);
}

std::shared_ptr<DownloadRequest> DownloadRequest::response(OptionalQueue queue,
                                                           std::function<void(DefaultDownloadResponse)> completion) {
    auto request = std::static_pointer_cast<DownloadRequest>(shared_from_this());
    delegate()->queue.addOperation([request, queue = std::move(queue), completion = std::move(completion)] {
        auto target = queue ? *queue : DispatchQueue::main();
        // The record reflects the delegate as it stands when the block runs on the target queue.
        target.async([request, completion] {
            auto taskDelegate = request->delegateAs<DownloadTaskDelegate>();
            DefaultDownloadResponse record(request->request(), request->Request::response(),
                                           taskDelegate->temporaryURL(), taskDelegate->destinationURL(),
                                           taskDelegate->resumeData(), taskDelegate->error(), request->timeline());
            record.add(taskDelegate->metrics());
            completion(std::move(record));
        });
    });
    return request;
}

DownloadResponseSerializer<Bytes> DownloadRequest::dataResponseSerializer() {
    return DownloadResponseSerializer<Bytes>([](const OptionalRequest&, const HTTPResponse& response,
                                                const OptionalFileURL& fileURL, const OptionalError& error) {
        auto bytes = readDownloadedFile(fileURL, error);
        if (bytes.isFailure()) return bytes;
        if (response && emptyDataStatusCodes().count(response->statusCode())) return Result<Bytes>(Bytes{});
        return bytes;
    });
}

DownloadResponseSerializer<std::string>
DownloadRequest::stringResponseSerializer(std::optional<StringEncoding> encoding) {
    return DownloadResponseSerializer<std::string>([encoding](const OptionalRequest&, const HTTPResponse& response,
                                                              const OptionalFileURL& fileURL,
                                                              const OptionalError& error) -> Result<std::string> {
        auto bytes = readDownloadedFile(fileURL, error);
        if (auto* e = bytes.error()) return *e;
        return serializeResponseString(encoding, response, *bytes.value(), std::nullopt);
    });
}

DownloadResponseSerializer<platform::Value> DownloadRequest::jsonResponseSerializer(JSONReadingOptions options) {
    return DownloadResponseSerializer<platform::Value>(
        [options](const OptionalRequest&, const HTTPResponse& response, const OptionalFileURL& fileURL,
                  const OptionalError& error) -> Result<platform::Value> {
            auto bytes = readDownloadedFile(fileURL, error);
            if (auto* e = bytes.error()) return *e;
            return serializeResponseJSON(options, response, *bytes.value(), std::nullopt);
        });
}

DownloadResponseSerializer<platform::Value>
DownloadRequest::propertyListResponseSerializer(PropertyListReadOptions options) {
    return DownloadResponseSerializer<platform::Value>(
        [options](const OptionalRequest&, const HTTPResponse& response, const OptionalFileURL& fileURL,
                  const OptionalError& error) -> Result<platform::Value> {
            auto bytes = readDownloadedFile(fileURL, error);
            if (auto* e = bytes.error()) return *e;
            return serializeResponsePropertyList(options, response, *bytes.value(), std::nullopt);
        });
}

std::shared_ptr<DownloadRequest>
DownloadRequest::responseData(OptionalQueue queue, std::function<void(DownloadResponse<Bytes>)> completion) {
    return response(std::move(queue), dataResponseSerializer(), std::move(completion));
}

std::shared_ptr<DownloadRequest>
DownloadRequest::responseString(OptionalQueue queue, std::optional<StringEncoding> encoding,
                                std::function<void(DownloadResponse<std::string>)> completion) {
    return response(std::move(queue), stringResponseSerializer(std::move(encoding)), std::move(completion));
}

std::shared_ptr<DownloadRequest>
DownloadRequest::responseJSON(OptionalQueue queue, JSONReadingOptions options,
                              std::function<void(DownloadResponse<platform::Value>)> completion) {
    return response(std::move(queue), jsonResponseSerializer(options), std::move(completion));
}

std::shared_ptr<DownloadRequest>
DownloadRequest::responsePropertyList(OptionalQueue queue, PropertyListReadOptions options,
                                      std::function<void(DownloadResponse<platform::Value>)> completion) {
    return response(std::move(queue), propertyListResponseSerializer(options), std::move(completion));
}

}  // namespace rivulet
