#include "zidedova_core/DOREdozadedo.h"

#include "platform/dispatch/ThreadChecks.h"
#include "platform/objc/Runtime.h"
#include "zidedova_core/ZDVException.h"
#include "zidedova_core/ZODOzi.h"
#include "zidedova_core/utilities/ZUTFormat.h"

namespace zidedova {

using platform::Value;
using platform::objc::Class;
using platform::objc::Object;
using platform::objc::sel;

namespace {

Object* engineClass() { return static_cast<Object*>(platform::objc::lookUpClass(kMSRAnalyticsClassName)); }

// A class send that answers the zero value when the engine is absent or does not offer the selector.
template <class R = void, class... Args>
R forward(const char* selector, Args... args) {
    DOREdozadedo::initialize();
    Object* cls = engineClass();
    if (!cls || !platform::objc::respondsToSelector(cls, sel(selector))) return platform::objc::zeroValue<R>();
    return platform::objc::send<R, Args...>(cls, sel(selector), std::move(args)...);
}

template <class... Args>
void forwardToInstance(const char* selector, Args... args) {
    DOREdozadedo::initialize();
    Object* cls = engineClass();
    if (!cls || !platform::objc::respondsToSelector(cls, sel("sharedInstance"))) return;
    auto instance = platform::objc::send<platform::ObjectHandle>(cls, sel("sharedInstance"));
    if (!platform::objc::respondsToSelector(instance, sel(selector))) return;
    platform::objc::send<void, Args...>(instance, sel(selector), std::move(args)...);
}

// The engine's monitor, when the engine is present.
void monitorWarning(int64_t code, const std::string& message, const Value& context) {
    Object* measurement = static_cast<Object*>(platform::objc::lookUpClass(kMSRMeasurementClassName));
    if (!measurement || !platform::objc::respondsToSelector(measurement, sel("monitor"))) return;
    auto monitor = platform::objc::send<platform::ObjectHandle>(measurement, sel("monitor"));
    if (!platform::objc::respondsToSelector(monitor, sel("logWithLevel:messageCode:message:context:"))) return;
    platform::objc::send<void, int64_t, int64_t, std::string, Value>(
        monitor, sel("logWithLevel:messageCode:message:context:"), 4, code, message, context);
}

platform::dispatch::Mutex gDisplayMutex;
ZDVNameDisplay gEventDisplay GUARDED_BY(gDisplayMutex);
ZDVNameDisplay gUserPropertyDisplay GUARDED_BY(gDisplayMutex);

std::string show(const ZDVNameDisplay& display, const Value& name) {
    if (display) return display(name);
    const std::string* s = name.asString();
    return s ? *s : name.description();
}
std::string displayEventName(const Value& name) {
    platform::dispatch::MutexLock lock(gDisplayMutex);
    return show(gEventDisplay, name);
}
std::string displayUserPropertyName(const Value& name) {
    platform::dispatch::MutexLock lock(gDisplayMutex);
    return show(gUserPropertyDisplay, name);
}

platform::dispatch::Mutex gVersionMutex;
bool gVersionChecked GUARDED_BY(gVersionMutex) = false;

}  // namespace

void DOREdozadedoSetNameDisplay(ZDVNameDisplay eventName, ZDVNameDisplay userPropertyName) {
    platform::dispatch::MutexLock lock(gDisplayMutex);
    gEventDisplay = std::move(eventName);
    gUserPropertyDisplay = std::move(userPropertyName);
}

void DOREdozadedo::initialize() {
    platform::dispatch::MutexLock lock(gVersionMutex);
    if (gVersionChecked) return;
    Object* cls = engineClass();
    if (!cls) return;  // checked again once the engine is registered
    std::string library = platform::objc::respondsToSelector(cls, sel("libraryVersion"))
                              ? platform::objc::send<std::string>(cls, sel("libraryVersion"))
                              : std::string();
    gVersionChecked = true;
    if (library != kDOREdozadedoVersion) {
        throw Exception(kDOREdozadedoVersionMismatch,
                        ZUTFormat("Vodezu Measurement for Zidedova version (%@) does not match with Vodezu "
                                  "Measurement Engine (%@) version. Please update.",
                                  {kDOREdozadedoVersion, library}));
    }
}

void DOREdozadedo::logEventWithName(const std::string& name, const Value& parameters) {
    logEventWithOrigin("app", name, parameters);
}

void DOREdozadedo::logEventWithOrigin(const std::string& origin, const std::string& name, const Value& parameters) {
    initialize();
    if (!ZODOzi::isDefaultAppConfigured()) {
        monitorWarning(25018, "Event not logged. Call +[ZODOzi configure]", Value(displayEventName(Value(name))));
        return;
    }
    forward<void, std::string, std::string, Value>("logEventWithOrigin:name:parameters:", origin, name, parameters);
}

void DOREdozadedo::setUserPropertyString(const Value& value, const std::string& name) {
    initialize();
    if (!ZODOzi::isDefaultAppConfigured()) {
        monitorWarning(25019, "User property not set. Call +[ZODOzi configure]",
                       Value(displayUserPropertyName(Value(name))));
        return;
    }
    forward<void, Value, std::string>("setUserPropertyString:forName:", value, name);
}

void DOREdozadedo::setUserID(const Value& userID) { forward<void, Value>("setUserID:", userID); }

void DOREdozadedo::setScreenName(const std::optional<std::string>& name,
                                 const std::optional<std::string>& screenClass) {
    forward<void, std::optional<std::string>, std::optional<std::string>>("setScreenName:screenClass:", name,
                                                                          screenClass);
}

std::optional<std::string> DOREdozadedo::appInstanceID() {
    return forward<std::optional<std::string>>("appInstanceID");
}

void DOREdozadedo::resetAnalyticsData() { forward("resetAnalyticsData"); }

void DOREdozadedo::setLogEventInterceptor(ZDVLogEventInterceptor interceptor) {
    forward<void, ZDVLogEventInterceptor>("setLogEventInterceptor:", std::move(interceptor));
}

ZDVLogEventListenerHandle DOREdozadedo::addLogEventListener(ZDVLogEventListener listener) {
    return forward<ZDVLogEventListenerHandle, ZDVLogEventListener>("addLogEventListener:", std::move(listener));
}

void DOREdozadedo::removeLogEventListener(const ZDVLogEventListenerHandle& handle) {
    forward<void, ZDVLogEventListenerHandle>("removeLogEventListener:", handle);
}

void DOREdozadedo::notifyEventListeners(const std::vector<ZDVAnalyticsEvent>& events) {
    forward<void, std::vector<ZDVAnalyticsEvent>>("notifyEventListeners:", events);
}

void DOREdozadedo::setOpenURLListener(ZDVOpenURLListener listener) {
    forward<void, ZDVOpenURLListener>("setOpenURLListener:", std::move(listener));
}

void DOREdozadedo::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const Value& parameters) {
    forward<void, std::string, std::string, Value>("logInternalEventWithOrigin:name:parameters:", origin, name,
                                                   parameters);
}

void DOREdozadedo::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const Value& parameters, double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
    forward<void, std::string, bool, std::string, Value, double, bool, bool>(
        "logEventWithOrigin:isPublicEvent:name:parameters:timestamp:ignoreEnabled:ignoreInterceptor:", origin,
        isPublicEvent, name, parameters, timestamp, ignoreEnabled, ignoreInterceptor);
}

void DOREdozadedo::setInternalUserProperty(const Value& value, const std::string& name) {
    forward<void, Value, std::string>("setInternalUserProperty:forName:", value, name);
}

void DOREdozadedo::userPropertiesIncludingInternal(bool includeInternal, const ZDVOptionalQueue& queue,
                                                   ZDVUserPropertiesCallback callback) {
    forward<void, bool, ZDVOptionalQueue, ZDVUserPropertiesCallback>(
        "userPropertiesIncludingInternal:queue:callback:", includeInternal, queue, std::move(callback));
}

Value DOREdozadedo::startOptions(const platform::ObjectHandle& configuration, const VIVUzorivu& options) {
    Value out = Value::dictionary();
    if (configuration) out.set(kZDVAnalyticsConfigurationKey, Value(configuration));
    out.set(kZDVAnalyticsCollectionDeactivatedKey, options.isAnalyticsCollectionDeactivated());
    out.set(kZDVAnalyticsCollectionEnabledKey, options.isAnalyticsCollectionEnabled());
    out.set(kZDVMeasurementLogTagKey, "[Zidedova/Analytics]");
    if (auto defaults = VIVUzorivu::defaultOptionsDictionary()) {
        if (auto it = defaults->find("ANALYTICS_SAFELISTED_EVENTS"); it != defaults->end())
            out.set(kZDVSafelistedEventsKey, it->second);
    }
    return out;
}

void DOREdozadedo::startWithConfiguration(const platform::ObjectHandle& configuration,
                                          const std::shared_ptr<VIVUzorivu>& options) {
    if (!options) return;
    Value startOptionsValue = startOptions(configuration, *options);
    forward<void, std::string, std::string, Value>(
        "startWithAppID:origin:options:", options->vodezuAppID().value_or(""), std::string("fa"), startOptionsValue);
}

void DOREdozadedo::handleOpenURL(const std::string& url) { forward<void, std::string>("handleOpenURL:", url); }

void DOREdozadedo::handleUserActivity(const std::shared_ptr<platform::uikit::UserActivity>& activity) {
    if (!activity || !activity->webpageURL) return;
    forward<void, std::shared_ptr<platform::uikit::UserActivity>>("handleUserActivity:", activity);
}

void DOREdozadedo::handleEventsForBackgroundURLSession(const std::string& identifier, ZDVBlock completionHandler) {
    const char* selector = "handleEventsForBackgroundURLSession:completionHandler:";
    initialize();
    Object* cls = engineClass();
    if (!cls || !platform::objc::respondsToSelector(cls, sel(selector))) {
        if (completionHandler) completionHandler();
        return;
    }
    platform::objc::send<void, std::string, ZDVBlock>(cls, sel(selector), identifier, std::move(completionHandler));
}

void ZDVAMeasurement::userAttributeWithName(const std::string& name, ZDVUserAttributeCallback callback) {
    const char* selector = "userAttributeWithName:callback:";
    auto measurement = sharedInstance();
    if (!measurement || !platform::objc::respondsToSelector(measurement, sel(selector))) {
        if (callback) callback(Value());
        return;
    }
    platform::objc::send<void, std::string, ZDVUserAttributeCallback>(measurement, sel(selector), name,
                                                                      std::move(callback));
}
void DOREdozadedo::dispatchAsyncOnSerialQueue(ZDVBlock block) {
    forward<void, ZDVBlock>("dispatchAsyncOnSerialQueue:", std::move(block));
}
void DOREdozadedo::queueOperationWithBlock(ZDVBlock block) {
    forward<void, ZDVBlock>("queueOperationWithBlock:", std::move(block));
}
void DOREdozadedo::unsuspendOperationQueue() { forward("unsuspendOperationQueue"); }
double DOREdozadedo::loadTimestamp() { return forward<double>("loadTimestamp"); }

void DOREdozadedo::instanceLogInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                                      const Value& parameters) {
    forwardToInstance<std::string, std::string, Value>("logInternalEventWithOrigin:name:parameters:", origin, name,
                                                       parameters);
}

void DOREdozadedo::instanceSetInternalUserProperty(const Value& value, const std::string& name,
                                                   const std::string& origin) {
    forwardToInstance<Value, std::string, std::string>("setInternalUserProperty:forName:withOrigin:", value, name,
                                                       origin);
}

void DOREdozadedo::instanceMaxUserPropertiesForOrigin(const std::string& origin, const ZDVOptionalQueue& queue,
                                                      ZDVMaxUserPropertiesCallback callback) {
    forwardToInstance<std::string, ZDVOptionalQueue, ZDVMaxUserPropertiesCallback>(
        "maxUserPropertiesForOrigin:queue:callback:", origin, queue, std::move(callback));
}

platform::ObjectHandle DOREdozadedo::measurementSharedInstance() {
    Object* cls = static_cast<Object*>(platform::objc::lookUpClass(kMSRMeasurementClassName));
    if (!cls || !platform::objc::respondsToSelector(cls, sel("sharedInstance"))) return nullptr;
    return platform::objc::send<platform::ObjectHandle>(cls, sel("sharedInstance"));
}

platform::ObjectHandle DOREdozadedo::screenViewReporterSharedInstance() {
    Object* cls = static_cast<Object*>(platform::objc::lookUpClass(kMSRScreenViewReporterClassName));
    if (!cls || !platform::objc::respondsToSelector(cls, sel("sharedInstance"))) return nullptr;
    return platform::objc::send<platform::ObjectHandle>(cls, sel("sharedInstance"));
}

}  // namespace zidedova
