#pragma once
// LocalNotification: the local notification of systems before the notification centre (below 10), and
// its delivery (LocalNotifications.cpp).
//
// Application::scheduleLocalNotification hands one to the system. It fires at once (no fire dates
// here): to an active app it goes straight to the delegate's application:didReceiveLocalNotification:;
// otherwise it shows ("notification.shown" {title, body, identifier, badge, category, actions}, when the
// user allowed alerts), its badge is applied, and it waits for the user. Application::tapShownNotification
// then brings the app up (inactive while it hears why) and calls
//   application:handleActionWithIdentifier:forLocalNotification:completionHandler:   for a button
//       void(ObjectHandle app, std::string identifier, std::shared_ptr<LocalNotification>, std::function<void()>)
//   application:didReceiveLocalNotification:                                           for a plain tap
//       void(ObjectHandle app, std::shared_ptr<LocalNotification>)
// The completion is tracked: called twice or never is a "fault" event.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace platform::uikit {

inline constexpr const char* kLocalNotificationDefaultSoundName = "UILocalNotificationDefaultSoundName";

struct LocalNotification {
    std::string identifier;  // given by the system when scheduled
    std::optional<std::string> alertTitle;
    std::string alertBody;
    Value userInfo = Value::dictionary();
    std::optional<std::string> soundName;
    int64_t applicationIconBadgeNumber = 0;
    std::string category;
};

}  // namespace platform::uikit
