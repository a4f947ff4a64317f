#pragma once
// The value objects handed to the application's notification blocks:
//   VENotification             - a received notification: its payload and how it was shown;
//   VENotificationAction       - what the user did when opening it;
//   VENotificationOpenedResult - the pair given to the notification-opened block.
// Each has a JSON form (stringify) for logging and reports.
//
// Threads: immutable after construction; share them freely between threads. The VENotification
// constructor without an environment reads the application state and the facade's in-focus display
// type, so call it where the facade lives (the main loop).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "VezEduduzSDK/Source/VENotificationPayload.h"
#include "VezEduduzSDK/Source/VezEduduz.h"
#include "platform/foundation/Value.h"

namespace vezeduduz {

enum class VENotificationActionType : uint64_t { Opened = 0, ActionTaken = 1 };

class VENotificationAction {
public:
    VENotificationAction(VENotificationActionType type, std::optional<std::string> actionID)
        : type_(type), actionID_(std::move(actionID)) {}
    VENotificationActionType type() const { return type_; }
    const std::optional<std::string>& actionID() const { return actionID_; }

private:
    VENotificationActionType type_;
    std::optional<std::string> actionID_;
};

// What decides whether a notification counts as shown.
struct VENotificationEnvironment {
    bool appInFocus = false;
    VEInFocusDisplayType inFocusDisplayType = VEInFocusDisplayType::inAppAlert;
    // The application's state (active = in focus) and the facade's current in-focus display type.
    static VENotificationEnvironment current();
};

class VENotification {
public:
    // A null payload is treated as an empty one, so payload() is never null.
    VENotification(std::shared_ptr<const VENotificationPayload> payload, VEInFocusDisplayType displayType);
    VENotification(std::shared_ptr<const VENotificationPayload> payload, VEInFocusDisplayType displayType,
                   const VENotificationEnvironment& environment);

    const std::shared_ptr<const VENotificationPayload>& payload() const { return payload_; }
    VEInFocusDisplayType displayType() const { return displayType_; }
    bool wasShown() const { return shown_; }
    bool wasAppInFocus() const { return isAppInFocus_; }
    bool isSilentNotification() const { return silentNotification_; }
    // True only when "aps"."mutable-content" is the number 1 or true (unlike the payload's presence test).
    bool hasMutableContent() const { return mutableContent_; }

    // {"payload": {...}, "displayType": n (when not 0), "shown": b, "isAppInFocus": b,
    //  "silentNotification": true (only when silent)}. The payload object holds "notificationID",
    // "sound", "title", "body", "subtitle", "additionalData", "actionButtons", "rawPayload", "launchURL"
    // when set, "contentAvailable" when true and "badge" when not 0.
    platform::Value jsonValue() const;
    // The compact JSON text of jsonValue(); nullopt (and a logged error) when the payload holds
    // something JSON cannot carry, e.g. data or a date from a locally built message.
    std::optional<std::string> stringify() const;

private:
    std::shared_ptr<const VENotificationPayload> payload_;
    VEInFocusDisplayType displayType_;
    bool shown_ = true;
    bool isAppInFocus_ = false;
    bool silentNotification_ = false;
    bool mutableContent_ = false;
};

class VENotificationOpenedResult {
public:
    // Null arguments are replaced by an empty notification / a plain open, so both getters are never null.
    VENotificationOpenedResult(std::shared_ptr<const VENotification> notification,
                               std::shared_ptr<const VENotificationAction> action);

    const std::shared_ptr<const VENotification>& notification() const { return notification_; }
    const std::shared_ptr<const VENotificationAction>& action() const { return action_; }

    // {"action": {"actionID": id (when set), "type": n (when not 0)}, "notification": {...}}.
    platform::Value jsonValue() const;
    std::optional<std::string> stringify() const;

private:
    std::shared_ptr<const VENotification> notification_;
    std::shared_ptr<const VENotificationAction> action_;
};

}  // namespace vezeduduz
