// Publishes the engine's facade to the object runtime, where the app core finds it by name. The
// signatures follow zidedova_core/ZDVAnalyticsInterop.h exactly.
#include <mutex>

#include "measurement/engine/MSRAnalytics.h"
#include "measurement/engine/MSRMeasurement.h"
#include "platform/objc/Runtime.h"

namespace measurement {

using platform::Value;
using platform::objc::makeImp;
using platform::objc::Object;
using platform::objc::sel;
using platform::objc::Selector;
using namespace zidedova;

namespace {

// The shared instance only carries the three instance operations.
class MSRAnalyticsInstance : public Object {
public:
    using Object::Object;
};

}  // namespace

void registerEngineClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        MSRMonitor::runtimeClass();
        MSRMeasurement::runtimeClass();
        auto& runtime = platform::objc::Runtime::shared();
        if (runtime.lookUpClass(kMSRAnalyticsClassName)) return;
        platform::objc::ClassBuilder b(runtime, kMSRAnalyticsClassName, runtime.rootClass());
        b.classMethod(sel("startWithAppID:origin:options:"),
                      makeImp([](Object*, Selector, std::string appID, std::string origin, Value options) {
                          MSRAnalytics::startWithAppID(appID, origin, options);
                      }))
            .classMethod(sel("logEventWithOrigin:name:parameters:"),
                         makeImp([](Object*, Selector, std::string origin, std::string name, Value parameters) {
                             MSRAnalytics::logEventWithOrigin(origin, name, parameters);
                         }))
            .classMethod(sel("logInternalEventWithOrigin:name:parameters:"),
                         makeImp([](Object*, Selector, std::string origin, std::string name, Value parameters) {
                             MSRAnalytics::logInternalEventWithOrigin(origin, name, parameters);
                         }))
            .classMethod(
                sel("logEventWithOrigin:isPublicEvent:name:parameters:timestamp:ignoreEnabled:ignoreInterceptor:"),
                makeImp([](Object*, Selector, std::string origin, bool isPublic, std::string name, Value parameters,
                           double timestamp, bool ignoreEnabled, bool ignoreInterceptor) {
                    MSRAnalytics::logEvent(
                        {origin, isPublic, name, parameters, timestamp, ignoreEnabled, ignoreInterceptor});
                }))
            .classMethod(sel("setUserPropertyString:forName:"),
                         makeImp([](Object*, Selector, Value value, std::string name) {
                             MSRAnalytics::setUserPropertyString(value, name);
                         }))
            .classMethod(sel("setUserID:"), makeImp([](Object*, Selector, Value id) { MSRAnalytics::setUserID(id); }))
            .classMethod(sel("setInternalUserProperty:forName:"),
                         makeImp([](Object*, Selector, Value value, std::string name) {
                             MSRAnalytics::setInternalUserProperty(value, name, "auto");
                         }))
            .classMethod(
                sel("setScreenName:screenClass:"),
                makeImp([](Object*, Selector, std::optional<std::string> name, std::optional<std::string> screenClass) {
                    MSRAnalytics::setScreenName(name, screenClass);
                }))
            .classMethod(sel("appInstanceID"), makeImp([](Object*, Selector) { return MSRAnalytics::appInstanceID(); }))
            .classMethod(sel("resetAnalyticsData"),
                         makeImp([](Object*, Selector) { MSRAnalytics::resetAnalyticsData(); }))
            .classMethod(sel("setLogEventInterceptor:"),
                         makeImp([](Object*, Selector, ZDVLogEventInterceptor interceptor) {
                             MSRAnalytics::setLogEventInterceptor(std::move(interceptor));
                         }))
            .classMethod(sel("addLogEventListener:"), makeImp([](Object*, Selector, ZDVLogEventListener listener) {
                             return MSRAnalytics::addLogEventListener(std::move(listener));
                         }))
            .classMethod(sel("removeLogEventListener:"),
                         makeImp([](Object*, Selector, ZDVLogEventListenerHandle handle) {
                             MSRAnalytics::removeLogEventListener(handle);
                         }))
            .classMethod(sel("notifyEventListeners:"),
                         makeImp([](Object*, Selector, std::vector<ZDVAnalyticsEvent> events) {
                             MSRAnalytics::notifyEventListeners(std::move(events));
                         }))
            .classMethod(sel("setOpenURLListener:"), makeImp([](Object*, Selector, ZDVOpenURLListener listener) {
                             MSRAnalytics::setOpenURLListener(std::move(listener));
                         }))
            .classMethod(sel("handleOpenURL:"),
                         makeImp([](Object*, Selector, std::string url) { MSRAnalytics::handleOpenURL(url); }))
            .classMethod(sel("handleUserActivity:"),
                         makeImp([](Object*, Selector, std::shared_ptr<platform::uikit::UserActivity> activity) {
                             MSRAnalytics::handleUserActivity(activity);
                         }))
            .classMethod(sel("handleEventsForBackgroundURLSession:completionHandler:"),
                         makeImp([](Object*, Selector, std::string identifier, ZDVBlock completion) {
                             MSRAnalytics::handleEventsForBackgroundURLSession(identifier, std::move(completion));
                         }))
            .classMethod(sel("userPropertiesIncludingInternal:queue:callback:"),
                         makeImp([](Object*, Selector, bool internal, ZDVOptionalQueue queue,
                                    ZDVUserPropertiesCallback callback) {
                             MSRAnalytics::userPropertiesIncludingInternal(internal, queue, callback);
                         }))
            .classMethod(sel("dispatchAsyncOnSerialQueue:"), makeImp([](Object*, Selector, ZDVBlock block) {
                             MSRAnalytics::dispatchAsyncOnSerialQueue(std::move(block));
                         }))
            .classMethod(sel("queueOperationWithBlock:"), makeImp([](Object*, Selector, ZDVBlock block) {
                             MSRAnalytics::queueOperationWithBlock(std::move(block));
                         }))
            .classMethod(sel("unsuspendOperationQueue"),
                         makeImp([](Object*, Selector) { MSRAnalytics::unsuspendOperationQueue(); }))
            .classMethod(sel("loadTimestamp"), makeImp([](Object*, Selector) { return MSRAnalytics::loadTimestamp(); }))
            .classMethod(sel("libraryVersion"),
                         makeImp([](Object*, Selector) { return std::string(kMSRLibraryVersion); }))
            .classMethod(sel("sharedInstance"), makeImp([](Object* cls, Selector) {
                             static auto instance =
                                 std::make_shared<MSRAnalyticsInstance>(static_cast<platform::objc::Class*>(cls));
                             return platform::ObjectHandle(instance);
                         }))
            .method(sel("logInternalEventWithOrigin:name:parameters:"),
                    makeImp([](Object*, Selector, std::string origin, std::string name, Value parameters) {
                        MSRAnalytics::logInternalEventWithOrigin(origin, name, parameters);
                    }))
            .method(sel("setInternalUserProperty:forName:withOrigin:"),
                    makeImp([](Object*, Selector, Value value, std::string name, std::string origin) {
                        MSRAnalytics::setInternalUserProperty(value, name, origin);
                    }))
            .method(sel("maxUserPropertiesForOrigin:queue:callback:"),
                    makeImp([](Object*, Selector, std::string origin, ZDVOptionalQueue queue,
                               ZDVMaxUserPropertiesCallback callback) {
                        MSRAnalytics::maxUserPropertiesForOrigin(origin, queue, callback);
                    }));
        b.registerClass();
    });
}

}  // namespace measurement
