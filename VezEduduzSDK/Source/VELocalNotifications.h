#pragma once
// The background message the push client shows itself: a push without a system alert whose content
// ("ve_data"."buttons", or top-level "at" / "o") only the client can show.
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Value.h"
#include "platform/objc/Runtime.h"

namespace platform::uikit {
enum class BackgroundFetchResult : int64_t;
struct LocalNotification;
}  // namespace platform::uikit

namespace vezeduduz {

// Whether the message is one the push client shows itself: buttons as above and no "aps"."alert" (a
// message with a system alert is already shown by the system, and would appear twice).
bool carriesLocalButtons(const platform::Value& message);

// For such a message: on system 10 and later builds and shows the local notification (the completion
// is called once, after it was handed over) and answers true; below 10 schedules the older local
// notification and answers false (the caller completes). Any other message: false, nothing done.
bool showsLocalNotificationWithButtons(const platform::Value& message,
                                       const std::function<void(platform::uikit::BackgroundFetchResult)>& completion);

// The identifier the plain-open hook passes: no button was chosen.
inline constexpr const char* kLocalDefaultActionIdentifier = "__DEFAULT__";

// The application-delegate hooks for the older local notification (below system 10), injected under
//   application:didReceiveLocalNotification:
//   application:handleActionWithIdentifier:forLocalNotification:completionHandler:
inline constexpr const char* kLocalOpenedHandler = "vezEduduzLocalNotificationOpened:notification:";
inline constexpr const char* kLocalActionHandler =
    "vezEduduzLocalNotificationOpened:handleActionWithIdentifier:forLocalNotification:completionHandler:";
namespace local_hooks {
void localNotificationOpened(platform::objc::Object* self, platform::objc::Selector, platform::objc::ObjectHandle app,
                             std::shared_ptr<platform::uikit::LocalNotification> notification);
void localActionTaken(platform::objc::Object* self, platform::objc::Selector, platform::objc::ObjectHandle app,
                      std::string identifier, std::shared_ptr<platform::uikit::LocalNotification> notification,
                      std::function<void()> completion);
}  // namespace local_hooks

}  // namespace vezeduduz
