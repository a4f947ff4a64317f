#include "platform/usernotifications/NotificationTypes.h"

#include <sys/stat.h>

#include "platform/foundation/ASCII.h"

namespace platform::usernotifications {

std::optional<int64_t> NotificationAttachment::maxBytesForExtension(const std::string& extension) {
    std::string ext = lowercasedASCII(extension);
    for (const char* e : {"aiff", "aif", "wav", "mp3", "m4a"})
        if (ext == e) return kMaxAudioBytes;
    for (const char* e : {"jpg", "jpeg", "png", "gif"})
        if (ext == e) return kMaxImageBytes;
    for (const char* e : {"mp4", "m4v", "mpeg", "mpg", "avi"})
        if (ext == e) return kMaxVideoBytes;
    return std::nullopt;
}

Result<NotificationAttachment> NotificationAttachment::make(std::string identifier, const URL& fileURL) {
    struct stat st {};
    if (fileURL.scheme() != std::optional<std::string>("file") || ::stat(fileURL.path().c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode))
        return Error::withDescription(kUNErrorDomain, kUNErrorCodeAttachmentInvalidURL, "Invalid attachment file URL");
    auto limit = maxBytesForExtension(fileURL.pathExtension());
    if (!limit)
        return Error::withDescription(kUNErrorDomain, kUNErrorCodeAttachmentUnrecognizedType,
                                      "Unrecognized attachment file type");
    if (st.st_size > *limit)
        return Error::withDescription(kUNErrorDomain, kUNErrorCodeAttachmentInvalidFileSize,
                                      "Attachment file is too large");
    return NotificationAttachment{std::move(identifier), fileURL};
}

NotificationContent NotificationContent::fromPayload(const Value& userInfo) {
    NotificationContent content;
    content.userInfo = userInfo.isDictionary() ? userInfo : Value::dictionary();
    const Value& aps = userInfo["aps"];
    const Value& alert = aps["alert"];
    if (auto* s = alert.asString()) {
        content.body = *s;
    } else if (alert.isDictionary()) {
        content.title = alert["title"].stringOr("");
        content.subtitle = alert["subtitle"].stringOr("");
        content.body = alert["body"].stringOr("");
    }
    if (auto badge = aps["badge"]; badge.isNumber()) content.badge = badge.asInteger();
    if (auto* s = aps["sound"].asString()) content.sound = *s;
    content.categoryIdentifier = aps["category"].stringOr("");
    content.threadIdentifier = aps["thread-id"].stringOr("");
    return content;
}

}  // namespace platform::usernotifications
