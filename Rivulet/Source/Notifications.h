#pragma once
// Task notifications, posted on the platform's default notification centre:
//   didResume / didSuspend / didCancel  - by Request::resume(), suspend(), cancel(); object: the Request
//   didComplete                         - by the SessionDelegate when a task completes; object: the delegate
// The user info always holds the task under NotificationKey::Task (boxed: read it back with
// taskFromUserInfo()); didComplete of a data or upload request without a stream closure also holds the
// received body (data) under NotificationKey::ResponseData. Delivery is synchronous, on the thread that
// posts (the caller's thread, or the session's delegate queue for completion). didResume and didCancel
// are posted just before the task is resumed or cancelled, so a task's didComplete always comes after them.
#include <memory>
#include <string>

#include "platform/foundation/Value.h"
#include "platform/urlsession/URLSessionTask.h"

namespace rivulet {

namespace NotificationName::Task {
inline constexpr const char* DidResume = "org.rivulet.notification.name.task.didResume";
inline constexpr const char* DidSuspend = "org.rivulet.notification.name.task.didSuspend";
inline constexpr const char* DidCancel = "org.rivulet.notification.name.task.didCancel";
inline constexpr const char* DidComplete = "org.rivulet.notification.name.task.didComplete";
}  // namespace NotificationName::Task

namespace NotificationKey {
inline constexpr const char* Task = "org.rivulet.notification.key.task";
inline constexpr const char* ResponseData = "org.rivulet.notification.key.responseData";
}  // namespace NotificationKey

// The task as a user-info value (an object handle wrapping it).
platform::Value boxTask(std::shared_ptr<platform::URLSessionTask> task);
// The task under NotificationKey::Task of a user info, or nullptr.
std::shared_ptr<platform::URLSessionTask> taskFromUserInfo(const platform::Value& userInfo);

// True when the default center has observers at all: a post to nobody need not be built.
bool taskNotificationsObserved();
// Posts `name` with {Task: task} (plus `extra` entries) and `sender` as object.
void postTaskNotification(const std::string& name, const void* sender, std::shared_ptr<platform::URLSessionTask> task,
                          platform::ValueDictionary extra = {});

}  // namespace rivulet
