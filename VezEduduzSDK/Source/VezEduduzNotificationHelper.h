#pragma once
// VezEduduzNotificationHelper: the notification side of the push client's helper. It recognises
// messages of the push service, tells silent ones apart, rewrites a message whose action was chosen in
// a notification the push client showed itself into the standard form, and hands notifications to the
// application's two blocks, each notification id once in a row.
//
// Entry points for the facade and the hooks:
//   - start-up:  notificationBlocks(received, action) with the blocks given to the facade;
//   - arrival:   lastMessageReceived(message), then handleNotificationReceived(displayType) or
//                handleNotificationAction(type, actionID, displayType), which read the stored message;
//                or the one-call forms that take the message, which cannot be mixed up by another
//                thread storing a message in between;
//   - analytics: setOpenEventTracker(f) receives every opened result that passes the once-per-id
//                test, whether or not the application set an action block; openEventTracker() is the
//                one in place, for a caller that adds its own look before it.
//
// Threads: any thread. State is guarded by one lock; blocks are called synchronously on the caller's
// thread with no lock held, so a block may call back in.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "VezEduduzSDK/Source/VENotification.h"
#include "VezEduduzSDK/Source/VezEduduz.h"
#include "platform/foundation/Value.h"

namespace vezeduduz {

// The action identifier of a plain tap on a notification shown by the system.
inline constexpr const char* kVEDefaultActionIdentifier = "com.apple.UNNotificationDefaultActionIdentifier";

class VezEduduzNotificationHelper {
public:
    using OpenEventTracker = std::function<void(const std::shared_ptr<VENotificationOpenedResult>& result)>;

    // A dictionary whose "custom"."i" or "ve_data"."i" is a string.
    static bool isVezEduduzPayload(const platform::Value& message);
    // Silent: none of top-level "badge", "aps"."badge", "m", "o", "s", a non-empty top-level "title",
    // "sound", "aps"."sound", "aps"."alert", "ve_data"."buttons" is present, whatever its value.
    static bool isRemoteSilentNotification(const platform::Value& message);
    // The message in the standard form, with the chosen action under "actionSelected" and the buttons
    // under "actionButtons"; nullopt for a message with neither "ve_data" nor "custom" dictionary.
    static std::optional<platform::Value> formatApsPayloadIntoStandard(const platform::Value& message,
                                                                       const std::optional<std::string>& identifier);

    static void lastMessageReceived(const platform::Value& message);
    static void notificationBlocks(VEHandleNotificationReceivedBlock received, VEHandleNotificationActionBlock action);
    static void setOpenEventTracker(OpenEventTracker tracker);
    static OpenEventTracker openEventTracker();  // empty when none is set

    // Received: nothing without a received block or for a message not from the push service.
    static void handleNotificationReceived(VEInFocusDisplayType displayType);
    static void handleNotificationReceived(const platform::Value& message, VEInFocusDisplayType displayType);
    // Opened: the tracker, then the action block, once per notification id.
    static void handleNotificationAction(VENotificationActionType type, const std::optional<std::string>& actionID,
                                         VEInFocusDisplayType displayType);
    static void handleNotificationAction(const platform::Value& message, VENotificationActionType type,
                                         const std::optional<std::string>& actionID, VEInFocusDisplayType displayType);

    // Clears the stored message and the last opened id (the last received id stays).
    static void resetLocals();

    // The environment used to decide "shown"; defaults to VENotificationEnvironment::current.
    // Tests and the fuzz target set a fixed one.
    static void setEnvironmentProvider(std::function<VENotificationEnvironment()> provider);
};

}  // namespace vezeduduz
