#pragma once
// The push client's hooks on the application and its delegate.
//
// loadApplicationCategory() is the start-up entry: call it once, on the main thread, before the
// application sets its delegate (before UIApplicationMain / launchApplication). It exchanges the
// application's setDelegate: and setApplicationIconBadgeNumber: and the notification centre's
// setDelegate:, requestAuthorizationWithOptions:completionHandler: and
// getNotificationSettingsWithCompletionHandler: with the push client's handlers. When the
// application then sets its delegate, the delegate's push and life-cycle methods are injected into
// the class of its hierarchy that declares the delegate protocol (or the first subclass of it that
// overrides the method, or the delegate's own class when the delegate would not run either), so each
// callback reaches the push client first and the application's implementation (if it has one) second;
// the application forwards nothing.
//
// Threads: loading and delegate changes happen on the main thread; the hook state is guarded anyway.
#include "platform/objc/Runtime.h"

namespace vezeduduz {

void loadApplicationCategory();

class VezEduduzAppDelegate {
public:
    // Handlers carried by the runtime class "VezEduduzAppDelegate" and copied into the delegate's class.
    static constexpr const char* kSetDelegate = "setVezEduduzDelegate:";
    static constexpr const char* kSetBadge = "vezeduduzSetApplicationIconBadgeNumber:";
    static constexpr const char* kLoadedTag = "vezEduduzLoadedTagSelector:";
    static constexpr const char* kSilent = "vezEduduzRemoteSilentNotification:UserInfo:fetchCompletionHandler:";
    static constexpr const char* kRegisterSettings = "vezEduduzDidRegisterUserNotifications:settings:";
    static constexpr const char* kDidFail = "vezEduduzDidFailRegisterForRemoteNotification:error:";
    static constexpr const char* kDidRegister = "vezEduduzDidRegisterForRemoteNotifications:deviceToken:";
    static constexpr const char* kReceived = "vezEduduzReceivedRemoteNotification:userInfo:";
    static constexpr const char* kResignActive = "vezEduduzApplicationWillResignActive:";
    static constexpr const char* kEnterBackground = "vezEduduzApplicationDidEnterBackground:";
    static constexpr const char* kBecomeActive = "vezEduduzApplicationDidBecomeActive:";
    static constexpr const char* kTerminate = "vezEduduzApplicationWillTerminate:";

    // The hooked class (the one declaring the delegate protocol); null until a non-null delegate was set.
    static platform::objc::Class* delegateClass();
    // Whether `delegate` has a method of the application's own for `selector`: a handler the push client
    // added where there was none does not count.
    static bool applicationImplements(platform::objc::Object* delegate, platform::objc::Selector selector);
};

}  // namespace vezeduduz
