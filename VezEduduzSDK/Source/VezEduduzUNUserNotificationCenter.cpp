#include "VezEduduzSDK/Source/VezEduduzUNUserNotificationCenter.h"

#include <atomic>
#include <memory>

#include "VezEduduzSDK/Source/VENotification.h"
#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzNotificationHelper.h"
#include "VezEduduzSDK/Source/internal/VezEduduzSelectorHelpers.h"
#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/ResetRegistry.h"
#include "platform/uikit/Application.h"
#include "platform/usernotifications/UserNotificationCenter.h"

namespace vezeduduz {

namespace objc = platform::objc;
namespace un = platform::usernotifications;
using objc::Class;
using objc::Object;
using objc::ObjectHandle;
using objc::sel;
using objc::Selector;
using platform::Value;
using platform::uikit::Application;
using platform::uikit::ApplicationState;
using platform::uikit::BackgroundFetchResult;
using platform::uikit::FetchCompletionHandler;

namespace {

constexpr const char* kSourceClass = "VezEduduzUNUserNotificationCenter";
constexpr const char* kOwnDelegateClass = "VezEduduzHelper";
constexpr const char* kSystemWillPresent = "userNotificationCenter:willPresentNotification:withCompletionHandler:";
constexpr const char* kSystemDidReceive =
    "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:";
constexpr const char* kSystemRequestAuthorization = "requestAuthorizationWithOptions:completionHandler:";
constexpr const char* kSystemGetSettings = "getNotificationSettingsWithCompletionHandler:";

struct CenterState {
    platform::dispatch::Mutex mutex;
    bool swizzled GUARDED_BY(mutex) = false;
    objc::Weak<Object> lastDelegate GUARDED_BY(mutex);
    bool lastDelegateWasNull GUARDED_BY(mutex) = true;
    Class* hookedClass GUARDED_BY(mutex) = nullptr;
    bool authorizationInFlight GUARDED_BY(mutex) = false;
    std::optional<un::NotificationSettings> cachedSettings GUARDED_BY(mutex);
    ObjectHandle ownDelegate GUARDED_BY(mutex);  // the centre holds its delegate weakly
};
void unloadCenterHooks();
void addCenterReset() {
    addStaticsReset();  // first, so that the hooks are undone before the statics go
    platform::ResetRegistry::add("vezeduduz.center-hooks", unloadCenterHooks);
}

CenterState& center() {
    static CenterState* s = [] {
        addCenterReset();
        return new CenterState();
    }();
    return *s;
}
std::atomic<bool> gUseiOS10_2Workaround{true};

void log(const std::string& text) { VezEduduz::vezeduduz_Log(VELogLevel::verbose, text); }

// Not the push service's, or privacy consent is missing: the application's code decides alone.
bool isForeign(const un::Notification& notification) {
    return VezEduduz::shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt) ||
           !VezEduduzNotificationHelper::isVezEduduzPayload(notification.request.content.userInfo);
}

bool applicationActive() {
    auto app = Application::shared();
    return app && app->applicationState() == ApplicationState::Active;
}

// Hands a notification the application did not handle through the centre to the application
// delegate's older remote-notification methods.
void callLegacyAppDeletegateSelector(const un::Notification& notification, bool isTextReply,
                                     const std::optional<std::string>& actionIdentifier,
                                     const std::optional<std::string>& userText, bool fromPresentNotification,
                                     std::function<void()> completion) {
    log("callLegacyAppDeletegateSelector:withCompletionHandler: Fired!");
    auto done = [&] {
        if (completion) completion();
    };
    const auto& trigger = notification.request.trigger;
    auto app = Application::shared();
    ObjectHandle delegate = app ? app->delegate() : nullptr;
    if (!trigger || trigger->kind != un::NotificationTrigger::Kind::Push || !delegate) return done();
    const Value& payload = notification.request.content.userInfo;
    bool customAction = actionIdentifier && *actionIdentifier != un::kDefaultActionIdentifier;
    Selector action = sel("application:handleActionWithIdentifier:forRemoteNotification:completionHandler:");
    Selector fetch = sel("application:didReceiveRemoteNotification:fetchCompletionHandler:");
    std::function<void()> wrapped = [completion] {
        if (completion) completion();
    };
    // No text-reply variant exists on this platform: a text reply counts as its custom action.
    if ((isTextReply || customAction) && objc::respondsToSelector(delegate, action)) {
        objc::send<void, ObjectHandle, std::string, Value, std::function<void()>>(delegate, action, ObjectHandle(app),
                                                                                  *actionIdentifier, payload, wrapped);
        return;
    }
    if (objc::respondsToSelector(delegate, fetch) && (!fromPresentNotification || !trigger->contentAvailable)) {
        FetchCompletionHandler fetched = [completion](BackgroundFetchResult) {
            if (completion) completion();
        };
        objc::send<void, ObjectHandle, Value, FetchCompletionHandler>(delegate, fetch, ObjectHandle(app), payload,
                                                                      fetched);
        return;
    }
    done();
}

// ---- handlers running as the centre's own methods ----

void setVezEduduzUNDelegate(Object* self, Selector, ObjectHandle delegate) {
    {
        auto& c = center();
        platform::dispatch::MutexLock lock(c.mutex);
        bool same = delegate ? c.lastDelegate.refersTo(delegate) : c.lastDelegateWasNull;
        if (!same) {
            c.lastDelegate = delegate;
            c.lastDelegateWasNull = !delegate;
            log("VezEduduzUNUserNotificationCenter setVezEduduzUNDelegate Fired!");
            if (Class* cls = objc::classOf(delegate.get())) {
                Class* source = objc::lookUpClass(kSourceClass);
                c.hookedClass = classConformingToProtocolInHierarchy(cls, un::userNotificationCenterDelegateProtocol());
                const auto subclasses = subclassesOfClass(c.hookedClass);
                for (auto [handler, system] :
                     {std::pair{VezEduduzUNUserNotificationCenter::kWillPresent, kSystemWillPresent},
                      std::pair{VezEduduzUNUserNotificationCenter::kDidReceive, kSystemDidReceive}})
                    injectToProperClassFor(cls, sel(handler), sel(system), subclasses, source, c.hookedClass);
            }
        }
    }
    objc::send<void, ObjectHandle>(self, sel(VezEduduzUNUserNotificationCenter::kSetDelegate), std::move(delegate));
}

void requestAuthorization(Object* self, Selector, int64_t options, un::AuthorizationHandler completion) {
    // Provisional authorization alone is granted quietly: the user was not asked.
    bool prompts = options != un::AuthorizationOptionProvisional;
    if (prompts) onMainLoop([] { VezEduduz::currentPermissionState()->setHasPrompted(true); });
    {
        platform::dispatch::MutexLock lock(center().mutex);
        center().authorizationInFlight = true;
    }
    un::AuthorizationHandler wrapped = [prompts, completion](bool granted, std::optional<platform::Error> error) {
        {
            platform::dispatch::MutexLock lock(center().mutex);
            center().authorizationInFlight = false;
        }
        // The permission state belongs to the main loop; this completion runs on the centre's thread.
        if (prompts)
            onMainLoop([granted] {
                auto state = VezEduduz::currentPermissionState();
                state->setAccepted(granted);
                state->setAnsweredPrompt(true);
            });
        if (completion) completion(granted, std::move(error));
    };
    objc::send<void, int64_t, un::AuthorizationHandler>(
        self, sel(VezEduduzUNUserNotificationCenter::kRequestAuthorization), options, std::move(wrapped));
}

void getSettings(Object* self, Selector, un::SettingsHandler completion) {
    std::optional<un::NotificationSettings> cached;
    {
        platform::dispatch::MutexLock lock(center().mutex);
        if (center().authorizationInFlight && gUseiOS10_2Workaround) cached = center().cachedSettings;
    }
    if (cached) {
        if (completion) completion(*cached);
        return;
    }
    un::SettingsHandler wrapped = [completion](un::NotificationSettings settings) {
        {
            platform::dispatch::MutexLock lock(center().mutex);
            center().cachedSettings = settings;
        }
        if (completion) completion(settings);
    };
    objc::send<void, un::SettingsHandler>(self, sel(VezEduduzUNUserNotificationCenter::kGetSettings),
                                          std::move(wrapped));
}

// ---- handlers copied into the centre's delegate class ----

void willPresent(Object* self, Selector, ObjectHandle centre, std::shared_ptr<un::Notification> notification,
                 un::PresentationHandler completion) {
    Selector own = sel(VezEduduzUNUserNotificationCenter::kWillPresent);
    bool applicationHasOwn = objc::respondsToSelector(self, own);
    if (!notification || isForeign(*notification)) {
        if (applicationHasOwn)
            objc::send<void, ObjectHandle, std::shared_ptr<un::Notification>, un::PresentationHandler>(
                self, own, centre, notification, completion);
        else if (completion)
            completion(un::PresentationOptionBadge | un::PresentationOptionSound | un::PresentationOptionAlert);
        return;
    }
    log("vezeduduzUserNotificationCenter:willPresentNotification:withCompletionHandler: Fired!");
    VEInFocusDisplayType displayType = VezEduduz::inFocusDisplayType();
    int64_t options = 0;
    if (displayType == VEInFocusDisplayType::inAppAlert)
        options = un::PresentationOptionBadge | un::PresentationOptionSound;
    else if (displayType == VEInFocusDisplayType::notification)
        options = un::PresentationOptionBadge | un::PresentationOptionSound | un::PresentationOptionAlert;

    const auto& content = notification->request.content;
    if (VezEduduz::app_id())
        VezEduduz::notificationReceived(content.userInfo, true,
                                        displayType == VEInFocusDisplayType::none && !content.body.empty());

    if (applicationHasOwn) {
        // The push client answers the system itself, after the application's code: the application's
        // own call of its completion must not reach the system a second time.
        un::PresentationHandler swallowed = [](int64_t) {};
        objc::send<void, ObjectHandle, std::shared_ptr<un::Notification>, un::PresentationHandler>(
            self, own, centre, notification, swallowed);
    } else {
        callLegacyAppDeletegateSelector(*notification, false, std::nullopt, std::nullopt, true, [] {});
    }
    if (completion) completion(options);
}

void didReceive(Object* self, Selector, ObjectHandle centre, std::shared_ptr<un::NotificationResponse> response,
                std::function<void()> completion) {
    Selector own = sel(VezEduduzUNUserNotificationCenter::kDidReceive);
    bool applicationHasOwn = objc::respondsToSelector(self, own);
    auto callApplication = [&] {
        objc::send<void, ObjectHandle, std::shared_ptr<un::NotificationResponse>, std::function<void()>>(
            self, own, centre, response, completion);
    };
    if (!response || !response->notification || isForeign(*response->notification)) {
        if (applicationHasOwn)
            callApplication();
        else if (completion)
            completion();
        return;
    }
    log("vezeduduzUserNotificationCenter:didReceiveNotificationResponse:withCompletionHandler: Fired!");
    VezEduduzUNUserNotificationCenter::processiOS10Open(*response);
    if (applicationHasOwn) {
        callApplication();
    } else if (VezEduduzUNUserNotificationCenter::isDismissEvent(*response)) {
        if (completion) completion();
    } else {
        callLegacyAppDeletegateSelector(*response->notification, response->isTextInput(), response->actionIdentifier,
                                        response->userText, false, completion);
    }
}

void registerSourceClasses() {
    auto& rt = objc::Runtime::shared();
    if (!rt.lookUpClass(kSourceClass)) {
        objc::ClassBuilder b(rt, kSourceClass, rt.rootClass());
        b.method(sel(VezEduduzUNUserNotificationCenter::kSetDelegate), objc::makeImp(&setVezEduduzUNDelegate));
        b.method(sel(VezEduduzUNUserNotificationCenter::kRequestAuthorization), objc::makeImp(&requestAuthorization));
        b.method(sel(VezEduduzUNUserNotificationCenter::kGetSettings), objc::makeImp(&getSettings));
        b.method(sel(VezEduduzUNUserNotificationCenter::kWillPresent), objc::makeImp(&willPresent));
        b.method(sel(VezEduduzUNUserNotificationCenter::kDidReceive), objc::makeImp(&didReceive));
        b.registerClass();
    }
    if (!rt.lookUpClass(kOwnDelegateClass))
        objc::ClassBuilder(rt, kOwnDelegateClass, rt.rootClass())
            .protocol(un::userNotificationCenterDelegateProtocol())
            .registerClass();
}

const std::pair<const char*, const char*> kCenterExchanges[] = {
    {"setDelegate:", VezEduduzUNUserNotificationCenter::kSetDelegate},
    {kSystemRequestAuthorization, VezEduduzUNUserNotificationCenter::kRequestAuthorization},
    {kSystemGetSettings, VezEduduzUNUserNotificationCenter::kGetSettings},
};

}  // namespace

void VezEduduzUNUserNotificationCenter::setupUNUserNotificationCenterDelegate() {
    Class* centreClass = objc::lookUpClass("UNUserNotificationCenter");
    if (!centreClass) return;
    registerSourceClasses();
    {
        platform::dispatch::MutexLock lock(center().mutex);
        if (!center().swizzled) {
            Class* source = objc::lookUpClass(kSourceClass);
            for (auto& [system, replacement] : kCenterExchanges)
                injectToProperClass(sel(replacement), sel(system), {}, source, centreClass);
            center().swizzled = true;
        }
    }
    auto current = un::UserNotificationCenter::current();
    if (!current || current->delegate()) return;
    ObjectHandle own;
    {
        platform::dispatch::MutexLock lock(center().mutex);
        if (!center().ownDelegate)
            center().ownDelegate = std::make_shared<Object>(objc::lookUpClass(kOwnDelegateClass));
        own = center().ownDelegate;
    }
    current->setDelegate(own);
}

void VezEduduzUNUserNotificationCenter::setUseiOS10_2_workaround(bool enable) {
    addCenterReset();
    gUseiOS10_2Workaround = enable;
}

bool VezEduduzUNUserNotificationCenter::isDismissEvent(const un::NotificationResponse& response) {
    return response.actionIdentifier == un::kDismissActionIdentifier;
}

void VezEduduzUNUserNotificationCenter::processiOS10Open(const un::NotificationResponse& response) {
    if (!VezEduduz::app_id() || isDismissEvent(response) || !response.notification || isForeign(*response.notification))
        return;
    bool isActive = applicationActive() && VezEduduz::inFocusDisplayType() != VEInFocusDisplayType::notification;
    auto payload = VezEduduzNotificationHelper::formatApsPayloadIntoStandard(
        response.notification->request.content.userInfo, response.actionIdentifier);
    if (!payload) return;
    VezEduduz::notificationReceived(*payload, isActive, true);
}

Class* VezEduduzUNUserNotificationCenter::hookedDelegateClass() {
    platform::dispatch::MutexLock lock(center().mutex);
    return center().hookedClass;
}

ObjectHandle VezEduduzUNUserNotificationCenter::ownDelegate() {
    platform::dispatch::MutexLock lock(center().mutex);
    return center().ownDelegate;
}

namespace {

// Undoes the exchanges on the centre's class and forgets the hook state.
void unloadCenterHooks() {
    auto& c = center();
    platform::dispatch::MutexLock lock(c.mutex);
    if (c.swizzled) {
        if (Class* centreClass = objc::lookUpClass("UNUserNotificationCenter"))
            for (auto& [system, replacement] : kCenterExchanges)
                objc::Runtime::shared().exchangeImplementations(centreClass, sel(system), sel(replacement));
    }
    c.swizzled = false;
    c.lastDelegate = ObjectHandle();
    c.lastDelegateWasNull = true;
    c.hookedClass = nullptr;
    c.authorizationInFlight = false;
    c.cachedSettings.reset();
    c.ownDelegate.reset();
    gUseiOS10_2Workaround = true;
}

}  // namespace

}  // namespace vezeduduz
