#pragma once
// Service-extension support: what an app's notification service extension (a separate process the
// system runs to amend a notification before it shows) calls through the facade, and the badge count
// the extension and the app share in the app group's preferences suite.
//
// Threads: the extension's calls run on its own thread and block it while media downloads; the badge
// and suite operations are safe from any thread and any process of the device (the suite is locked
// and updated atomically).
#include <cstdint>
#include <optional>
#include <string>

#include "platform/usernotifications/NotificationTypes.h"

namespace vezeduduz {

class VENotificationPayload;

// Info.plist key naming the app group suite; key of the shared badge count in it.
inline constexpr const char* kAppGroupsInfoKey = "VezEduduz_app_groups_key";
inline constexpr const char* kBadgeCountKey = "vezeduduzBadgeCount";

class VezEduduzExtensionBadgeHandler {
public:
    // Info.plist "VezEduduz_app_groups_key", else "group.<primary bundle id>.vezeduduz"; trimmed.
    static std::string appGroupName();
    // The main bundle's identifier; inside an extension (a bundle "<name>.appex" in the app's
    // PlugIns/), the containing application's.
    static std::optional<std::string> primaryBundleIdentifier();
    static int64_t currentCachedBadgeValue();
    static void updateCachedBadgeValue(int64_t value);
    // An increment is added to the stored count (the sum clamped to [0, INT32_MAX], as a message's own
    // badge is) and shown; otherwise a badge the payload read from the message (0 too) is stored and the
    // content's badge left as delivered.
    static void handleBadgeCountWithNotificationRequest(const platform::usernotifications::NotificationRequest& request,
                                                        const VENotificationPayload& payload,
                                                        platform::usernotifications::NotificationContent& content);
};

class VezEduduzNotificationServiceExtensionHandler {
public:
    using Content = platform::usernotifications::NotificationContent;
    using Request = platform::usernotifications::NotificationRequest;
    // Badge, receipt analytics, buttons and attachments; `content` null means the request's own.
    static Content didReceiveNotificationExtensionRequest(const Request& request, const Content* content);
    // Time is up: parse and buttons only.
    static Content serviceExtensionTimeWillExpireRequest(const Request& request, const Content* content);
    static void addActionButtonsToExtentionRequest(const Request& request, const VENotificationPayload& payload,
                                                   Content& content);
};

}  // namespace vezeduduz
