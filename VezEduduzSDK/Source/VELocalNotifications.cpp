#include "VezEduduzSDK/Source/VELocalNotifications.h"

#include "VezEduduzSDK/Source/VENotificationPayload.h"
#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "VezEduduzSDK/Source/VezEduduzNotificationHelper.h"
#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/uikit/Application.h"
#include "platform/usernotifications/UserNotificationCenter.h"

namespace vezeduduz {

using platform::Value;

bool carriesLocalButtons(const Value& message) {
    if (!message.isDictionary()) return false;
    if (const Value* aps = message.find("aps"); aps && aps->find("alert")) return false;
    if (const Value* veData = message.find("ve_data"); veData && veData->isDictionary())
        if (const Value* buttons = veData->find("buttons"); buttons && buttons->isDictionary()) return true;
    return message.find("at") || message.find("o");
}

bool showsLocalNotificationWithButtons(const Value& message,
                                       const std::function<void(platform::uikit::BackgroundFetchResult)>& completion) {
    if (!carriesLocalButtons(message)) return false;
    auto payload = VENotificationPayload::parseWithApns(message);
    if (!payload) return false;
    if (platform::usernotifications::UserNotificationCenter::current()) {
        VezEduduzHelper::addNotificationRequest(std::move(payload), completion);
        return true;
    }
    if (auto app = platform::uikit::Application::shared())
        app->scheduleLocalNotification(VezEduduzHelper::prepareUILocalNotification(*payload));
    return false;
}

void VezEduduz::processLocalActionBasedNotification(const platform::uikit::LocalNotification& notification,
                                                    const std::string& identifier) {
    if (!platform::dispatch::MainLoop::isMainThread())
        return onMainLoop([=] { processLocalActionBasedNotification(notification, identifier); });
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) return;
    if (!notification.userInfo.isDictionary() || notification.userInfo.asDictionary()->empty()) return;
    // A plain tap chose no button.
    std::optional<std::string> action =
        identifier == kLocalDefaultActionIdentifier ? std::nullopt : std::optional<std::string>(identifier);
    auto message = VezEduduzNotificationHelper::formatApsPayloadIntoStandard(notification.userInfo, action);
    if (!message) return;
    auto app = platform::uikit::Application::shared();
    bool isActive = app && app->applicationState() == platform::uikit::ApplicationState::Active;
    // Arriving while active is a receipt; otherwise the user opened it, and one open is handled once.
    notificationReceived(*message, isActive, !isActive);
}

namespace local_hooks {

using platform::objc::Object;
using platform::objc::ObjectHandle;
using platform::objc::Selector;

void localNotificationOpened(Object* self, Selector, ObjectHandle app,
                             std::shared_ptr<platform::uikit::LocalNotification> notification) {
    VezEduduz::vezeduduz_Log(VELogLevel::verbose, "vezEduduzLocalNotificationOpened:notification:");
    if (VezEduduz::app_id() && notification)
        VezEduduz::processLocalActionBasedNotification(*notification, kLocalDefaultActionIdentifier);
    if (platform::objc::respondsToSelector(self, platform::objc::sel(kLocalOpenedHandler)))
        platform::objc::send<void, ObjectHandle, std::shared_ptr<platform::uikit::LocalNotification>>(
            self, platform::objc::sel(kLocalOpenedHandler), app, notification);
}

void localActionTaken(Object* self, Selector, ObjectHandle app, std::string identifier,
                      std::shared_ptr<platform::uikit::LocalNotification> notification,
                      std::function<void()> completion) {
    VezEduduz::vezeduduz_Log(VELogLevel::verbose,
                             "vezEduduzLocalNotificationOpened:handleActionWithIdentifier:forLocalNotification:"
                             "completionHandler:");
    if (VezEduduz::app_id() && notification) VezEduduz::processLocalActionBasedNotification(*notification, identifier);
    // The application's own implementation completes; only without one do we.
    if (platform::objc::respondsToSelector(self, platform::objc::sel(kLocalActionHandler))) {
        platform::objc::send<void, ObjectHandle, std::string, std::shared_ptr<platform::uikit::LocalNotification>,
                             std::function<void()>>(self, platform::objc::sel(kLocalActionHandler), app, identifier,
                                                    notification, completion);
        return;
    }
    if (completion) completion();
}

}  // namespace local_hooks

}  // namespace vezeduduz
