#pragma once
// The records response handlers deliver: DefaultDataResponse / DataResponse<T> for data requests and
// DefaultDownloadResponse / DownloadResponse<T> for downloads. Immutable values apart from the metrics
// slot, which only add() fills. Copies are independent (metrics and the response object are shared,
// both immutable), so records may be handed between threads.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "Rivulet/Source/AnyError.h"
#include "Rivulet/Source/Result.h"
#include "Rivulet/Source/Timeline.h"
#include "platform/foundation/HTTPURLResponse.h"
#include "platform/foundation/URLRequest.h"
#include "platform/urlsession/URLSessionTaskMetrics.h"

namespace rivulet {

using HTTPResponsePtr = std::shared_ptr<const platform::HTTPURLResponse>;
using TaskMetricsPtr = std::shared_ptr<const platform::URLSessionTaskMetrics>;

// The metrics slot every record has.
class Response {
public:
    // Stores `metrics` when present and the platform's major version is 10 or later; otherwise the
    // slot stays as it was.
    void add(TaskMetricsPtr metrics);
    const TaskMetricsPtr& _metrics() const { return metrics_; }
    void set_metrics(TaskMetricsPtr metrics) { metrics_ = std::move(metrics); }
    // The task metrics, when the slot holds some.
    const TaskMetricsPtr& metrics() const { return metrics_; }

protected:
    ~Response() = default;

private:
    TaskMetricsPtr metrics_;
};

// Text helpers shared by the record descriptions.
std::string describeRequestLine(const std::optional<platform::URLRequest>& request);  // "[Request]: ..."
std::string describeResponseLine(const HTTPResponsePtr& response);                    // "[Response]: ..."
// The platform response object's description.
std::string describeHTTPResponse(const platform::HTTPURLResponse& response);

class DefaultDataResponse : public Response {
public:
    // `metrics` is accepted and not stored: metrics reach a record only through add().
    DefaultDataResponse(std::optional<platform::URLRequest> request, HTTPResponsePtr response,
                        std::optional<platform::Bytes> data, std::optional<AnyError> error, Timeline timeline = {},
                        TaskMetricsPtr metrics = nullptr)
        : request_(std::move(request)), response_(std::move(response)), data_(std::move(data)),
          error_(std::move(error)), timeline_(timeline) {}

    const std::optional<platform::URLRequest>& request() const { return request_; }
    const HTTPResponsePtr& response() const { return response_; }
    const std::optional<platform::Bytes>& data() const { return data_; }
    const std::optional<AnyError>& error() const { return error_; }
    const Timeline& timeline() const { return timeline_; }

private:
    std::optional<platform::URLRequest> request_;
    HTTPResponsePtr response_;
    std::optional<platform::Bytes> data_;
    std::optional<AnyError> error_;
    Timeline timeline_;
};

template <class T>
class DataResponse : public Response {
public:
    DataResponse(std::optional<platform::URLRequest> request, HTTPResponsePtr response,
                 std::optional<platform::Bytes> data, Result<T> result, Timeline timeline = {})
        : request_(std::move(request)), response_(std::move(response)), data_(std::move(data)),
          result_(std::move(result)), timeline_(timeline) {}

    const std::optional<platform::URLRequest>& request() const { return request_; }
    const HTTPResponsePtr& response() const { return response_; }
    const std::optional<platform::Bytes>& data() const { return data_; }
    const Result<T>& result() const { return result_; }
    const Timeline& timeline() const { return timeline_; }
    const T* value() const { return result_.value(); }
    const AnyError* error() const { return result_.error(); }

    template <class F>
    auto map(F&& f) const {
        return rebuild(result_.map(std::forward<F>(f)));
    }
    template <class F>
    auto flatMap(F&& f) const {
        return rebuild(result_.flatMap(std::forward<F>(f)));
    }
    template <class F>
    DataResponse mapError(F&& f) const {
        return rebuild(result_.mapError(std::forward<F>(f)));
    }
    template <class F>
    DataResponse flatMapError(F&& f) const {
        return rebuild(result_.flatMapError(std::forward<F>(f)));
    }

    // The result's debug description.
    std::string description() const { return result_.debugDescription(); }
    // "[Request]: ...\n[Response]: ...\n[Data]: N bytes\n[Result]: ...\n[Timeline]: ...".
    std::string debugDescription() const {
        return describeRequestLine(request_) + "\n" + describeResponseLine(response_) +
               "\n[Data]: " + std::to_string(data_ ? data_->size() : 0) +
               " bytes\n[Result]: " + result_.debugDescription() + "\n[Timeline]: " + timeline_.debugDescription();
    }

private:
    template <class U>
    DataResponse<U> rebuild(Result<U> result) const {
        DataResponse<U> out(request_, response_, data_, std::move(result), timeline_);
        out.set_metrics(_metrics());
        return out;
    }
    std::optional<platform::URLRequest> request_;
    HTTPResponsePtr response_;
    std::optional<platform::Bytes> data_;
    Result<T> result_;
    Timeline timeline_;
};

class DefaultDownloadResponse : public Response {
public:
    DefaultDownloadResponse(std::optional<platform::URLRequest> request, HTTPResponsePtr response,
                            std::optional<platform::URL> temporaryURL, std::optional<platform::URL> destinationURL,
                            std::optional<platform::Bytes> resumeData, std::optional<AnyError> error,
                            Timeline timeline = {}, TaskMetricsPtr metrics = nullptr)
        : request_(std::move(request)), response_(std::move(response)), temporaryURL_(std::move(temporaryURL)),
          destinationURL_(std::move(destinationURL)), resumeData_(std::move(resumeData)), error_(std::move(error)),
          timeline_(timeline) {}

    const std::optional<platform::URLRequest>& request() const { return request_; }
    const HTTPResponsePtr& response() const { return response_; }
    const std::optional<platform::URL>& temporaryURL() const { return temporaryURL_; }
    const std::optional<platform::URL>& destinationURL() const { return destinationURL_; }
    const std::optional<platform::Bytes>& resumeData() const { return resumeData_; }
    const std::optional<AnyError>& error() const { return error_; }
    const Timeline& timeline() const { return timeline_; }

private:
    std::optional<platform::URLRequest> request_;
    HTTPResponsePtr response_;
    std::optional<platform::URL> temporaryURL_, destinationURL_;
    std::optional<platform::Bytes> resumeData_;
    std::optional<AnyError> error_;
    Timeline timeline_;
};

template <class T>
class DownloadResponse : public Response {
public:
    DownloadResponse(std::optional<platform::URLRequest> request, HTTPResponsePtr response,
                     std::optional<platform::URL> temporaryURL, std::optional<platform::URL> destinationURL,
                     std::optional<platform::Bytes> resumeData, Result<T> result, Timeline timeline = {})
        : request_(std::move(request)), response_(std::move(response)), temporaryURL_(std::move(temporaryURL)),
          destinationURL_(std::move(destinationURL)), resumeData_(std::move(resumeData)), result_(std::move(result)),
          timeline_(timeline) {}

    const std::optional<platform::URLRequest>& request() const { return request_; }
    const HTTPResponsePtr& response() const { return response_; }
    const std::optional<platform::URL>& temporaryURL() const { return temporaryURL_; }
    const std::optional<platform::URL>& destinationURL() const { return destinationURL_; }
    const std::optional<platform::Bytes>& resumeData() const { return resumeData_; }
    const Result<T>& result() const { return result_; }
    const Timeline& timeline() const { return timeline_; }
    const T* value() const { return result_.value(); }
    const AnyError* error() const { return result_.error(); }

    template <class F>
    auto map(F&& f) const {
        return rebuild(result_.map(std::forward<F>(f)));
    }
    template <class F>
    auto flatMap(F&& f) const {
        return rebuild(result_.flatMap(std::forward<F>(f)));
    }
    template <class F>
    DownloadResponse mapError(F&& f) const {
        return rebuild(result_.mapError(std::forward<F>(f)));
    }
    template <class F>
    DownloadResponse flatMapError(F&& f) const {
        return rebuild(result_.flatMapError(std::forward<F>(f)));
    }

    std::string description() const { return result_.debugDescription(); }
    std::string debugDescription() const {
        return describeRequestLine(request_) + "\n" + describeResponseLine(response_) +
               "\n[TemporaryURL]: " + (temporaryURL_ ? temporaryURL_->path() : std::string("nil")) +
               "\n[DestinationURL]: " + (destinationURL_ ? destinationURL_->path() : std::string("nil")) +
               "\n[ResumeData]: " + std::to_string(resumeData_ ? resumeData_->size() : 0) +
               " bytes\n[Result]: " + result_.debugDescription() + "\n[Timeline]: " + timeline_.debugDescription();
    }

private:
    template <class U>
    DownloadResponse<U> rebuild(Result<U> result) const {
        DownloadResponse<U> out(request_, response_, temporaryURL_, destinationURL_, resumeData_, std::move(result),
                                timeline_);
        out.set_metrics(_metrics());
        return out;
    }
    std::optional<platform::URLRequest> request_;
    HTTPResponsePtr response_;
    std::optional<platform::URL> temporaryURL_, destinationURL_;
    std::optional<platform::Bytes> resumeData_;
    Result<T> result_;
    Timeline timeline_;
};

}  // namespace rivulet
