#pragma once
// The notification settings of systems before the notification centre (system 8 and 9), and the
// remote-notification types of older ones. Plain values.
#include <cstdint>
#include <string>
#include <vector>

namespace platform::uikit {

// Bits of UserNotificationSettings::types and of registerForRemoteNotificationTypes.
enum UserNotificationType : uint64_t {
    UserNotificationTypeNone = 0,
    UserNotificationTypeBadge = 1,
    UserNotificationTypeSound = 2,
    UserNotificationTypeAlert = 4,
};

enum class UserNotificationActivationMode { Foreground = 0, Background = 1 };
enum class UserNotificationActionContext { Default = 0, Minimal = 1 };

struct UserNotificationAction {
    std::string identifier;
    std::string title;
    UserNotificationActivationMode activationMode = UserNotificationActivationMode::Background;
    bool destructive = false;
    bool authenticationRequired = false;
};

struct UserNotificationCategory {
    std::string identifier;
    std::vector<UserNotificationAction> defaultActions;
    std::vector<UserNotificationAction> minimalActions;
};

struct UserNotificationSettings {
    uint64_t types = 0;
    // Unique by identifier: registering keeps the last category of each identifier.
    std::vector<UserNotificationCategory> categories;
};

}  // namespace platform::uikit
