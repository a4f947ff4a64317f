#pragma once
// The notification centre's records: plain values, safe to copy and to hand between threads.
// Notifications and responses reach delegates as std::shared_ptr<Notification> /
// std::shared_ptr<NotificationResponse>.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

namespace platform::usernotifications {

// The user's answer as the system reports it.
enum class AuthorizationStatus : int64_t { NotDetermined = 0, Denied = 1, Authorized = 2, Provisional = 3 };
enum class NotificationSetting : int64_t { NotSupported = 0, Disabled = 1, Enabled = 2 };

// Bits of requestAuthorizationWithOptions:.
enum AuthorizationOption : int64_t {
    AuthorizationOptionBadge = 1,
    AuthorizationOptionSound = 2,
    AuthorizationOptionAlert = 4,
    AuthorizationOptionCarPlay = 8,
    AuthorizationOptionCriticalAlert = 16,
    AuthorizationOptionProvidesAppNotificationSettings = 32,
    AuthorizationOptionProvisional = 64,
};

// Bits a willPresent completion answers with.
enum PresentationOption : int64_t {
    PresentationOptionBadge = 1,
    PresentationOptionSound = 2,
    PresentationOptionAlert = 4,
};

// The domain of the centre's refusals, and its codes.
inline constexpr const char* kUNErrorDomain = "UNErrorDomain";
inline constexpr int64_t kUNErrorCodeNotificationInvalidNoIdentifier = 1;
inline constexpr int64_t kUNErrorCodeNotificationInvalidTriggerInterval = 2;
inline constexpr int64_t kUNErrorCodeAttachmentInvalidURL = 100;
inline constexpr int64_t kUNErrorCodeAttachmentUnrecognizedType = 101;
inline constexpr int64_t kUNErrorCodeAttachmentInvalidFileSize = 102;

inline constexpr const char* kDefaultActionIdentifier = "com.apple.UNNotificationDefaultActionIdentifier";
inline constexpr const char* kDismissActionIdentifier = "com.apple.UNNotificationDismissActionIdentifier";

struct NotificationSettings {
    AuthorizationStatus authorizationStatus = AuthorizationStatus::NotDetermined;
    NotificationSetting alertSetting = NotificationSetting::NotSupported;
    NotificationSetting badgeSetting = NotificationSetting::NotSupported;
    NotificationSetting soundSetting = NotificationSetting::NotSupported;
    NotificationSetting lockScreenSetting = NotificationSetting::NotSupported;
    NotificationSetting notificationCenterSetting = NotificationSetting::NotSupported;
};

// A file shown with a notification. make() refuses a URL that is not an existing regular local file,
// a file whose extension names no image, audio or video type the system shows, and a file larger than
// the system's limit for its type (audio 5 MB, image 10 MB, video 50 MB).
struct NotificationAttachment {
    static constexpr int64_t kMaxAudioBytes = 5 * 1024 * 1024;
    static constexpr int64_t kMaxImageBytes = 10 * 1024 * 1024;
    static constexpr int64_t kMaxVideoBytes = 50 * 1024 * 1024;
    // The size limit for a file of this extension, or nullopt when the type is not shown.
    static std::optional<int64_t> maxBytesForExtension(const std::string& extension);

    std::string identifier;
    URL url;
    static Result<NotificationAttachment> make(std::string identifier, const URL& fileURL);
};

struct NotificationContent {
    std::string title;
    std::string subtitle;
    std::string body;
    std::optional<int64_t> badge;
    std::optional<std::string> sound;  // a sound name, or "default"
    Value userInfo = Value::dictionary();
    std::string categoryIdentifier;
    std::string threadIdentifier;
    std::vector<NotificationAttachment> attachments;

    // Read from a remote notification's payload ("aps": alert string or {title, subtitle, body},
    // badge, sound, category, thread-id); userInfo is the whole payload. Wrong types are ignored.
    static NotificationContent fromPayload(const Value& userInfo);
};

struct NotificationTrigger {
    enum class Kind { Push, TimeInterval };
    Kind kind = Kind::TimeInterval;
    double timeInterval = 0;  // seconds, TimeInterval only
    bool repeats = false;
    bool contentAvailable = false;  // Push only: "aps"."content-available" was 1

    static NotificationTrigger push(bool contentAvailable) { return {Kind::Push, 0, false, contentAvailable}; }
    static NotificationTrigger after(double seconds, bool repeats = false) {
        return {Kind::TimeInterval, seconds, repeats, false};
    }
};

struct NotificationRequest {
    std::string identifier;
    NotificationContent content;
    std::optional<NotificationTrigger> trigger;  // none: deliver at once
};

struct Notification {
    Date date;
    NotificationRequest request;
};

struct NotificationResponse {
    std::shared_ptr<Notification> notification;
    std::string actionIdentifier = kDefaultActionIdentifier;
    std::optional<std::string> userText;  // set for a text-input response
    bool isTextInput() const { return userText.has_value(); }
};

enum NotificationActionOption : int64_t {
    NotificationActionAuthenticationRequired = 1,
    NotificationActionDestructive = 2,
    NotificationActionForeground = 4,
};
enum NotificationCategoryOption : int64_t { NotificationCategoryCustomDismissAction = 1 };

struct NotificationAction {
    std::string identifier;
    std::string title;
    int64_t options = 0;
    bool operator==(const NotificationAction&) const = default;
};

struct NotificationCategory {
    std::string identifier;
    std::vector<NotificationAction> actions;
    std::vector<std::string> intentIdentifiers;
    int64_t options = 0;
    bool operator==(const NotificationCategory&) const = default;
};

}  // namespace platform::usernotifications
