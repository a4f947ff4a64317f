#include "platform/corelocation/CoreLocation.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/ResetRegistry.h"
#include "platform/objc/Runtime.h"

namespace platform::corelocation {

using objc::Object;
using objc::ObjectHandle;
using objc::sel;
using objc::Selector;

namespace {

constexpr const char* kManagerClass = "CLLocationManager";
constexpr const char* kLocationClass = "CLLocation";

class LocationObject : public Object {
public:
    LocationObject(objc::Class* cls, Position p) : Object(cls), position(p) {}
    const Position position;
};

class ManagerObject : public Object {
public:
    using Object::Object;
    dispatch::Mutex mutex;
    objc::Weak<Object> delegate GUARDED_BY(mutex);
    bool updating GUARDED_BY(mutex) = false;
    bool allowsBackground GUARDED_BY(mutex) = false;
    // The position last handed to this manager's delegate, so one position is delivered once per start.
    std::optional<uint64_t> deliveredFix GUARDED_BY(mutex);
};

struct Device {
    dispatch::Mutex mutex;
    AuthorizationStatus status GUARDED_BY(mutex) = AuthorizationStatus::NotDetermined;
    bool servicesEnabled GUARDED_BY(mutex) = true;
    std::optional<Position> position GUARDED_BY(mutex);
    uint64_t fixNumber GUARDED_BY(mutex) = 0;  // bumped by every new position
    std::vector<std::weak_ptr<ManagerObject>> managers GUARDED_BY(mutex);
};

void resetDevice();

Device& device() {
    static Device* d = [] {
        ResetRegistry::add("corelocation.device", resetDevice);
        return new Device();  // lives for the process: managers may outlive static teardown
    }();
    return *d;
}

void resetDevice() {
    Device& d = device();
    dispatch::MutexLock lock(d.mutex);
    d.status = AuthorizationStatus::NotDetermined;
    d.servicesEnabled = true;
    d.position.reset();
    d.fixNumber = 0;
    d.managers.clear();
}

ManagerObject* nativeManager(Object* self) {
    auto* m = objc::native<ManagerObject>(self);
    if (!m) throw std::logic_error("CLLocationManager method sent to another object");
    return m;
}

bool authorized(AuthorizationStatus s) {
    return s == AuthorizationStatus::AuthorizedAlways || s == AuthorizationStatus::AuthorizedWhenInUse;
}

const Value* infoValue(std::string_view key) {
    auto bundle = Bundle::mainBundle();
    return bundle ? bundle->objectForInfoDictionaryKey(key) : nullptr;
}

bool hasInfoString(std::string_view key) {
    const Value* v = infoValue(key);
    return v && v->isString();
}

bool hasLocationBackgroundMode() {
    const Value* modes = infoValue("UIBackgroundModes");
    const ValueArray* list = modes ? modes->asArray() : nullptr;
    if (!list) return false;
    return std::any_of(list->begin(), list->end(), [](const Value& v) { return v == Value("location"); });
}

std::vector<std::shared_ptr<ManagerObject>> liveManagers() {
    Device& d = device();
    dispatch::MutexLock lock(d.mutex);
    std::vector<std::shared_ptr<ManagerObject>> out;
    auto& list = d.managers;
    list.erase(std::remove_if(list.begin(), list.end(), [](const auto& w) { return w.expired(); }), list.end());
    for (auto& w : list)
        if (auto m = w.lock()) out.push_back(std::move(m));
    return out;
}

// Tells one updating manager what the device knows now: the position when allowed, the refusal when
// not. Runs on the main loop.
void deliver(const std::shared_ptr<ManagerObject>& manager) {
    AuthorizationStatus status;
    bool enabled;
    std::optional<Position> position;
    uint64_t fix;
    {
        Device& d = device();
        dispatch::MutexLock lock(d.mutex);
        status = d.status;
        enabled = d.servicesEnabled;
        position = d.position;
        fix = d.fixNumber;
    }
    ObjectHandle delegate;
    {
        dispatch::MutexLock lock(manager->mutex);
        if (!manager->updating || !enabled) return;
        delegate = manager->delegate.lock();
        if (authorized(status)) {
            if (!position || manager->deliveredFix == fix) return;
            manager->deliveredFix = fix;
        }
    }
    if (!delegate) return;
    ObjectHandle self = manager;
    if (authorized(status)) {
        Selector s = sel("locationManager:didUpdateLocations:");
        if (!objc::respondsToSelector(delegate, s)) return;
        auto location = std::make_shared<LocationObject>(objc::lookUpClass(kLocationClass), *position);
        objc::send<void, ObjectHandle, std::vector<ObjectHandle>>(delegate, s, self, {location});
    } else if (status == AuthorizationStatus::Denied || status == AuthorizationStatus::Restricted) {
        Selector s = sel("locationManager:didFailWithError:");
        if (!objc::respondsToSelector(delegate, s)) return;
        objc::send<void, ObjectHandle, Error>(
            delegate, s, self, Error::withDescription(kErrorDomain, kErrorDenied, "The app may not use the location."));
    }
}

void deliverLater(const std::shared_ptr<ManagerObject>& manager) {
    std::weak_ptr<ManagerObject> weak = manager;
    dispatch::MainLoop::shared().post([weak] {
        if (auto m = weak.lock()) deliver(m);
    });
}

// A new answer of the user: every delegate hears it (main loop), updating managers may now locate.
void statusChanged(AuthorizationStatus status) {
    for (auto& manager : liveManagers()) {
        std::weak_ptr<ManagerObject> weak = manager;
        dispatch::MainLoop::shared().post([weak, status] {
            auto m = weak.lock();
            if (!m) return;
            ObjectHandle delegate;
            {
                dispatch::MutexLock lock(m->mutex);
                delegate = m->delegate.lock();
            }
            Selector s = sel("locationManager:didChangeAuthorizationStatus:");
            if (delegate && objc::respondsToSelector(delegate, s))
                objc::send<void, ObjectHandle, int64_t>(delegate, s, ObjectHandle(m), static_cast<int64_t>(status));
            deliver(m);
        });
    }
}

void requestAuthorization(AuthorizationStatus asked, bool describedInInfo) {
    {
        Device& d = device();
        dispatch::MutexLock lock(d.mutex);
        // The device asks once, and never for an app that does not say why it wants the location.
        if (d.status != AuthorizationStatus::NotDetermined || !describedInInfo) return;
        d.status = asked;
    }
    bool always = asked == AuthorizationStatus::AuthorizedAlways;
    DeviceEvents::post("location.prompt", Value::dictionary({{"kind", always ? "always" : "when-in-use"},
                                                             {"answer", authorizationStatusName(asked)}}));
    statusChanged(asked);
}

void setUpdating(Object* self, bool on) {
    auto* m = nativeManager(self);
    {
        dispatch::MutexLock lock(m->mutex);
        if (m->updating == on) return;
        m->updating = on;
        if (on) m->deliveredFix.reset();
    }
    DeviceEvents::post("location.updates", Value::dictionary({{"state", on ? "started" : "stopped"}}));
    if (on) deliverLater(std::static_pointer_cast<ManagerObject>(self->shared_from_this()));
}

void registerAll() {
    auto& rt = objc::Runtime::shared();
    objc::Class* location = rt.registerClass(kLocationClass, rt.rootClass());
    auto position = [](Object* self) -> const Position& {
        auto* l = objc::native<LocationObject>(self);
        if (!l) throw std::logic_error("CLLocation method sent to another object");
        return l->position;
    };
    rt.addMethod(location, sel("coordinate"), objc::makeImp([position](Object* self, Selector) {
                     return std::pair<double, double>(position(self).latitude, position(self).longitude);
                 }));
    rt.addMethod(location, sel("horizontalAccuracy"), objc::makeImp([position](Object* self, Selector) -> double {
                     return position(self).horizontalAccuracy;
                 }));
    rt.addMethod(location, sel("verticalAccuracy"), objc::makeImp([position](Object* self, Selector) -> double {
                     return position(self).verticalAccuracy;
                 }));

    objc::Class* manager = rt.registerClass(kManagerClass, rt.rootClass());
    rt.addMethod(manager->metaclass(), sel("locationServicesEnabled"),
                 objc::makeImp([](Object*, Selector) -> bool { return servicesEnabled(); }));
    rt.addMethod(manager->metaclass(), sel("authorizationStatus"), objc::makeImp([](Object*, Selector) -> int64_t {
                     return static_cast<int64_t>(authorizationStatus());
                 }));
    rt.addMethod(manager->metaclass(), sel("alloc"), objc::makeImp([](Object* self, Selector) -> ObjectHandle {
                     auto m = std::make_shared<ManagerObject>(static_cast<objc::Class*>(self));
                     Device& d = device();
                     dispatch::MutexLock lock(d.mutex);
                     d.managers.push_back(m);
                     return m;
                 }));
    rt.addMethod(manager, sel("init"),
                 objc::makeImp([](Object* self, Selector) -> ObjectHandle { return self->shared_from_this(); }));
    rt.addMethod(manager, sel("delegate"), objc::makeImp([](Object* self, Selector) -> ObjectHandle {
                     auto* m = nativeManager(self);
                     dispatch::MutexLock lock(m->mutex);
                     return m->delegate.lock();
                 }));
    rt.addMethod(manager, sel("setDelegate:"), objc::makeImp([](Object* self, Selector, ObjectHandle delegate) {
                     auto* m = nativeManager(self);
                     dispatch::MutexLock lock(m->mutex);
                     m->delegate = delegate;
                 }));
    rt.addMethod(manager, sel("requestAlwaysAuthorization"), objc::makeImp([](Object*, Selector) {
                     requestAuthorization(AuthorizationStatus::AuthorizedAlways,
                                          hasInfoString("NSLocationAlwaysUsageDescription") ||
                                              hasInfoString("NSLocationAlwaysAndWhenInUseUsageDescription"));
                 }));
    rt.addMethod(manager, sel("requestWhenInUseAuthorization"), objc::makeImp([](Object*, Selector) {
                     requestAuthorization(AuthorizationStatus::AuthorizedWhenInUse,
                                          hasInfoString("NSLocationWhenInUseUsageDescription"));
                 }));
    rt.addMethod(manager, sel("allowsBackgroundLocationUpdates"), objc::makeImp([](Object* self, Selector) -> bool {
                     auto* m = nativeManager(self);
                     dispatch::MutexLock lock(m->mutex);
                     return m->allowsBackground;
                 }));
    rt.addMethod(manager, sel("setAllowsBackgroundLocationUpdates:"),
                 objc::makeImp([](Object* self, Selector, bool allow) {
                     if (allow && !hasLocationBackgroundMode())
                         throw std::logic_error("setAllowsBackgroundLocationUpdates: YES needs the background "
                                                "mode \"location\" in Info.plist");
                     auto* m = nativeManager(self);
                     dispatch::MutexLock lock(m->mutex);
                     m->allowsBackground = allow;
                 }));
    rt.addMethod(manager, sel("startUpdatingLocation"),
                 objc::makeImp([](Object* self, Selector) { setUpdating(self, true); }));
    rt.addMethod(manager, sel("stopUpdatingLocation"),
                 objc::makeImp([](Object* self, Selector) { setUpdating(self, false); }));
}

}  // namespace

const char* authorizationStatusName(AuthorizationStatus status) {
    switch (status) {
    case AuthorizationStatus::NotDetermined:
        return "not-determined";
    case AuthorizationStatus::Restricted:
        return "restricted";
    case AuthorizationStatus::Denied:
        return "denied";
    case AuthorizationStatus::AuthorizedAlways:
        return "always";
    case AuthorizationStatus::AuthorizedWhenInUse:
        return "when-in-use";
    }
    return "not-determined";
}

std::optional<AuthorizationStatus> authorizationStatusNamed(const std::string& name) {
    for (auto s : {AuthorizationStatus::NotDetermined, AuthorizationStatus::Restricted, AuthorizationStatus::Denied,
                   AuthorizationStatus::AuthorizedAlways, AuthorizationStatus::AuthorizedWhenInUse})
        if (name == authorizationStatusName(s)) return s;
    return std::nullopt;
}

void registerClasses() {
    static dispatch::Mutex m;
    dispatch::MutexLock lock(m);
    device();  // its reset is on the registry from the start
    if (objc::lookUpClass(kManagerClass) || !PlatformConfig::current().optionalFrameworks.count(kFrameworkName)) return;
    registerAll();
}

void setAuthorizationStatus(AuthorizationStatus status) {
    {
        Device& d = device();
        dispatch::MutexLock lock(d.mutex);
        if (d.status == status) return;
        d.status = status;
    }
    statusChanged(status);
}

AuthorizationStatus authorizationStatus() {
    Device& d = device();
    dispatch::MutexLock lock(d.mutex);
    return d.status;
}

void setServicesEnabled(bool enabled) {
    {
        Device& d = device();
        dispatch::MutexLock lock(d.mutex);
        d.servicesEnabled = enabled;
    }
    if (enabled)
        for (auto& m : liveManagers()) deliverLater(m);
}

bool servicesEnabled() {
    Device& d = device();
    dispatch::MutexLock lock(d.mutex);
    return d.servicesEnabled;
}

void setPosition(Position p) {
    {
        Device& d = device();
        dispatch::MutexLock lock(d.mutex);
        d.position = p;
        ++d.fixNumber;
    }
    for (auto& m : liveManagers()) deliverLater(m);
}

std::optional<Position> position() {
    Device& d = device();
    dispatch::MutexLock lock(d.mutex);
    return d.position;
}

int updatingManagers() {
    int n = 0;
    for (auto& m : liveManagers()) {
        dispatch::MutexLock lock(m->mutex);
        if (m->updating) ++n;
    }
    return n;
}

int backgroundManagers() {
    int n = 0;
    for (auto& m : liveManagers()) {
        dispatch::MutexLock lock(m->mutex);
        if (m->allowsBackground) ++n;
    }
    return n;
}

}  // namespace platform::corelocation
