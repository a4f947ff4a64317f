#include "measurement/engine/MSRAnalytics.h"

#include <map>

#include "measurement/engine/MSRAppDelegateInterceptor.h"
#include "measurement/engine/MSRMeasurement.h"
#include "measurement/engine/internal/MSRAnalyticsIdle.h"
#include "measurement/storage/MSRNameUtil.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/OperationQueue.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/ResetRegistry.h"
#include "platform/foundation/UUID.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/objc/Runtime.h"
#include "zidedova_core/ZDVConfiguration.h"
#include "zidedova_core/utilities/ZUTNetwork.h"

namespace measurement {

using platform::Value;
using zidedova::ZDVLogEventListener;

namespace {

struct Engine {
    platform::dispatch::Mutex mutex;
    bool started GUARDED_BY(mutex) = false;
    bool enabled GUARDED_BY(mutex) = true;
    bool deactivated GUARDED_BY(mutex) = false;
    double minimumSessionInterval GUARDED_BY(mutex) = 0;
    double sessionTimeoutInterval GUARDED_BY(mutex) = 0;
    std::vector<platform::NotificationCenter::ObserverToken> configurationObservers GUARDED_BY(mutex);
    std::string appID GUARDED_BY(mutex);
    std::string appInstanceID GUARDED_BY(mutex) = platform::UUID().uuidString();
    double loadTimestamp GUARDED_BY(mutex) = platform::Date::now().timeIntervalSince1970();
    zidedova::ZDVLogEventInterceptor interceptor GUARDED_BY(mutex);
    std::map<const void*, std::pair<zidedova::ZDVLogEventListenerHandle, ZDVLogEventListener>>
        listeners GUARDED_BY(mutex);
    zidedova::ZDVOpenURLListener openURLListener GUARDED_BY(mutex);
    std::function<void(const std::optional<std::string>&, const std::optional<std::string>&)>
        screenViewHandler GUARDED_BY(mutex);
    platform::dispatch::DispatchQueue queue{kMSRAnalyticsQueueLabel};
    platform::dispatch::OperationQueue operations;

    Engine() {
        operations.setName(kMSROperationQueueName);
        operations.setMaxConcurrentOperationCount(1);
        operations.setSuspended(true);
    }
};

void resetEngine();

Engine& engine() {
    static Engine* engine = [] {
        auto* made = new Engine();  // never destroyed: queued blocks may run at exit
        platform::ResetRegistry::add("measurement.analytics", resetEngine);
        return made;
    }();
    return *engine;
}

// A fresh engine state: not started, queue suspended, no listeners or user properties.
void resetEngine() {
    auto& e = engine();
    e.queue.sync([] {});
    e.operations.cancelAllOperations();
    (void)e.operations.waitUntilAllOperationsAreFinished(5);  // bounded: a stuck operation must not hold a reset
    e.operations.setSuspended(true);
    std::vector<platform::NotificationCenter::ObserverToken> observers;  // removed outside the lock
    {
        platform::dispatch::MutexLock lock(e.mutex);
        observers.swap(e.configurationObservers);
        e.started = false;
        e.enabled = true;
        e.deactivated = false;
        e.minimumSessionInterval = 0;
        e.sessionTimeoutInterval = 0;
        e.appID.clear();
        e.appInstanceID = platform::UUID().uuidString();
        e.loadTimestamp = platform::Date::now().timeIntervalSince1970();
        e.interceptor = nullptr;
        e.listeners.clear();
        e.openURLListener = nullptr;
    }
    if (auto measurement = MSRMeasurement::sharedInstance()) measurement->removeAllUserAttributes();
}

std::shared_ptr<MSRMonitor> monitor() { return MSRMonitor::shared(); }

void logError(const std::string& origin, int64_t code, const std::string& name) {
    MSRAnalytics::logEvent(ZDVAnalyticsEvent{origin, false, "_err", Value::dictionary({{"_err", code}, {"_ev", name}}),
                                             platform::Date::now().timeIntervalSince1970(), false, false});
}

// The stored collection switch, when the app set one.
std::optional<bool> storedEnabledState() {
    auto state = platform::UserDefaults::standard()->integerForKey(zidedova::kMeasurementEnabledStateKey);
    if (state == 1) return true;
    if (state == 2) return false;
    return std::nullopt;
}

// Follows the app core's configuration: the collection switch and the session intervals.
void observeConfiguration(Engine& e) {
    auto& center = platform::NotificationCenter::defaultCenter();
    std::vector<platform::NotificationCenter::ObserverToken> tokens;
    auto observe = [&](const char* name, std::function<void(const Value&)> apply) {
        tokens.push_back(center.addObserver(std::string(name), nullptr, [name, apply](const platform::Notification& n) {
            const Value& value = n.userInfo[name];
            if (!value.isNull()) apply(value);
        }));
    };
    observe(zidedova::kDOREdozadedoConfigurationSetEnabledNotification, [](const Value& value) {
        if (!value.isBool() && !value.isNumber()) return;
        bool on = value.isBool() ? value.boolOr(true) : value.doubleOr(1) != 0;
        {
            platform::dispatch::MutexLock lock(engine().mutex);
            engine().enabled = on && !engine().deactivated;
        }
        monitor()->logWithLevel(6, 23002, on ? "Analytics collection enabled" : "Analytics collection disabled",
                                Value());
    });
    observe(zidedova::kDOREdozadedoConfigurationSetMinimumSessionIntervalNotification, [](const Value& value) {
        double seconds = value.doubleOr(-1);
        if (seconds < 0) return;
        platform::dispatch::MutexLock lock(engine().mutex);
        engine().minimumSessionInterval = seconds;
    });
    observe(zidedova::kDOREdozadedoConfigurationSetSessionTimeoutIntervalNotification, [](const Value& value) {
        double seconds = value.doubleOr(-1);
        if (seconds < 0) return;
        platform::dispatch::MutexLock lock(engine().mutex);
        engine().sessionTimeoutInterval = seconds;
    });
    platform::dispatch::MutexLock lock(e.mutex);
    for (auto& token : tokens) e.configurationObservers.push_back(std::move(token));
}

}  // namespace

void MSRAnalytics::startWithAppID(const std::string& appID, const std::string& origin, const Value& options) {
    if (!MSRIsSupportedSystemVersion()) {
        monitor()->logWithLevel(3, 25000, "Measurement is not supported on this system version", Value());
        return;
    }
    if (origin != "fa" && platform::objc::lookUpClass("DOREdozadedo")) return;  // the app core starts it
    auto& e = engine();
    {
        platform::dispatch::MutexLock lock(e.mutex);
        if (e.started) return;
        e.started = true;
        e.appID = appID;
        e.deactivated = options[zidedova::kZDVAnalyticsCollectionDeactivatedKey].boolOr(false);
        bool enabled = storedEnabledState().value_or(options[zidedova::kZDVAnalyticsCollectionEnabledKey].boolOr(true));
        e.enabled = !e.deactivated && enabled;
    }
    observeConfiguration(e);
    monitor()->logWithLevel(6, 23000, "Analytics starting with app id", Value(appID));
    MSRInstallAppDelegateProxy();
    e.queue.async([] { unsuspendOperationQueue(); });  // start-up ends after earlier queued work
}

bool MSRAnalytics::isStarted() {
    platform::dispatch::MutexLock lock(engine().mutex);
    return engine().started;
}

bool MSRAnalytics::isMeasurementEnabled() {
    platform::dispatch::MutexLock lock(engine().mutex);
    return engine().enabled;
}

double MSRAnalytics::minimumSessionInterval() {
    platform::dispatch::MutexLock lock(engine().mutex);
    return engine().minimumSessionInterval;
}

double MSRAnalytics::sessionTimeoutInterval() {
    platform::dispatch::MutexLock lock(engine().mutex);
    return engine().sessionTimeoutInterval;
}

void MSRAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name, const Value& parameters) {
    auto error = MSRValidatePublicEventName(name);
    if (error != MSRNameError::None) {
        monitor()->logWithLevel(1, 25002, "Event name is invalid", Value(name));
        logError(origin, int64_t(error), name);
        return;
    }
    logEvent({origin, true, name, parameters, platform::Date::now().timeIntervalSince1970(), false, false});
}

void MSRAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const Value& parameters) {
    Value params = parameters.isDictionary() ? parameters : Value::dictionary();
    if (origin == "am") {
        // "_aeid" arrives as text from the app measurement side; the engine keeps it as a number.
        if (const std::string* aeid = params["_aeid"].asString()) {
            try {
                params.set("_aeid", Value(int64_t(std::stoll(*aeid))));
            } catch (const std::exception&) {
                params.erase("_aeid");
            }
        }
    }
    logEvent({origin, false, name, params, platform::Date::now().timeIntervalSince1970(), false, false});
}

void MSRAnalytics::logEvent(ZDVAnalyticsEvent event) {
    if (!event.parameters.isDictionary()) event.parameters = Value::dictionary();
    auto& e = engine();
    {
        // The switch as it stands when the event is logged, not when the queue gets to it.
        platform::dispatch::MutexLock lock(e.mutex);
        if (!e.enabled && !event.ignoreEnabled) return;
    }
    e.queue.async([event = std::move(event)]() mutable {
        auto& e = engine();
        zidedova::ZDVLogEventInterceptor interceptor;
        {
            platform::dispatch::MutexLock lock(e.mutex);
            interceptor = e.interceptor;
        }
        if (interceptor && !event.ignoreInterceptor) {
            auto rewritten = interceptor(event);
            if (!rewritten) return;
            event = std::move(*rewritten);
        }
        notifyEventListeners({event});
    });
}

void MSRAnalytics::setUserPropertyString(const Value& value, const std::string& name) {
    auto measurement = MSRMeasurement::sharedInstance();
    if (!measurement) return;
    if (value.isNull()) {
        measurement->removeUserAttribute(name);
        return;
    }
    const std::string* text = value.asString();
    if (!text) {
        monitor()->logWithLevel(1, 25003, "User property must be NSString. Value", value);
        return;
    }
    if (auto error = MSRValidatePublicUserPropertyName(name); error != MSRNameError::None) {
        logError("app", error == MSRNameError::Reserved ? 15 : 6, name);
        return;
    }
    if (text->size() > kMSRMaxUserPropertyValueLength) {
        logError("app", 7, name);
        return;
    }
    measurement->setUserAttribute({"app", name, value, platform::Date::now().timeIntervalSince1970()});
}

void MSRAnalytics::setUserID(const Value& userID) {
    auto measurement = MSRMeasurement::sharedInstance();
    if (!measurement) return;
    if (!userID.isNull() && !userID.isString()) {
        monitor()->logWithLevel(1, 25004, "User ID must be NSString. User ID", userID);
        return;
    }
    measurement->setUserAttribute({"app", "_id", userID, platform::Date::now().timeIntervalSince1970()});
}

void MSRAnalytics::setInternalUserProperty(const Value& value, const std::string& name, const std::string& origin) {
    auto measurement = MSRMeasurement::sharedInstance();
    if (!measurement) return;
    if (origin.empty() || origin.size() > 32) {
        monitor()->logWithLevel(1, 25005, "Invalid user property origin", Value(origin));
        return;
    }
    if (name.empty() || name.size() > 24) {
        logError(origin, 6, name);
        return;
    }
    if (const std::string* s = value.asString(); s && s->size() > kMSRMaxUserPropertyValueLength) {
        logError(origin, 7, name);
        return;
    }
    measurement->setUserAttribute({origin, name, value, platform::Date::now().timeIntervalSince1970()});
}

void MSRAnalytics::maxUserPropertiesForOrigin(const std::string& origin, const zidedova::ZDVOptionalQueue& queue,
                                              const zidedova::ZDVMaxUserPropertiesCallback& callback) {
    if (origin.empty() || !queue || !callback) {
        monitor()->logWithLevel(1, 25006, "Max user properties request refused", Value(origin));
        return;
    }
    queue->async([callback] { callback(25); });
}

void MSRAnalytics::userPropertiesIncludingInternal(bool includeInternal, const zidedova::ZDVOptionalQueue& queue,
                                                   const zidedova::ZDVUserPropertiesCallback& callback) {
    auto measurement = MSRMeasurement::sharedInstance();
    if (!measurement || !queue || !callback) return;
    measurement->workerQueue().async([measurement, includeInternal, queue, callback] {
        platform::ValueDictionary out;
        for (const auto& [name, attribute] : measurement->userAttributes()) {
            if (!includeInternal && !name.empty() && name[0] == '_') continue;
            out[name] = Value::dictionary(
                {{"origin", attribute.origin}, {"value", attribute.value}, {"timestamp", attribute.lastSetTimestamp}});
        }
        queue->async([callback, out = std::move(out)] { callback(out); });
    });
}

void MSRAnalytics::setScreenName(const std::optional<std::string>& name,
                                 const std::optional<std::string>& screenClass) {
    if (!platform::dispatch::MainLoop::isMainThread()) {
        monitor()->logWithLevel(4, 25025, "setScreenName:screenClass: must be called from the main thread", Value());
        return;
    }
    std::function<void(const std::optional<std::string>&, const std::optional<std::string>&)> handler;
    {
        platform::dispatch::MutexLock lock(engine().mutex);
        handler = engine().screenViewHandler;
    }
    if (handler) handler(name, screenClass);
}

std::optional<std::string> MSRAnalytics::appInstanceID() {
    if (!MSRIsSupportedSystemVersion()) return std::nullopt;
    platform::dispatch::MutexLock lock(engine().mutex);
    return engine().appInstanceID;
}

void MSRAnalytics::resetAnalyticsData() {
    {
        platform::dispatch::MutexLock lock(engine().mutex);
        engine().loadTimestamp = platform::Date::now().timeIntervalSince1970();
    }
    engine().queue.async([] {
        if (auto measurement = MSRMeasurement::sharedInstance()) measurement->removeAllUserAttributes();
        platform::dispatch::MutexLock lock(engine().mutex);
        engine().appInstanceID = platform::UUID().uuidString();
    });
}

void MSRAnalytics::setLogEventInterceptor(zidedova::ZDVLogEventInterceptor interceptor) {
    platform::dispatch::MutexLock lock(engine().mutex);
    engine().interceptor = std::move(interceptor);
}

zidedova::ZDVLogEventListenerHandle MSRAnalytics::addLogEventListener(ZDVLogEventListener listener) {
    if (!listener) return nullptr;
    auto handle = std::make_shared<int>(0);
    platform::dispatch::MutexLock lock(engine().mutex);
    engine().listeners[handle.get()] = {handle, std::move(listener)};
    return handle;
}

void MSRAnalytics::removeLogEventListener(const zidedova::ZDVLogEventListenerHandle& handle) {
    if (!handle) {
        monitor()->logWithLevel(4, 25013, "Attempted removal of nil log event.", Value());
        return;
    }
    platform::dispatch::MutexLock lock(engine().mutex);
    engine().listeners.erase(handle.get());
}

void MSRAnalytics::notifyEventListeners(std::vector<ZDVAnalyticsEvent> events) {
    engine().operations.addOperation([events = std::move(events)] {
        std::vector<ZDVLogEventListener> listeners;
        {
            platform::dispatch::MutexLock lock(engine().mutex);
            for (const auto& [key, entry] : engine().listeners) listeners.push_back(entry.second);
        }
        for (const auto& listener : listeners) listener(events);
    });
}

void MSRAnalytics::setOpenURLListener(zidedova::ZDVOpenURLListener listener) {
    platform::dispatch::MutexLock lock(engine().mutex);
    engine().openURLListener = std::move(listener);
}

void MSRAnalytics::handleOpenURL(const std::string& url) {
    zidedova::ZDVOpenURLListener listener;
    {
        platform::dispatch::MutexLock lock(engine().mutex);
        listener = engine().openURLListener;
    }
    double now = platform::Date::now().timeIntervalSince1970();
    engine().queue.async([url, now] {
        monitor()->logWithLevel(7, 23010, "Handling open URL", Value(url));
        (void)now;  // campaign attribution has no store to go to here
    });
    if (listener) listener(url);
}

void MSRAnalytics::handleUserActivity(const std::shared_ptr<platform::uikit::UserActivity>& activity) {
    if (!activity || !activity->webpageURL) return;
    std::string deepLink = activity->webpageURL->absoluteString();
    double now = platform::Date::now().timeIntervalSince1970();
    engine().queue.async([deepLink, now] {
        monitor()->logWithLevel(7, 23011, "Handling user activity", Value(deepLink));
        (void)now;  // campaign attribution has no store to go to here
    });
}

void MSRAnalytics::handleEventsForBackgroundURLSession(const std::string& identifier, zidedova::ZDVBlock completion) {
    zidedova::ZUTNetwork::handleEventsForBackgroundURLSessionID(identifier, std::move(completion));
}

void MSRAnalytics::dispatchAsyncOnSerialQueue(zidedova::ZDVBlock block) {
    if (block) engine().queue.async(std::move(block));
}

void MSRAnalytics::queueOperationWithBlock(zidedova::ZDVBlock block) {
    if (!block || !MSRIsSupportedSystemVersion()) return;
    engine().operations.addOperation(std::move(block));
}

void MSRAnalytics::unsuspendOperationQueue() { engine().operations.setSuspended(false); }

double MSRAnalytics::loadTimestamp() {
    platform::dispatch::MutexLock lock(engine().mutex);
    return engine().loadTimestamp;
}

void MSRAnalytics::setScreenViewHandler(
    std::function<void(const std::optional<std::string>&, const std::optional<std::string>&)> handler) {
    platform::dispatch::MutexLock lock(engine().mutex);
    engine().screenViewHandler = std::move(handler);
}

bool MSRAnalyticsWaitForIdle(double timeoutSeconds) {
    engine().queue.sync([] {});
    if (auto measurement = MSRMeasurement::sharedInstance()) measurement->workerQueue().sync([] {});
    if (engine().operations.isSuspended()) return true;
    return engine().operations.waitUntilAllOperationsAreFinished(timeoutSeconds);
}

}  // namespace measurement
