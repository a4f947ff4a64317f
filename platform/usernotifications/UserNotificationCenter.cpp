#include "platform/usernotifications/UserNotificationCenter.h"

#include <algorithm>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/usernotifications/Delivery.h"

namespace platform::usernotifications {

using objc::sel;

namespace {

constexpr const char* kClassName = "UNUserNotificationCenter";

dispatch::Mutex currentMutex;
std::shared_ptr<UserNotificationCenter>& currentSlot() REQUIRES(currentMutex) {
    // Never destroyed: a queue's worker still asking for the centre while the process exits must not meet
    // the slot's destructor.
    static auto* c = new std::shared_ptr<UserNotificationCenter>;
    return *c;
}

UserNotificationCenter* nativeCenter(objc::Object* self) {
    auto* c = objc::native<UserNotificationCenter>(self);
    if (!c) throw std::logic_error("UNUserNotificationCenter method sent to another object");
    return c;
}

// The system answers its queries on threads of its own.
void onSystemThread(std::function<void()> block) { dispatch::DispatchQueue::global().async(std::move(block)); }

std::string timerKey(const std::string& identifier) { return "un.request." + identifier; }

}  // namespace

void registerClasses() {
    static dispatch::Mutex m;
    dispatch::MutexLock lock(m);
    auto& rt = objc::Runtime::shared();
    if (rt.lookUpClass(kClassName) || !PlatformConfig::systemVersion().atLeast(10)) return;
    objc::Class* cls = rt.registerClass(kClassName, rt.rootClass());
    rt.addMethod(
        cls->metaclass(), sel("currentNotificationCenter"),
        objc::makeImp([](objc::Object*, objc::Selector) -> ObjectHandle { return UserNotificationCenter::current(); }));
    rt.addMethod(cls, sel("delegate"), objc::makeImp([](objc::Object* self, objc::Selector) -> ObjectHandle {
                     return nativeCenter(self)->delegate();
                 }));
    rt.addMethod(cls, sel("setDelegate:"), objc::makeImp([](objc::Object* self, objc::Selector, ObjectHandle d) {
                     nativeCenter(self)->platformSetDelegate(std::move(d));
                 }));
    rt.addMethod(cls, sel("requestAuthorizationWithOptions:completionHandler:"),
                 objc::makeImp([](objc::Object* self, objc::Selector, int64_t options, AuthorizationHandler h) {
                     nativeCenter(self)->platformRequestAuthorization(options, std::move(h));
                 }));
    rt.addMethod(cls, sel("getNotificationSettingsWithCompletionHandler:"),
                 objc::makeImp([](objc::Object* self, objc::Selector, SettingsHandler h) {
                     nativeCenter(self)->platformGetSettings(std::move(h));
                 }));
}

const objc::Protocol* userNotificationCenterDelegateProtocol() {
    static const objc::Protocol* protocol = [] {
        auto& rt = objc::Runtime::shared();
        if (const objc::Protocol* registered = rt.registerProtocol("UNUserNotificationCenterDelegate"))
            return registered;
        return rt.lookUpProtocol("UNUserNotificationCenterDelegate");
    }();
    return protocol;
}

UserNotificationCenter::UserNotificationCenter(objc::Class* cls) : objc::Object(cls) {
    dispatch::MutexLock lock(mutex_);
    loadAuthorization();
}

std::shared_ptr<UserNotificationCenter> UserNotificationCenter::current() {
    if (!PlatformConfig::systemVersion().atLeast(10)) return nullptr;
    registerClasses();
    dispatch::MutexLock lock(currentMutex);
    auto& c = currentSlot();
    if (!c) c = std::make_shared<UserNotificationCenter>(objc::lookUpClass(kClassName));
    return c;
}

void UserNotificationCenter::resetCurrent() {
    std::shared_ptr<UserNotificationCenter> old;
    {
        dispatch::MutexLock lock(currentMutex);
        old.swap(currentSlot());
    }
    // A process's end takes its timers with it; the device keeps its lists.
    if (old) old->cancelTimers();
}

void UserNotificationCenter::cancelTimers() {
    std::vector<std::string> ids;
    {
        dispatch::MutexLock lock(mutex_);
        ids.swap(armed_);
    }
    for (auto& id : ids) dispatch::MainLoop::shared().cancel(timerKey(id));
}

ObjectHandle UserNotificationCenter::delegate() const {
    dispatch::MutexLock lock(mutex_);
    return delegate_.lock();
}

void UserNotificationCenter::setDelegate(ObjectHandle delegate) {
    objc::send<void, ObjectHandle>(shared_from_this(), sel("setDelegate:"), std::move(delegate));
}

void UserNotificationCenter::platformSetDelegate(ObjectHandle delegate) {
    dispatch::MutexLock lock(mutex_);
    delegate_ = delegate;
}

// --- authorization ---

void UserNotificationCenter::requestAuthorizationWithOptions(int64_t options, AuthorizationHandler completion) {
    objc::send<void, int64_t, AuthorizationHandler>(
        shared_from_this(), sel("requestAuthorizationWithOptions:completionHandler:"), options, std::move(completion));
}

void UserNotificationCenter::getNotificationSettingsWithCompletionHandler(SettingsHandler completion) {
    objc::send<void, SettingsHandler>(shared_from_this(), sel("getNotificationSettingsWithCompletionHandler:"),
                                      std::move(completion));
}

void UserNotificationCenter::platformRequestAuthorization(int64_t options, AuthorizationHandler completion) {
    bool provisionalOnly =
        (options & AuthorizationOptionProvisional) &&
        !(options & (AuthorizationOptionAlert | AuthorizationOptionBadge | AuthorizationOptionSound)) &&
        PlatformConfig::systemVersion().atLeast(12);
    bool granted = false;
    std::optional<std::string> prompted;
    {
        dispatch::MutexLock lock(mutex_);
        const AuthorizationStatus before = status_;
        const int64_t grantedBefore = grantedOptions_;
        if (status_ == AuthorizationStatus::NotDetermined && provisionalOnly) {
            status_ = AuthorizationStatus::Provisional;  // quiet delivery needs no prompt
            grantedOptions_ = options;
        } else if (status_ == AuthorizationStatus::NotDetermined ||
                   (status_ == AuthorizationStatus::Provisional && !provisionalOnly)) {
            std::string answer = PlatformConfig::current().notificationAuthorizationAnswer;
            prompted = answer;
            if (answer == "granted") {
                status_ = AuthorizationStatus::Authorized;
                grantedOptions_ = options;
            } else if (answer == "provisional" && PlatformConfig::systemVersion().atLeast(12)) {
                status_ = AuthorizationStatus::Provisional;
                grantedOptions_ = options;
            } else {
                status_ = AuthorizationStatus::Denied;
                grantedOptions_ = 0;
            }
        }
        if (status_ != before || grantedOptions_ != grantedBefore) storeAuthorization();
        granted = status_ == AuthorizationStatus::Authorized || status_ == AuthorizationStatus::Provisional;
    }
    if (prompted)
        DeviceEvents::post("notification.prompt", Value::dictionary({{"options", options}, {"answer", *prompted}}));
    if (!completion) return;
    onSystemThread([completion = std::move(completion), granted] { completion(granted, std::nullopt); });
}

AuthorizationStatus UserNotificationCenter::authorizationStatus() const {
    dispatch::MutexLock lock(mutex_);
    return status_;
}

NotificationSettings UserNotificationCenter::notificationSettings() const {
    dispatch::MutexLock lock(mutex_);
    NotificationSettings s;
    s.authorizationStatus = status_;
    auto setting = [&](bool on) { return on ? NotificationSetting::Enabled : NotificationSetting::Disabled; };
    switch (status_) {
    case AuthorizationStatus::NotDetermined:
        break;  // nothing is known yet: NotSupported throughout
    case AuthorizationStatus::Denied:
        s.alertSetting = s.badgeSetting = s.soundSetting = NotificationSetting::Disabled;
        s.lockScreenSetting = s.notificationCenterSetting = NotificationSetting::Disabled;
        break;
    case AuthorizationStatus::Provisional:
        s.alertSetting = s.badgeSetting = s.soundSetting = NotificationSetting::Disabled;
        s.lockScreenSetting = NotificationSetting::Disabled;
        s.notificationCenterSetting = NotificationSetting::Enabled;
        break;
    case AuthorizationStatus::Authorized:
        s.alertSetting = setting(grantedOptions_ & AuthorizationOptionAlert);
        s.badgeSetting = setting(grantedOptions_ & AuthorizationOptionBadge);
        s.soundSetting = setting(grantedOptions_ & AuthorizationOptionSound);
        s.lockScreenSetting = setting(grantedOptions_ & AuthorizationOptionAlert);
        s.notificationCenterSetting = NotificationSetting::Enabled;
        break;
    }
    return s;
}

void UserNotificationCenter::platformGetSettings(SettingsHandler completion) {
    if (!completion) return;
    NotificationSettings settings = notificationSettings();
    onSystemThread([completion = std::move(completion), settings] { completion(settings); });
}

// --- requests ---

void UserNotificationCenter::addNotificationRequest(NotificationRequest request,
                                                    std::function<void(std::optional<Error>)> completion) {
    std::optional<Error> error;
    if (request.identifier.empty()) {
        error = Error::withDescription(kUNErrorDomain, kUNErrorCodeNotificationInvalidNoIdentifier,
                                       "A notification request needs an identifier");
    } else if (request.trigger && request.trigger->kind == NotificationTrigger::Kind::TimeInterval &&
               (request.trigger->timeInterval < 0 ||
                (request.trigger->repeats && request.trigger->timeInterval < 60))) {
        error = Error::withDescription(kUNErrorDomain, kUNErrorCodeNotificationInvalidTriggerInterval,
                                       "Invalid time interval for the trigger");
    }
    if (!error) {
        std::string id = request.identifier;
        double delay = request.trigger && request.trigger->kind == NotificationTrigger::Kind::TimeInterval
                           ? request.trigger->timeInterval
                           : 0;
        {
            dispatch::MutexLock lock(mutex_);
            withStoredNotifications([&]() REQUIRES(mutex_) {
                std::erase_if(pending_, [&](const NotificationRequest& r) { return r.identifier == id; });
                pending_.push_back(std::move(request));
                return true;
            });
            if (std::find(armed_.begin(), armed_.end(), id) == armed_.end()) armed_.push_back(id);
        }
        auto& loop = dispatch::MainLoop::shared();
        loop.cancel(timerKey(id));
        std::weak_ptr<UserNotificationCenter> weak =
            std::static_pointer_cast<UserNotificationCenter>(shared_from_this());
        loop.postAfter(
            delay,
            [weak, id] {
                if (auto c = weak.lock()) c->fire(id);
            },
            timerKey(id));
    }
    if (completion) onSystemThread([completion = std::move(completion), error] { completion(error); });
}

void UserNotificationCenter::fire(const std::string& identifier) {
    std::optional<NotificationRequest> request;
    {
        // Another process may have removed the request meanwhile: then nothing fires.
        dispatch::MutexLock lock(mutex_);
        withStoredNotifications([&]() REQUIRES(mutex_) {
            auto it = std::find_if(pending_.begin(), pending_.end(),
                                   [&](const NotificationRequest& r) { return r.identifier == identifier; });
            if (it == pending_.end()) return false;
            request = *it;
            if (it->trigger && it->trigger->repeats) return false;
            pending_.erase(it);
            return true;
        });
        if (!request || !(request->trigger && request->trigger->repeats)) std::erase(armed_, identifier);
        if (!request) return;
    }
    if (request->trigger && request->trigger->repeats) {
        std::weak_ptr<UserNotificationCenter> weak =
            std::static_pointer_cast<UserNotificationCenter>(shared_from_this());
        dispatch::MainLoop::shared().postAfter(
            request->trigger->timeInterval,
            [weak, identifier] {
                if (auto c = weak.lock()) c->fire(identifier);
            },
            timerKey(identifier));
    }
    deliverLocalNotification(Notification{Date::now(), *request});
}

std::vector<NotificationRequest> UserNotificationCenter::pendingNotificationRequests() const {
    dispatch::MutexLock lock(mutex_);
    withStoredNotifications([] { return false; });
    return pending_;
}

void UserNotificationCenter::removeAllPendingNotificationRequests() {
    {
        dispatch::MutexLock lock(mutex_);
        withStoredNotifications([&]() REQUIRES(mutex_) {
            bool any = !pending_.empty();
            pending_.clear();
            return any;
        });
    }
    cancelTimers();
}

std::vector<Notification> UserNotificationCenter::deliveredNotifications() const {
    dispatch::MutexLock lock(mutex_);
    withStoredNotifications([] { return false; });
    return delivered_;
}

void UserNotificationCenter::recordDelivered(const Notification& notification) {
    dispatch::MutexLock lock(mutex_);
    withStoredNotifications([&]() REQUIRES(mutex_) {
        std::erase_if(delivered_,
                      [&](const Notification& n) { return n.request.identifier == notification.request.identifier; });
        delivered_.push_back(notification);
        // The device keeps the newest ones only, so the shared file stays small.
        if (delivered_.size() > kMaxDeliveredNotifications)
            delivered_.erase(delivered_.begin(),
                             delivered_.end() - static_cast<std::ptrdiff_t>(kMaxDeliveredNotifications));
        return true;
    });
}

std::optional<Notification> UserNotificationCenter::takeDelivered(const Value& userInfo) {
    dispatch::MutexLock lock(mutex_);
    std::optional<Notification> taken;
    withStoredNotifications([&]() REQUIRES(mutex_) {
        for (auto it = delivered_.rbegin(); it != delivered_.rend(); ++it) {
            if (it->request.content.userInfo == userInfo) {
                taken = *it;
                delivered_.erase(std::next(it).base());
                return true;
            }
        }
        return false;
    });
    return taken;
}

}  // namespace platform::usernotifications
