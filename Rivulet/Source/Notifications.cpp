#include "Rivulet/Source/Notifications.h"

#include "platform/foundation/NotificationCenter.h"
#include "platform/objc/Object.h"
#include "platform/objc/Runtime.h"

namespace rivulet {

namespace {
// A task carried in a Value: user info holds objects only as runtime object handles.
class TaskBox final : public platform::objc::Object {
public:
    explicit TaskBox(std::shared_ptr<platform::URLSessionTask> task)
        : Object(platform::objc::Runtime::shared().rootClass()), task(std::move(task)) {}
    const std::shared_ptr<platform::URLSessionTask> task;
};
}  // namespace

platform::Value boxTask(std::shared_ptr<platform::URLSessionTask> task) {
    return platform::Value(platform::ObjectHandle(std::make_shared<TaskBox>(std::move(task))));
}

std::shared_ptr<platform::URLSessionTask> taskFromUserInfo(const platform::Value& userInfo) {
    const platform::Value* v = userInfo.find(NotificationKey::Task);
    if (!v) return nullptr;
    auto box = std::dynamic_pointer_cast<TaskBox>(v->asObject());
    return box ? box->task : nullptr;
}

bool taskNotificationsObserved() { return platform::NotificationCenter::defaultCenter().observerCount() > 0; }

void postTaskNotification(const std::string& name, const void* sender, std::shared_ptr<platform::URLSessionTask> task,
                          platform::ValueDictionary extra) {
    if (!taskNotificationsObserved()) return;
    extra[NotificationKey::Task] = boxTask(std::move(task));
    platform::NotificationCenter::defaultCenter().postNotificationName(name, sender, platform::Value(std::move(extra)));
}

}  // namespace rivulet
