#pragma once
// Internal: the resume data of a download, as a binary property list. Only our own blobs are accepted,
// and only with a temporary path inside a temporary directory we hand out.
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace platform::urlsession_detail {

struct ResumeInfo {
    std::string url;
    int64_t bytesReceived = 0;
    std::string tempPath;
    std::string etag;
    std::string lastModified;

    Bytes encode() const;
    static std::optional<ResumeInfo> decode(const Bytes& data);
};

}  // namespace platform::urlsession_detail
