#include "platform/urlsession/internal/ResumeData.h"

#include <filesystem>

#include "platform/foundation/PropertyList.h"

namespace platform::urlsession_detail {

namespace {
constexpr const char* kURLKey = "NSURLSessionDownloadURL";
constexpr const char* kBytesKey = "NSURLSessionResumeBytesReceived";
constexpr const char* kPathKey = "NSURLSessionResumeInfoLocalPath";
constexpr const char* kETagKey = "NSURLSessionResumeEntityTag";
constexpr const char* kDateKey = "NSURLSessionResumeServerDownloadDate";
constexpr const char* kVersionKey = "NSURLSessionResumeInfoVersion";
constexpr size_t kMaxResumeDataBytes = 64 * 1024;
}  // namespace

Bytes ResumeInfo::encode() const {
    Value v = Value::dictionary();
    v.set(kVersionKey, 1);
    v.set(kURLKey, url);
    v.set(kBytesKey, bytesReceived);
    v.set(kPathKey, tempPath);
    if (!etag.empty()) v.set(kETagKey, etag);
    if (!lastModified.empty()) v.set(kDateKey, lastModified);
    auto out = plist::write(v, plist::Format::Binary);
    return out ? out.value() : Bytes{};
}

std::optional<ResumeInfo> ResumeInfo::decode(const Bytes& data) {
    auto v = plist::read(data, kMaxResumeDataBytes);
    if (!v || !v->isDictionary()) return std::nullopt;
    const auto* url = (*v)[kURLKey].asString();
    const auto* path = (*v)[kPathKey].asString();
    auto bytes = (*v)[kBytesKey].asInteger();
    if (!url || !path || !bytes || *bytes < 0) return std::nullopt;
    // The blob names a file we will append to: it must be one of our download files, nothing else.
    std::filesystem::path p(*path);
    if (!p.is_absolute() || p.filename().string().rfind("URLSessionDownload_", 0) != 0 || p.lexically_normal() != p)
        return std::nullopt;
    ResumeInfo info;
    info.url = *url;
    info.bytesReceived = *bytes;
    info.tempPath = *path;
    info.etag = (*v)[kETagKey].stringOr("");
    info.lastModified = (*v)[kDateKey].stringOr("");
    if (info.etag.empty() && info.lastModified.empty()) return std::nullopt;
    return info;
}

}  // namespace platform::urlsession_detail
