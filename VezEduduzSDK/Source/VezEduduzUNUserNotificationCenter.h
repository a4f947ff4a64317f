#pragma once
// The push client's hooks on the notification centre (system 10 and later): its delegate, the
// authorization request and the settings query; and the handlers copied into the centre's delegate's
// hierarchy (as for the application delegate, see VezEduduzAppDelegate.h) for foreground presentation
// and for taps.
//
// Threads: delegates are set and notifications delivered on the main thread; the authorization and
// settings completions arrive on the centre's threads. The in-flight flag, the settings cache and
// the last delegate are guarded by one lock.
#include <optional>
#include <string>

#include "platform/objc/Runtime.h"
#include "platform/usernotifications/NotificationTypes.h"

namespace vezeduduz {

class VezEduduzUNUserNotificationCenter {
public:
    static constexpr const char* kSetDelegate = "setVezEduduzUNDelegate:";
    static constexpr const char* kRequestAuthorization = "vezeduduzRequestAuthorizationWithOptions:completionHandler:";
    static constexpr const char* kGetSettings = "vezeduduzGetNotificationSettingsWithCompletionHandler:";
    static constexpr const char* kWillPresent =
        "vezeduduzUserNotificationCenter:willPresentNotification:withCompletionHandler:";
    static constexpr const char* kDidReceive =
        "vezeduduzUserNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:";

    // When the centre exists: its three methods are exchanged, and the push client's own delegate
    // object is set when the centre has none.
    static void setupUNUserNotificationCenterDelegate();
    static void setUseiOS10_2_workaround(bool enable);
    static bool isDismissEvent(const platform::usernotifications::NotificationResponse& response);
    static void processiOS10Open(const platform::usernotifications::NotificationResponse& response);

    // The hooked class of the last delegate: the class of its hierarchy declaring the centre's delegate
    // protocol, else its topmost class below the root (null before any delegate was set).
    static platform::objc::Class* hookedDelegateClass();
    // The push client's own centre delegate (null until it was needed).
    static platform::objc::ObjectHandle ownDelegate();
};

}  // namespace vezeduduz
