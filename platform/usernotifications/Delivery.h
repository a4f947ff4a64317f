#pragma once
// The simulated user and system side of notifications, for the host and tests. Main thread.
//
// deliverRemoteNotification(userInfo), by system version and application state:
// - 10 and later, app active: the centre's delegate hears willPresentNotification; the options its
//   completion answers decide what shows (alert, for a notification with a title or body:
//   "notification.shown" {title, body, identifier, and
//   badge, category with its actions, attachments when there are some}; badge: the icon badge). No delegate method:
//   nothing shows. A content-available push also reaches the app delegate's
//   didReceiveRemoteNotification:fetchCompletionHandler:.
// - app not active (or below 10): the notification shows when the user allowed alerts and it has a
//   title or body, its badge is applied, and, for a "content-available" push only, the app delegate's
//   application:didReceiveRemoteNotification:fetchCompletionHandler: is called in the background, just after
//   "push.woke" {identifier, state}. Below 10 with the app
//   active, that call (else application:didReceiveRemoteNotification:) is all that happens.
// - a push neither shown nor handed to the app by any of these is dropped: "push.dropped" {reason}.
// tapNotification(userInfo, actionIdentifier): the app comes to the foreground (willEnterForeground,
// state inactive), the response is delivered - 10 and later: the centre delegate's
// didReceiveNotificationResponse; below: the app delegate's action handler for a custom action,
// else fetchCompletionHandler, else didReceiveRemoteNotification: - then the app becomes active.
//
// "notification.shown" is said once the notification is kept (from 10 on, on disk).
//
// Every completion handed to app code is tracked: called twice or never is a "fault" event.
#include <string>

#include "platform/foundation/Value.h"
#include "platform/usernotifications/NotificationTypes.h"

namespace platform::usernotifications {

void deliverRemoteNotification(const Value& userInfo);
// The same with the content a service extension made of the payload (title, badge, category,
// attachments, ...); userInfo stays the payload.
void deliverRemoteNotification(const Value& userInfo, const NotificationContent& content);
// The user taps a notification the device shows, by its identifier ("" for the last shown): from 10 on
// one the centre shows; below, one the application keeps (a local one it scheduled, or a remote one).
// False when there is no such notification.
bool tapDeliveredNotification(const std::string& identifier,
                              const std::string& actionIdentifier = kDefaultActionIdentifier);
void tapNotification(const Value& userInfo, const std::string& actionIdentifier = kDefaultActionIdentifier);

// Platform internal: a local request's trigger fired.
void deliverLocalNotification(const Notification& notification);

}  // namespace platform::usernotifications
