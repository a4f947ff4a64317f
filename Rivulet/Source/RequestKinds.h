#pragma once
// The four kinds of request, each with the recipe (TaskConvertible) that makes its task:
//   DataRequest     Requestable  - a data task for a URL request
//   DownloadRequest Downloadable - a download task for a URL request, or from resume data
//   UploadRequest   Uploadable   - an upload task from bytes, a file or a stream (a kind of DataRequest)
//   StreamRequest   Streamable   - a TCP stream task to host:port
// A request whose task was never made still answers request() from its recipe.
//
// Response handlers (DataRequest::response...) queue one operation each on the task delegate's handler
// queue; it runs after the task completed (at once when it already has), serializes there, and hands
// the record to the completion on the given dispatch queue, the main queue when none is given. Handlers
// of one request run one at a time in the order they were added. Every setter and handler returns the
// request itself, so calls chain.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "Rivulet/Source/DownloadResponseSerializer.h"
#include "Rivulet/Source/Request.h"
#include "Rivulet/Source/ResponseSerializer.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Stream.h"

namespace rivulet {

using OptionalQueue = std::optional<platform::dispatch::DispatchQueue>;

// Adapts `urlRequest` through `adapter` (when there is one); a failure is an AdaptError.
Result<platform::URLRequest> adaptURLRequest(const platform::URLRequest& urlRequest,
                                             const std::shared_ptr<RequestAdapter>& adapter);

class DataRequest : public Request {
public:
    struct Requestable final : TaskConvertible {
        explicit Requestable(platform::URLRequest r) : urlRequest(std::move(r)) {}
        platform::URLRequest urlRequest;
        Result<TaskPtr> task(const SessionPtr& session, const std::shared_ptr<RequestAdapter>& adapter,
                             const platform::dispatch::DispatchQueue& queue) const override;
    };

    std::optional<platform::URLRequest> request() const override;
    // Bytes of the response body; read again after a retry (a retry brings a new one).
    std::shared_ptr<Progress> progress() const;
    // Received bytes go to `closure` (on the session's delegate queue) instead of being kept; an
    // empty closure clears it.
    std::shared_ptr<DataRequest> stream(std::function<void(const platform::Bytes&)> closure);
    std::shared_ptr<DataRequest> downloadProgress(platform::dispatch::DispatchQueue queue, ProgressHandler closure);
    std::shared_ptr<DataRequest> downloadProgress(ProgressHandler closure) {
        return downloadProgress(platform::dispatch::DispatchQueue::main(), std::move(closure));
    }

    // Response handlers.
    std::shared_ptr<DataRequest> response(OptionalQueue queue, std::function<void(DefaultDataResponse)> completion);
    std::shared_ptr<DataRequest> response(std::function<void(DefaultDataResponse)> completion) {
        return response(std::nullopt, std::move(completion));
    }
    template <class T, class F>
    std::shared_ptr<DataRequest> response(OptionalQueue queue, DataResponseSerializer<T> serializer, F&& completion);

    std::shared_ptr<DataRequest> responseData(OptionalQueue queue,
                                              std::function<void(DataResponse<platform::Bytes>)> completion);
    std::shared_ptr<DataRequest> responseString(OptionalQueue queue, std::optional<StringEncoding> encoding,
                                                std::function<void(DataResponse<std::string>)> completion);
    std::shared_ptr<DataRequest> responseJSON(OptionalQueue queue, JSONReadingOptions options,
                                              std::function<void(DataResponse<platform::Value>)> completion);
    std::shared_ptr<DataRequest> responsePropertyList(OptionalQueue queue, PropertyListReadOptions options,
                                                      std::function<void(DataResponse<platform::Value>)> completion);
    // Main queue, the default options.
    std::shared_ptr<DataRequest> responseData(std::function<void(DataResponse<platform::Bytes>)> completion) {
        return responseData(std::nullopt, std::move(completion));
    }
    std::shared_ptr<DataRequest> responseString(std::function<void(DataResponse<std::string>)> completion) {
        return responseString(std::nullopt, std::nullopt, std::move(completion));
    }
    std::shared_ptr<DataRequest> responseJSON(std::function<void(DataResponse<platform::Value>)> completion) {
        return responseJSON(std::nullopt, JSONReadingOptions{JSONReadingOptions::allowFragments},
                            std::move(completion));
    }
    std::shared_ptr<DataRequest> responsePropertyList(std::function<void(DataResponse<platform::Value>)> completion) {
        return responsePropertyList(std::nullopt, 0, std::move(completion));
    }

protected:
    friend class Request;
    using Request::Request;
    std::shared_ptr<DataRequest> self() { return std::static_pointer_cast<DataRequest>(shared_from_this()); }
};

template <class T, class F>
std::shared_ptr<DataRequest> DataRequest::response(OptionalQueue queue, DataResponseSerializer<T> serializer,
                                                   F&& completion) {
    auto request = self();
    // The handler keeps its own copy: later changes to the caller's serializer do not reach it.
    auto cell = std::make_shared<const DataResponseSerializer<T>>(std::move(serializer));
    std::function<void(DataResponse<T>)> done = std::forward<F>(completion);
    delegate()->queue.addOperation([request, queue = std::move(queue), cell, done = std::move(done)] {
        auto taskDelegate = request->delegate();
        auto urlRequest = request->request();
        auto httpResponse = request->Request::response();
        auto data = taskDelegate->data();
        auto error = taskDelegate->error();
        Result<T> result = cell->serializeResponse(urlRequest, httpResponse, data, error);
        auto record = std::make_shared<DataResponse<T>>(std::move(urlRequest), std::move(httpResponse), std::move(data),
                                                        std::move(result), request->timeline());
        record->add(taskDelegate->metrics());
        auto target = queue ? *queue : platform::dispatch::DispatchQueue::main();
        target.async([record, done] { done(std::move(*record)); });  // the one reader of the record
    });
    return request;
}

class DownloadRequest : public Request {
public:
    struct Downloadable final : TaskConvertible {
        static Downloadable request(platform::URLRequest r) { return Downloadable(std::move(r)); }
        static Downloadable resumeData(platform::Bytes data) { return Downloadable(std::move(data)); }
        std::variant<platform::URLRequest, platform::Bytes> value;
        const platform::URLRequest* urlRequest() const { return std::get_if<platform::URLRequest>(&value); }
        Result<TaskPtr> task(const SessionPtr& session, const std::shared_ptr<RequestAdapter>& adapter,
                             const platform::dispatch::DispatchQueue& queue) const override;

    private:
        template <class V>
        explicit Downloadable(V v) : value(std::move(v)) {}
    };
    enum class SearchPathDomainMask : unsigned {
        userDomainMask = 1,
        localDomainMask = 2,
        networkDomainMask = 4,
        systemDomainMask = 8,
        allDomainsMask = 0x0ffff
    };

    std::optional<platform::URLRequest> request() const override;
    // Present once a cancel delivered it, or when a failed download left some.
    std::optional<platform::Bytes> resumeData() const;
    std::shared_ptr<Progress> progress() const;
    std::shared_ptr<DownloadRequest> downloadProgress(platform::dispatch::DispatchQueue queue, ProgressHandler closure);
    // Cancels producing resume data (stored when the platform delivers it, later). No task: nothing.
    void cancel() override;

    // The directory's first URL in the domain plus the response's suggested file name (its last path
    // component only, never ".."); the temporary file itself when the directory has no URL there.
    static DownloadFileDestination
    suggestedDownloadDestination(platform::SearchPathDirectory directory = platform::SearchPathDirectory::Documents,
                                 SearchPathDomainMask domain = SearchPathDomainMask::userDomainMask);

    // Response handlers, queued like the data ones; serializers read the downloaded file
    // (DownloadResponseHandlers.h/.cpp).
    std::shared_ptr<DownloadRequest> response(OptionalQueue queue,
                                              std::function<void(DefaultDownloadResponse)> completion);
    std::shared_ptr<DownloadRequest> response(std::function<void(DefaultDownloadResponse)> completion) {
        return response(std::nullopt, std::move(completion));
    }
    template <class T, class F>
    std::shared_ptr<DownloadRequest> response(OptionalQueue queue, DownloadResponseSerializer<T> serializer,
                                              F&& completion);
    std::shared_ptr<DownloadRequest> responseData(OptionalQueue queue,
                                                  std::function<void(DownloadResponse<platform::Bytes>)> completion);
    std::shared_ptr<DownloadRequest> responseString(OptionalQueue queue, std::optional<StringEncoding> encoding,
                                                    std::function<void(DownloadResponse<std::string>)> completion);
    std::shared_ptr<DownloadRequest> responseJSON(OptionalQueue queue, JSONReadingOptions options,
                                                  std::function<void(DownloadResponse<platform::Value>)> completion);
    std::shared_ptr<DownloadRequest>
    responsePropertyList(OptionalQueue queue, PropertyListReadOptions options,
                         std::function<void(DownloadResponse<platform::Value>)> completion);
    std::shared_ptr<DownloadRequest> responseData(std::function<void(DownloadResponse<platform::Bytes>)> completion) {
        return responseData(std::nullopt, std::move(completion));
    }
    std::shared_ptr<DownloadRequest> responseString(std::function<void(DownloadResponse<std::string>)> completion) {
        return responseString(std::nullopt, std::nullopt, std::move(completion));
    }
    std::shared_ptr<DownloadRequest> responseJSON(std::function<void(DownloadResponse<platform::Value>)> completion) {
        return responseJSON(std::nullopt, JSONReadingOptions{JSONReadingOptions::allowFragments},
                            std::move(completion));
    }
    std::shared_ptr<DownloadRequest>
    responsePropertyList(std::function<void(DownloadResponse<platform::Value>)> completion) {
        return responsePropertyList(std::nullopt, 0, std::move(completion));
    }
    static DownloadResponseSerializer<platform::Bytes> dataResponseSerializer();
    static DownloadResponseSerializer<std::string>
    stringResponseSerializer(std::optional<StringEncoding> encoding = std::nullopt);
    static DownloadResponseSerializer<platform::Value> jsonResponseSerializer(JSONReadingOptions options = {
                                                                                  JSONReadingOptions::allowFragments});
    static DownloadResponseSerializer<platform::Value>
    propertyListResponseSerializer(PropertyListReadOptions options = 0);

protected:
    friend class Request;
    using Request::Request;
};

class UploadRequest : public DataRequest {
public:
    struct Uploadable final : TaskConvertible {
        enum class Kind { data, file, stream };
        static Uploadable data(platform::Bytes body, platform::URLRequest r) {
            Uploadable u(Kind::data, std::move(r));
            u.body = std::move(body);
            return u;
        }
        static Uploadable file(platform::URL fileURL, platform::URLRequest r) {
            Uploadable u(Kind::file, std::move(r));
            u.fileURL = std::move(fileURL);
            return u;
        }
        static Uploadable stream(std::shared_ptr<platform::InputStream> s, platform::URLRequest r) {
            Uploadable u(Kind::stream, std::move(r));
            u.inputStream = std::move(s);
            return u;
        }
        Kind kind;
        platform::URLRequest urlRequest;
        platform::Bytes body;
        std::optional<platform::URL> fileURL;
        std::shared_ptr<platform::InputStream> inputStream;
        Result<TaskPtr> task(const SessionPtr& session, const std::shared_ptr<RequestAdapter>& adapter,
                             const platform::dispatch::DispatchQueue& queue) const override;

    private:
        Uploadable(Kind k, platform::URLRequest r) : kind(k), urlRequest(std::move(r)) {}
    };

    std::optional<platform::URLRequest> request() const override;
    // Bytes of the request body sent.
    std::shared_ptr<Progress> uploadProgress() const;
    std::shared_ptr<UploadRequest> uploadProgress(platform::dispatch::DispatchQueue queue, ProgressHandler closure);

protected:
    friend class Request;
    using DataRequest::DataRequest;
};

class StreamRequest : public Request {
public:
    // The two cases: a host and port, or a network service to resolve first.
    struct Streamable final : TaskConvertible {
        struct Stream {
            std::string hostName;
            int port = 0;
        };
        static Streamable stream(std::string hostName, int port) {
            return Streamable(Stream{std::move(hostName), port});
        }
        static Streamable netService(std::shared_ptr<platform::NetService> service) {
            return Streamable(std::move(service));
        }
        std::variant<Stream, std::shared_ptr<platform::NetService>> value;
        Result<TaskPtr> task(const SessionPtr& session, const std::shared_ptr<RequestAdapter>& adapter,
                             const platform::dispatch::DispatchQueue& queue) const override;

    private:
        template <class V>
        explicit Streamable(V v) : value(std::move(v)) {}
    };

protected:
    friend class Request;
    using Request::Request;
};

}  // namespace rivulet

// DownloadRequest's serializing handler template.
#include "Rivulet/Source/DownloadResponseHandlers.h"
