#include "VezEduduzSDK/Source/VezEduduzLocation.h"

#include <algorithm>

#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzClient.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/ResetRegistry.h"
#include "platform/objc/Runtime.h"
#include "platform/uikit/Application.h"

namespace vezeduduz {

namespace objc = platform::objc;
using objc::Object;
using objc::ObjectHandle;
using objc::sel;
using objc::Selector;
using platform::Value;
using platform::dispatch::MainLoop;
using platform::uikit::Application;
using platform::uikit::ApplicationState;
using platform::uikit::BackgroundTaskIdentifier;
using platform::uikit::kBackgroundTaskInvalid;

namespace {

constexpr const char* kManagerClassName = "CLLocationManager";
constexpr const char* kDelegateClassName = "VezEduduzLocation";
constexpr const char* kSendTimerKey = "VezEduduzLocation.sendTimer";
constexpr const char* kStartDelayKey = "VezEduduzLocation.startDelay";
constexpr int64_t kAuthorizedAlways = 3;

// Main-loop state.
struct LocationState {
    ObjectHandle locationManager;
    ObjectHandle sharedInstance;
    std::optional<double> sendTimerFireDate;  // the timer the reporter holds; nullopt: none (or forgotten)
    bool locationUpdatesStarted = false;
    bool initialDelayPassed = false;
    bool locationSentOnce = false;
    BackgroundTaskIdentifier backgroundTaskId = kBackgroundTaskInvalid;
    uint64_t generation = 0;
};

// The last fix: the registration reads it from its own queue.
struct LastFix {
    platform::dispatch::Mutex mutex;
    std::optional<VezEduduzLocation::Fix> fix GUARDED_BY(mutex);
    uint64_t numbered GUARDED_BY(mutex) = 0;
};

void resetLocation();

LocationState& state() {
    static LocationState* s = [] {
        mainThread.assertOnThread();
        statics();  // built (and on the reset registry) first, so the reporter is undone before it
        platform::ResetRegistry::add("vezeduduz.location", resetLocation);
        return new LocationState();
    }();
    return *s;
}

LastFix& lastFix() {
    static LastFix* f = new LastFix();
    return *f;
}

void endTask();

void resetLocation() {
    MainLoop::shared().cancel(kSendTimerKey);
    MainLoop::shared().cancel(kStartDelayKey);
    endTask();
    uint64_t generation = state().generation + 1;
    state() = LocationState();
    state().generation = generation;
    platform::dispatch::MutexLock lock(lastFix().mutex);
    lastFix().fix.reset();
}

bool consentMissing() { return VezEduduz::requiresUserPrivacyConsent(); }

bool appActive() {
    auto app = Application::shared();
    return app && app->applicationState() == ApplicationState::Active;
}

const Value* infoValue(std::string_view key) {
    auto bundle = platform::Bundle::mainBundle();
    return bundle ? bundle->objectForInfoDictionaryKey(key) : nullptr;
}

bool infoHasString(std::string_view key) {
    const Value* v = infoValue(key);
    return v && v->isString() && !v->stringOr("").empty();
}

bool backgroundModesContainLocation() {
    const Value* modes = infoValue("UIBackgroundModes");
    const platform::ValueArray* list = modes ? modes->asArray() : nullptr;
    return list && std::any_of(list->begin(), list->end(), [](const Value& m) { return m == Value("location"); });
}

int64_t managerAuthorizationStatus() {
    objc::Class* cls = objc::lookUpClass(kManagerClassName);
    if (!cls || !objc::respondsToSelector(cls, sel("authorizationStatus"))) return 0;
    return objc::send<int64_t>(cls, sel("authorizationStatus"));
}

// Each task ends by its own id: an expiry must not end a newer task, and a new task never leaves an
// older one running (the system would end the app for it).
void endTask() {
    auto& s = state();
    if (s.backgroundTaskId == kBackgroundTaskInvalid) return;
    BackgroundTaskIdentifier id = s.backgroundTaskId;
    s.backgroundTaskId = kBackgroundTaskInvalid;
    if (auto app = Application::shared()) app->endBackgroundTask(id);
}

void beginTask() {
    endTask();
    auto app = Application::shared();
    if (!app) return;
    auto own = std::make_shared<BackgroundTaskIdentifier>(kBackgroundTaskInvalid);
    uint64_t generation = state().generation;
    BackgroundTaskIdentifier id = app->beginBackgroundTask([own, generation] {
        if (auto a = Application::shared()) a->endBackgroundTask(*own);
        if (state().generation == generation && state().backgroundTaskId == *own)
            state().backgroundTaskId = kBackgroundTaskInvalid;
    });
    *own = id;
    state().backgroundTaskId = id;
}

// A one-shot timer for sendLocation after `seconds`; the previous one is invalidated first, so two
// chains never send twice.
void armSendTimer(double seconds) {
    auto& s = state();
    MainLoop::shared().cancel(kSendTimerKey);
    double fireDate = clockNow() + seconds;
    s.sendTimerFireDate = fireDate;
    uint64_t generation = s.generation;
    MainLoop::shared().postAfter(
        seconds,
        [generation, fireDate] {
            auto& st = state();
            if (st.generation != generation) return;
            if (st.sendTimerFireDate == fireDate) st.sendTimerFireDate.reset();
            VezEduduzLocation::sendLocation();
        },
        kSendTimerKey);
}

void didUpdateLocations(Object*, Selector, ObjectHandle manager, std::vector<ObjectHandle> locations) {
    mainThread.assertOnThread();
    if (consentMissing()) return;
    // A fix is usable only with a known accuracy; the platform may hand an empty or stale array.
    ObjectHandle usable;
    for (auto it = locations.rbegin(); it != locations.rend() && !usable; ++it)
        if (*it && objc::send<double>(*it, sel("horizontalAccuracy")) >= 0) usable = *it;
    if (!usable && statics().locationShared) return;         // keep updating until a real fix comes
    objc::send<void>(manager, sel("stopUpdatingLocation"));  // one fix per start
    if (!statics().locationShared) return;                   // sharing is off: the position is not kept

    auto coordinate = objc::send<std::pair<double, double>>(usable, sel("coordinate"));
    VELocationRecord record{coordinate.first, coordinate.second, objc::send<double>(usable, sel("verticalAccuracy")),
                            objc::send<double>(usable, sel("horizontalAccuracy"))};
    {
        platform::dispatch::MutexLock lock(lastFix().mutex);
        lastFix().fix = VezEduduzLocation::Fix{record, ++lastFix().numbered};
    }
    auto& s = state();
    if (!s.sendTimerFireDate) VezEduduzLocation::resetSendTimer();
    if (!s.locationSentOnce) VezEduduzLocation::sendLocation();
}

void didFailWithError(Object*, Selector, ObjectHandle, platform::Error error) {
    VezEduduz::vezeduduz_Log(VELogLevel::error, "CLLocationManager did fail with error: " + error.description());
}

ObjectHandle sharedInstance() {
    auto& s = state();
    if (s.sharedInstance) return s.sharedInstance;
    auto& rt = objc::Runtime::shared();
    objc::Class* cls = rt.lookUpClass(kDelegateClassName);
    if (!cls) {
        objc::ClassBuilder b(rt, kDelegateClassName, rt.rootClass());
        b.method(sel("locationManager:didUpdateLocations:"), objc::makeImp(&didUpdateLocations));
        b.method(sel("locationManager:didFailWithError:"), objc::makeImp(&didFailWithError));
        cls = b.registerClass();
        if (!cls) cls = rt.lookUpClass(kDelegateClassName);
    }
    s.sharedInstance = std::make_shared<Object>(cls);
    return s.sharedInstance;
}

}  // namespace

void VezEduduzLocation::getLocation(bool prompt) {
    onMainLoop([prompt] {
        auto& s = state();
        if (s.initialDelayPassed) {
            internalGetLocation(prompt);
            return;
        }
        uint64_t generation = s.generation;
        MainLoop::shared().postAfter(
            kStartDelay,
            [prompt, generation] {
                if (state().generation != generation) return;
                state().initialDelayPassed = true;
                internalGetLocation(prompt);
            },
            kStartDelayKey);
    });
}

void VezEduduzLocation::internalGetLocation(bool prompt) {
    auto& s = state();
    if (s.locationUpdatesStarted) return;
    objc::Class* cls = objc::lookUpClass(kManagerClassName);
    if (!cls || !objc::respondsToSelector(cls, sel("locationServicesEnabled"))) return;
    if (!objc::send<bool>(cls, sel("locationServicesEnabled"))) return;
    // Without a prompt, updates start only once the user has answered.
    if (managerAuthorizationStatus() == 0 && !prompt) return;

    ObjectHandle manager = objc::send<ObjectHandle>(objc::send<ObjectHandle>(cls, sel("alloc")), sel("init"));
    if (!manager) return;
    s.locationManager = manager;
    objc::send<void, ObjectHandle>(manager, sel("setDelegate:"), sharedInstance());

    if (VezEduduzHelper::isIOSVersionGreaterOrEqual(8.0f)) {
        bool alwaysDescription = infoValue("NSLocationAlwaysUsageDescription")
                                     ? infoHasString("NSLocationAlwaysUsageDescription")
                                     : infoHasString("NSLocationAlwaysAndWhenInUseUsageDescription");
        if (backgroundModesContainLocation() && alwaysDescription) {
            objc::send<void>(manager, sel("requestAlwaysAuthorization"));
            if (VezEduduzHelper::isIOSVersionGreaterOrEqual(9.0f))
                objc::send<void, bool>(manager, sel("setAllowsBackgroundLocationUpdates:"), true);
        } else if (infoHasString("NSLocationWhenInUseUsageDescription")) {
            objc::send<void>(manager, sel("requestWhenInUseAuthorization"));
        } else {
            VezEduduz::vezeduduz_Log(VELogLevel::error, kMissingDescriptionMessage);
        }
    }
    objc::send<void>(manager, sel("startUpdatingLocation"));
    s.locationUpdatesStarted = true;
}

void VezEduduzLocation::sendLocation() {
    if (!MainLoop::isMainThread()) {
        MainLoop::shared().post([] { sendLocation(); });
        return;
    }
    mainThread.assertOnThread();
    if (consentMissing() || !statics().locationShared) return;
    auto fix = lastLocation();
    auto userId = VezEduduz::mUserId();
    if (!fix || !userId) return;
    auto& s = state();
    if (s.locationSentOnce) resetSendTimer();
    s.locationSentOnce = true;

    auto networkType = VezEduduzHelper::getNetType();
    bool background = !appActive();
    auto email = VezEduduz::currentEmailSubscriptionState();
    VERequestGroup requests;
    if (email->emailUserId())
        requests["email"] = VERequestSendLocation::withUserId(email->emailUserId(), statics().app_id, fix->record,
                                                              networkType, background, email->emailAuthCode());
    requests["push"] =
        VERequestSendLocation::withUserId(userId, statics().app_id, fix->record, networkType, background, std::nullopt);
    // A background task held for this send ends once the service has answered.
    uint64_t generation = s.generation;
    BackgroundTaskIdentifier task = s.backgroundTaskId;
    auto done = [generation, task] {
        if (task == kBackgroundTaskInvalid || state().generation != generation) return;
        if (state().backgroundTaskId == task) endTask();
    };
    VezEduduzClient::sharedClient().executeSimultaneousRequests(
        requests, [done](const std::map<std::string, Value>&) { done(); },
        [done](const std::map<std::string, platform::Error>&) { done(); });
}

void VezEduduzLocation::resetSendTimer() { armSendTimer(appActive() ? kActiveInterval : kBackgroundInterval); }

void VezEduduzLocation::onfocus(bool becomingActive) {
    auto& s = state();
    if (consentMissing() || !s.locationManager || !s.locationUpdatesStarted) return;
    if (becomingActive) endTask();  // back in front: nothing runs on borrowed background time
    std::optional<double> left;
    if (s.sendTimerFireDate) left = *s.sendTimerFireDate - clockNow();
    double wait = left && *left > 0 ? *left : (becomingActive ? kActiveInterval : kBackgroundInterval);
    if (becomingActive) {
        if (s.sendTimerFireDate && s.locationSentOnce) armSendTimer(wait);
        return;
    }
    if (managerAuthorizationStatus() == kAuthorizedAlways) {
        beginTask();
        armSendTimer(wait);
    } else {
        // The handle is dropped; a timer already scheduled still fires once.
        s.sendTimerFireDate.reset();
    }
}

std::optional<VezEduduzLocation::Fix> VezEduduzLocation::lastLocation() {
    platform::dispatch::MutexLock lock(lastFix().mutex);
    return lastFix().fix;
}

void VezEduduzLocation::clearLastLocation() {
    platform::dispatch::MutexLock lock(lastFix().mutex);
    lastFix().fix.reset();
}

void VezEduduzLocation::clearLastLocation(uint64_t number) {
    platform::dispatch::MutexLock lock(lastFix().mutex);
    if (lastFix().fix && lastFix().fix->number == number) lastFix().fix.reset();
}

std::optional<double> VezEduduzLocation::timeLeftOnSendTimer() {
    auto& s = state();
    if (!s.sendTimerFireDate) return std::nullopt;
    return *s.sendTimerFireDate - clockNow();
}

bool VezEduduzLocation::holdsBackgroundTask() { return state().backgroundTaskId != kBackgroundTaskInvalid; }

}  // namespace vezeduduz
