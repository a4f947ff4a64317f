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

// What every record holds besides its body and outcome: the request, the response and the timing.
class ResponseRecord : public Response {
public:
    const std::optional<platform::URLRequest>& request() const { return request_; }
    const HTTPResponsePtr& response() const { return response_; }
    const Timeline& timeline() const { return timeline_; }

protected:
    ResponseRecord(std::optional<platform::URLRequest> request, HTTPResponsePtr response, Timeline timeline)
        : request_(std::move(request)), response_(std::move(response)), timeline_(timeline) {}
    ~ResponseRecord() = default;
    // "[Request]: ...\n[Response]: ...\n" + `bodyLines` + "\n[Result]: " + `result` + "\n[Timeline]: ...".
    std::string describe(const std::string& bodyLines, const std::string& result) const;

private:
    std::optional<platform::URLRequest> request_;
    HTTPResponsePtr response_;
    Timeline timeline_;
};

// A record whose outcome is a Result<T>; Record<T> is the record itself (DataResponse<T> or
// DownloadResponse<T>), which makes its copy with another result in withResult().
template <template <class> class Record, class T>
class ResultRecord : public ResponseRecord {
public:
    const Result<T>& result() const { return result_; }
    const T* value() const { return result_.value(); }
    const AnyError* error() const { return result_.error(); }

    // The same record with the result transformed; the metrics are kept.
    template <class F>
    auto map(F&& f) const {
        return rebuild(result_.map(std::forward<F>(f)));
    }
    template <class F>
    auto flatMap(F&& f) const {
        return rebuild(result_.flatMap(std::forward<F>(f)));
    }
    template <class F>
    Record<T> mapError(F&& f) const {
        return rebuild(result_.mapError(std::forward<F>(f)));
    }
    template <class F>
    Record<T> flatMapError(F&& f) const {
        return rebuild(result_.flatMapError(std::forward<F>(f)));
    }

    // The result's debug description.
    std::string description() const { return result_.debugDescription(); }

protected:
    ResultRecord(std::optional<platform::URLRequest> request, HTTPResponsePtr response, Result<T> result,
                 Timeline timeline)
        : ResponseRecord(std::move(request), std::move(response), timeline), result_(std::move(result)) {}
    ~ResultRecord() = default;
    std::string describe(const std::string& bodyLines) const {
        return ResponseRecord::describe(bodyLines, result_.debugDescription());
    }

private:
    template <class U>
    Record<U> rebuild(Result<U> result) const {
        Record<U> out = static_cast<const Record<T>&>(*this).withResult(std::move(result));
        out.set_metrics(_metrics());
        return out;
    }
    Result<T> result_;
};

class DefaultDataResponse : public ResponseRecord {
public:
    // `metrics` is accepted and not stored: metrics reach a record only through add().
    DefaultDataResponse(std::optional<platform::URLRequest> request, HTTPResponsePtr response,
                        std::optional<platform::Bytes> data, std::optional<AnyError> error, Timeline timeline = {},
                        TaskMetricsPtr metrics = nullptr)
        : ResponseRecord(std::move(request), std::move(response), timeline), data_(std::move(data)),
          error_(std::move(error)) {}

    const std::optional<platform::Bytes>& data() const { return data_; }
    const std::optional<AnyError>& error() const { return error_; }

private:
    std::optional<platform::Bytes> data_;
    std::optional<AnyError> error_;
};

template <class T>
class DataResponse : public ResultRecord<DataResponse, T> {
public:
    DataResponse(std::optional<platform::URLRequest> request, HTTPResponsePtr response,
                 std::optional<platform::Bytes> data, Result<T> result, Timeline timeline = {})
        : ResultRecord<DataResponse, T>(std::move(request), std::move(response), std::move(result), timeline),
          data_(std::move(data)) {}

    const std::optional<platform::Bytes>& data() const { return data_; }

    // "[Request]: ...\n[Response]: ...\n[Data]: N bytes\n[Result]: ...\n[Timeline]: ...".
    std::string debugDescription() const {
        return this->describe("[Data]: " + std::to_string(data_ ? data_->size() : 0) + " bytes");
    }

private:
    friend class ResultRecord<DataResponse, T>;
    template <class U>
    DataResponse<U> withResult(Result<U> result) const {
        return DataResponse<U>(this->request(), this->response(), data_, std::move(result), this->timeline());
    }
    std::optional<platform::Bytes> data_;
};

// The files of a download record.
class DownloadFiles {
public:
    const std::optional<platform::URL>& temporaryURL() const { return temporaryURL_; }
    const std::optional<platform::URL>& destinationURL() const { return destinationURL_; }
    const std::optional<platform::Bytes>& resumeData() const { return resumeData_; }

protected:
    DownloadFiles(std::optional<platform::URL> temporaryURL, std::optional<platform::URL> destinationURL,
                  std::optional<platform::Bytes> resumeData)
        : temporaryURL_(std::move(temporaryURL)), destinationURL_(std::move(destinationURL)),
          resumeData_(std::move(resumeData)) {}
    ~DownloadFiles() = default;
    // "[TemporaryURL]: ...\n[DestinationURL]: ...\n[ResumeData]: N bytes".
    std::string describeFiles() const;

private:
    std::optional<platform::URL> temporaryURL_, destinationURL_;
    std::optional<platform::Bytes> resumeData_;
};

class DefaultDownloadResponse : public ResponseRecord, public DownloadFiles {
public:
    DefaultDownloadResponse(std::optional<platform::URLRequest> request, HTTPResponsePtr response,
                            std::optional<platform::URL> temporaryURL, std::optional<platform::URL> destinationURL,
                            std::optional<platform::Bytes> resumeData, std::optional<AnyError> error,
                            Timeline timeline = {}, TaskMetricsPtr metrics = nullptr)
        : ResponseRecord(std::move(request), std::move(response), timeline),
          DownloadFiles(std::move(temporaryURL), std::move(destinationURL), std::move(resumeData)),
          error_(std::move(error)) {}

    const std::optional<AnyError>& error() const { return error_; }

private:
    std::optional<AnyError> error_;
};

template <class T>
class DownloadResponse : public ResultRecord<DownloadResponse, T>, public DownloadFiles {
public:
    DownloadResponse(std::optional<platform::URLRequest> request, HTTPResponsePtr response,
                     std::optional<platform::URL> temporaryURL, std::optional<platform::URL> destinationURL,
                     std::optional<platform::Bytes> resumeData, Result<T> result, Timeline timeline = {})
        : ResultRecord<DownloadResponse, T>(std::move(request), std::move(response), std::move(result), timeline),
          DownloadFiles(std::move(temporaryURL), std::move(destinationURL), std::move(resumeData)) {}

    std::string debugDescription() const { return this->describe(describeFiles()); }

private:
    friend class ResultRecord<DownloadResponse, T>;
    template <class U>
    DownloadResponse<U> withResult(Result<U> result) const {
        return DownloadResponse<U>(this->request(), this->response(), temporaryURL(), destinationURL(), resumeData(),
                                   std::move(result), this->timeline());
    }
};

}  // namespace rivulet
