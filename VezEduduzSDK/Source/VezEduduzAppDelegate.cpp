#include "VezEduduzSDK/Source/VezEduduzAppDelegate.h"

#include <string>

#include "VezEduduzSDK/Source/VELocalNotifications.h"
#include "VezEduduzSDK/Source/VENotificationHandling.h"
#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "VezEduduzSDK/Source/VezEduduzLocation.h"
#include "VezEduduzSDK/Source/VezEduduzServiceExtension.h"
#include "VezEduduzSDK/Source/VezEduduzUNUserNotificationCenter.h"
#include "VezEduduzSDK/Source/internal/VezEduduzSelectorHelpers.h"
#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "VezEduduzSDK/Source/internal/VezEduduzTracker.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/OperatingSystemVersion.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/ResetRegistry.h"
#include "platform/uikit/Application.h"
#include "platform/uikit/Classes.h"
#include "platform/uikit/Device.h"
#include "platform/usernotifications/UserNotificationCenter.h"

namespace vezeduduz {

namespace objc = platform::objc;
using objc::Class;
using objc::Object;
using objc::ObjectHandle;
using objc::sel;
using objc::Selector;
using platform::Bytes;
using platform::Error;
using platform::Value;
using platform::uikit::Application;
using platform::uikit::ApplicationState;
using platform::uikit::BackgroundFetchResult;
using platform::uikit::FetchCompletionHandler;
using platform::uikit::UserNotificationSettings;

namespace {

struct HookState {
    platform::dispatch::Mutex mutex;
    bool loaded GUARDED_BY(mutex) = false;
    Class* hookedClass GUARDED_BY(mutex) = nullptr;
};
void unloadHooks();

HookState& hooks() {
    static HookState* s = [] {
        addStaticsReset();  // first, so that the hooks are undone before the statics go
        platform::ResetRegistry::add("vezeduduz.app-hooks", unloadHooks);
        return new HookState();
    }();
    return *s;
}

// The marker of a load that was undone (the runtime cannot remove a method).
const objc::Imp& unloadedMarker() {
    static const objc::Imp imp = objc::makeImp([](Object*, Selector, ObjectHandle) {});
    return imp;
}

void log(const std::string& text) { VezEduduz::vezeduduz_Log(VELogLevel::verbose, text); }

bool hasAppId() { return VezEduduz::app_id().has_value(); }

bool applicationActive() {
    auto app = Application::shared();
    return app && app->applicationState() == ApplicationState::Active;
}

// The application's own implementation, now under the handler's selector; answers whether it ran.
template <class... Args>
bool callApplication(Object* self, const char* handlerSelector, Args... args) {
    if (!objc::respondsToSelector(self, sel(handlerSelector))) return false;
    objc::send<void, Args...>(self, sel(handlerSelector), std::move(args)...);
    return true;
}

void forwardSetDelegate(Object* application, ObjectHandle delegate) {
    objc::send<void, ObjectHandle>(application, sel(VezEduduzAppDelegate::kSetDelegate), std::move(delegate));
}

// Hooks the delegate's class hierarchy; returns the hooked class.
Class* injectDelegateHooks(Class* source, Class* live) {
    Class* hooked = classConformingToProtocolInHierarchy(live, platform::uikit::applicationDelegateProtocol());
    const auto subclasses = subclassesOfClass(hooked);
    auto inject = [&](const char* handler, const char* systemSelector) {
        injectToProperClassFor(live, sel(handler), sel(systemSelector), subclasses, source, hooked);
    };
    bool modern = VezEduduzHelper::isIOSVersionGreaterOrEqual(10.0f);
    inject(VezEduduzAppDelegate::kSilent, "application:didReceiveRemoteNotification:fetchCompletionHandler:");
    if (!modern) {
        inject(kLocalActionHandler, "application:handleActionWithIdentifier:forLocalNotification:completionHandler:");
        inject(VezEduduzAppDelegate::kRegisterSettings, "application:didRegisterUserNotificationSettings:");
    }
    inject(VezEduduzAppDelegate::kDidFail, "application:didFailToRegisterForRemoteNotificationsWithError:");
    if (objc::lookUpClass("CoronaAppDelegate")) return hooked;
    inject(VezEduduzAppDelegate::kDidRegister, "application:didRegisterForRemoteNotificationsWithDeviceToken:");
    if (!modern) {
        inject(VezEduduzAppDelegate::kReceived, "application:didReceiveRemoteNotification:");
        inject(kLocalOpenedHandler, "application:didReceiveLocalNotification:");
    }
    inject(VezEduduzAppDelegate::kResignActive, "applicationWillResignActive:");
    inject(VezEduduzAppDelegate::kEnterBackground, "applicationDidEnterBackground:");
    inject(VezEduduzAppDelegate::kBecomeActive, "applicationDidBecomeActive:");
    inject(VezEduduzAppDelegate::kTerminate, "applicationWillTerminate:");
    return hooked;
}

// Runs as the application's setDelegate:.
void setVezEduduzDelegate(Object* self, Selector, ObjectHandle delegate) {
    Class* cls = objc::classOf(delegate.get());
    log("VEZEDUDUZ setVezEduduzDelegate CALLED: " + (cls ? "<" + cls->name() + ">" : std::string("(null)")));
    {
        platform::dispatch::MutexLock lock(hooks().mutex);
        // A nil delegate records nothing: the real one set later still gets its hooks.
        if (!hooks().hookedClass && cls)
            hooks().hookedClass = injectDelegateHooks(objc::lookUpClass("VezEduduzAppDelegate"), cls);
    }
    forwardSetDelegate(self, std::move(delegate));
}

void setBadgeNumber(Object* self, Selector, int64_t number) {
    VezEduduzExtensionBadgeHandler::updateCachedBadgeValue(number);  // the extension counts on from here
    objc::send<void, int64_t>(self, sel(VezEduduzAppDelegate::kSetBadge), number);
}

void didRegisterForRemoteNotifications(Object* self, Selector, ObjectHandle app, Bytes token) {
    log("vezEduduzDidRegisterForRemoteNotifications:deviceToken:");
    VezEduduz::didRegisterForRemoteNotifications(token);
    callApplication(self, VezEduduzAppDelegate::kDidRegister, app, token);
}

void didFailRegister(Object* self, Selector, ObjectHandle app, Error error) {
    log("vezEduduzDidFailRegisterForRemoteNotification:error:");
    if (hasAppId()) VezEduduz::handleDidFailRegisterForRemoteNotification(error);
    callApplication(self, VezEduduzAppDelegate::kDidFail, app, error);
}

void didRegisterUserNotifications(Object* self, Selector, ObjectHandle app, UserNotificationSettings settings) {
    log("vezEduduzDidRegisterUserNotifications:settings:");
    if (hasAppId()) VezEduduz::updateNotificationTypes(static_cast<int32_t>(settings.types));
    callApplication(self, VezEduduzAppDelegate::kRegisterSettings, app, settings);
}

void receivedRemoteNotification(Object* self, Selector, ObjectHandle app, Value userInfo) {
    log("vezEduduzReceivedRemoteNotification:userInfo:");
    if (hasAppId()) VezEduduz::notificationReceived(userInfo, applicationActive(), true);
    callApplication(self, VezEduduzAppDelegate::kReceived, app, userInfo);
}

void remoteSilentNotification(Object* self, Selector, ObjectHandle app, Value userInfo,
                              FetchCompletionHandler completion) {
    log("vezEduduzRemoteSilentNotification:UserInfo:fetchCompletionHandler:");
    bool applicationHasOwn = objc::respondsToSelector(self, sel(VezEduduzAppDelegate::kSilent));
    bool tookOver = false;
    if (hasAppId()) {
        const Value* alert = userInfo["aps"].find("alert");
        if (applicationActive() && alert && !alert->isNull())
            VezEduduz::notificationReceived(userInfo, true, false);
        else
            tookOver = VezEduduz::remoteSilentNotification(userInfo, applicationHasOwn ? nullptr : completion);
    }
    if (applicationHasOwn) {
        callApplication(self, VezEduduzAppDelegate::kSilent, app, userInfo, completion);
        return;
    }
    if (objc::respondsToSelector(self, sel(VezEduduzAppDelegate::kReceived)) &&
        !VezEduduz::coldStartFromTapOnNotification())
        callApplication(self, VezEduduzAppDelegate::kReceived, app, userInfo);
    if (!tookOver && completion) completion(BackgroundFetchResult::NewData);
}

// The push client's work (only once an app id is set), then the application's own method. `work` may be
// empty.
void lifeCycle(Object* self, const char* handler, ObjectHandle app, bool logIt, void (*work)() = nullptr) {
    if (logIt) {
        std::string name = handler;
        if (!name.empty() && name.back() == ':') name.pop_back();
        log(name);
    }
    if (work && hasAppId()) work();
    callApplication(self, handler, app);
}

void registerSourceClass() {
    auto& rt = objc::Runtime::shared();
    if (rt.lookUpClass("VezEduduzAppDelegate")) return;
    objc::ClassBuilder b(rt, "VezEduduzAppDelegate", rt.rootClass());
    b.method(sel(VezEduduzAppDelegate::kSetDelegate), objc::makeImp(&setVezEduduzDelegate));
    b.method(sel(VezEduduzAppDelegate::kSetBadge), objc::makeImp(&setBadgeNumber));
    b.method(sel(VezEduduzAppDelegate::kLoadedTag), objc::makeImp([](Object*, Selector, ObjectHandle) {}));
    b.method(sel(VezEduduzAppDelegate::kDidRegister), objc::makeImp(&didRegisterForRemoteNotifications));
    b.method(sel(VezEduduzAppDelegate::kDidFail), objc::makeImp(&didFailRegister));
    b.method(sel(VezEduduzAppDelegate::kRegisterSettings), objc::makeImp(&didRegisterUserNotifications));
    b.method(sel(VezEduduzAppDelegate::kReceived), objc::makeImp(&receivedRemoteNotification));
    b.method(sel(VezEduduzAppDelegate::kSilent), objc::makeImp(&remoteSilentNotification));
    b.method(sel(kLocalOpenedHandler), objc::makeImp(&local_hooks::localNotificationOpened));
    b.method(sel(kLocalActionHandler), objc::makeImp(&local_hooks::localActionTaken));
    b.method(sel(VezEduduzAppDelegate::kResignActive), objc::makeImp([](Object* self, Selector, ObjectHandle app) {
                 lifeCycle(self, VezEduduzAppDelegate::kResignActive, app, true,
                           [] { VezEduduzTracker::onFocus(true); });
             }));
    b.method(sel(VezEduduzAppDelegate::kEnterBackground), objc::makeImp([](Object* self, Selector, ObjectHandle app) {
                 lifeCycle(self, VezEduduzAppDelegate::kEnterBackground, app, true,
                           [] { VezEduduzLocation::onfocus(false); });
             }));
    b.method(sel(VezEduduzAppDelegate::kBecomeActive), objc::makeImp([](Object* self, Selector, ObjectHandle app) {
                 lifeCycle(self, VezEduduzAppDelegate::kBecomeActive, app, true, [] {
                     VezEduduzTracker::onFocus(false);
                     VezEduduzLocation::onfocus(true);
                 });
             }));
    b.method(sel(VezEduduzAppDelegate::kTerminate), objc::makeImp([](Object* self, Selector, ObjectHandle app) {
                 lifeCycle(self, VezEduduzAppDelegate::kTerminate, app, false, [] { VezEduduzTracker::onFocus(true); });
             }));
    b.registerClass();
}

// The device's version text compared with "7.0" part by part, as numbers.
bool systemVersionAbove7() {
    auto version = platform::OperatingSystemVersion::parse(platform::uikit::Device::currentDevice().systemVersion());
    return version && *version > platform::OperatingSystemVersion{7, 0, 0};
}

}  // namespace

void loadApplicationCategory() {
    log("UIApplication(VezEduduz) LOADED!");
    const std::string process = platform::ProcessInfo::processInfo().processName();
    if (process == "IBDesignablesAgentCocoaTouch" || process == "IBDesignablesAgent-iOS") return;
    if (!systemVersionAbove7()) return;

    platform::uikit::registerClasses();
    platform::usernotifications::registerClasses();
    registerSourceClass();
    auto& rt = objc::Runtime::shared();
    Class* application = platform::uikit::applicationClass();
    Class* source = rt.lookUpClass("VezEduduzAppDelegate");
    {
        platform::dispatch::MutexLock lock(hooks().mutex);
        objc::Imp marker = rt.methodImplementation(application, sel(VezEduduzAppDelegate::kLoadedTag));
        if (hooks().loaded || (marker && marker != unloadedMarker())) {
            VezEduduz::vezeduduz_Log(VELogLevel::warn,
                                     "Already swizzled UIApplication.setDelegate. Make sure the VezEduduz library "
                                     "wasn't loaded into the runtime twice!");
            return;
        }
        rt.replaceMethod(application, sel(VezEduduzAppDelegate::kLoadedTag),
                         rt.methodImplementation(source, sel(VezEduduzAppDelegate::kLoadedTag)));
        injectToProperClass(sel(VezEduduzAppDelegate::kSetDelegate), sel("setDelegate:"), {}, source, application);
        injectToProperClass(sel(VezEduduzAppDelegate::kSetBadge), sel("setApplicationIconBadgeNumber:"), {}, source,
                            application);
        hooks().loaded = true;
    }
    VezEduduzUNUserNotificationCenter::setupUNUserNotificationCenterDelegate();
}

Class* VezEduduzAppDelegate::delegateClass() {
    platform::dispatch::MutexLock lock(hooks().mutex);
    return hooks().hookedClass;
}

bool VezEduduzAppDelegate::applicationImplements(Object* delegate, Selector selector) {
    if (!objc::respondsToSelector(delegate, selector)) return false;
    Class* source = objc::lookUpClass("VezEduduzAppDelegate");
    objc::Imp running = objc::lookUpImp(objc::classOf(delegate), selector);
    if (!source || !running) return true;
    // A handler of ours: the application's own method, if any, now sits under the handler's selector.
    for (const auto& handler : source->runtime().methodList(source))
        if (handler.imp == running) return objc::respondsToSelector(delegate, handler.name);
    return true;
}

namespace {

// Undoes every exchange made on the application by loadApplicationCategory() and forgets the hooked
// class, so the next load starts afresh. Classes that received injections keep them.
void unloadHooks() {
    platform::dispatch::MutexLock lock(hooks().mutex);
    if (hooks().loaded) {
        auto& rt = objc::Runtime::shared();
        Class* application = platform::uikit::applicationClass();
        // Exchanging again puts the platform's implementations back under the system selectors.
        rt.exchangeImplementations(application, sel("setDelegate:"), sel(VezEduduzAppDelegate::kSetDelegate));
        rt.exchangeImplementations(application, sel("setApplicationIconBadgeNumber:"),
                                   sel(VezEduduzAppDelegate::kSetBadge));
        rt.replaceMethod(application, sel(VezEduduzAppDelegate::kLoadedTag), unloadedMarker());
    }
    hooks().loaded = false;
    hooks().hookedClass = nullptr;
}

}  // namespace

}  // namespace vezeduduz
