#include "Rivulet/Source/Response.h"

#include "platform/foundation/ProcessInfo.h"

namespace rivulet {

void Response::add(TaskMetricsPtr metrics) {
    // Task metrics arrived with system version 10; older systems never hand any over.
    if (!metrics || !platform::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({10, 0, 0})) return;
    metrics_ = std::move(metrics);
}

namespace {

std::string describeRequestLine(const std::optional<platform::URLRequest>& request) {
    if (!request) return "[Request]: nil";
    const std::string& method = request->HTTPMethod().empty() ? std::string("GET") : request->HTTPMethod();
    const std::string text = request->url() ? request->url()->absoluteString() : std::string("url: nil");
    return "[Request]: " + method + " " + text;
}

std::string describeHTTPResponse(const platform::HTTPURLResponse& response) {
    std::string out = "<HTTPURLResponse> { URL: ";
    out += response.url() ? response.url()->absoluteString() : std::string("(null)");
    out += " } { Status Code: " + std::to_string(response.statusCode()) + ", Headers {";
    bool first = true;
    for (const auto& [name, value] : response.allHeaderFields().entries()) {
        out += first ? " " : ", ";
        first = false;
        out += name + ": " + value;
    }
    out += " } }";
    return out;
}

std::string describeResponseLine(const HTTPResponsePtr& response) {
    return response ? "[Response]: " + describeHTTPResponse(*response) : std::string("[Response]: nil");
}

}  // namespace

std::string ResponseRecord::describe(const std::string& bodyLines, const std::string& result) const {
    return describeRequestLine(request_) + "\n" + describeResponseLine(response_) + "\n" + bodyLines +
           "\n[Result]: " + result + "\n[Timeline]: " + timeline_.debugDescription();
}

std::string DownloadFiles::describeFiles() const {
    return "[TemporaryURL]: " + (temporaryURL_ ? temporaryURL_->path() : std::string("nil")) +
           "\n[DestinationURL]: " + (destinationURL_ ? destinationURL_->path() : std::string("nil")) +
           "\n[ResumeData]: " + std::to_string(resumeData_ ? resumeData_->size() : 0) + " bytes";
}

}  // namespace rivulet
