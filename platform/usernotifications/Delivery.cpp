#include "platform/usernotifications/Delivery.h"

#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/OnceHandler.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/UUID.h"
#include "platform/uikit/Application.h"
#include "platform/usernotifications/UserNotificationCenter.h"

namespace platform::usernotifications {

using objc::sel;
using uikit::Application;
using uikit::ApplicationState;
using uikit::BackgroundFetchResult;

namespace {

constexpr const char* kWillPresent = "userNotificationCenter:willPresentNotification:withCompletionHandler:";
constexpr const char* kDidReceive = "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:";
constexpr const char* kFetch = "application:didReceiveRemoteNotification:fetchCompletionHandler:";

// Unique across the device's processes and runs: the delivered list is shared and kept.
std::string nextRemoteIdentifier() { return "remote-" + UUID::random().uuidString(); }

Notification remoteNotification(const Value& userInfo) {
    NotificationRequest request;
    request.identifier = nextRemoteIdentifier();
    request.content = NotificationContent::fromPayload(userInfo);
    request.trigger = NotificationTrigger::push(userInfo["aps"]["content-available"].integerOr(0) == 1);
    return Notification{Date::now(), std::move(request)};
}

bool hasVisibleContent(const NotificationContent& c) { return !c.title.empty() || !c.body.empty(); }

// Whether the user lets notifications show as alerts, on any system version.
bool alertsAllowed(const std::shared_ptr<UserNotificationCenter>& center, const std::shared_ptr<Application>& app) {
    if (center) return center->notificationSettings().alertSetting == NotificationSetting::Enabled;
    if (!app) return false;
    if (PlatformConfig::systemVersion().atLeast(8))
        return app->currentUserNotificationSettings().types & uikit::UserNotificationTypeAlert;
    return app->enabledRemoteNotificationTypes() & uikit::UserNotificationTypeAlert;
}

void show(const Notification& n, const std::shared_ptr<UserNotificationCenter>& center) {
    const auto& c = n.request.content;
    Value event = Value::dictionary({{"title", c.title}, {"body", c.body}, {"identifier", n.request.identifier}});
    if (c.badge) event.set("badge", *c.badge);
    if (!c.categoryIdentifier.empty()) {
        event.set("category", c.categoryIdentifier);
        ValueArray actions;  // the buttons the user sees: those of the notification's category
        if (center)
            for (const auto& category : center->notificationCategories())
                if (category.identifier == c.categoryIdentifier)
                    for (const auto& a : category.actions)
                        actions.push_back(Value::dictionary({{"id", a.identifier}, {"title", a.title}}));
        event.set("actions", Value(std::move(actions)));
    }
    if (!c.attachments.empty()) {
        ValueArray attachments;
        for (const auto& a : c.attachments)
            attachments.push_back(
                Value::dictionary({{"identifier", a.identifier}, {"file", a.url.lastPathComponent()}}));
        event.set("attachments", Value(std::move(attachments)));
    }
    // Kept first: a device that said it showed something still has it after any end of the process.
    if (center)
        center->recordDelivered(n);
    else if (auto app = Application::shared())
        app->recordShownRemoteNotification(n.request.identifier, n.request.content.userInfo);
    DeviceEvents::post("notification.shown", event);
}

void applyBadge(const NotificationContent& c, const std::shared_ptr<Application>& app) {
    if (app && c.badge) app->setApplicationIconBadgeNumber(*c.badge);
}

// Hands a content-available push to the app delegate; false when it has no method for it. An app not in
// front is woken for it: said before the app hears of it, so what the app does follows the line.
bool wakeApp(const std::shared_ptr<Application>& app, const Notification& n, const Value& userInfo, bool active) {
    if (!app || !app->delegateResponds(sel(kFetch))) return false;
    if (!active)
        DeviceEvents::post("push.woke",
                           Value::dictionary({{"identifier", n.request.identifier},
                                              {"state", uikit::applicationStateName(app->applicationState())}}));
    return app->deliverRemoteNotification(userInfo, [](BackgroundFetchResult) {});
}

// The app is in front: the centre's delegate decides what shows. False when there is no delegate to ask.
bool presentInForeground(const Notification& n, const std::shared_ptr<UserNotificationCenter>& center,
                         const std::shared_ptr<Application>& app) {
    ObjectHandle delegate = center->delegate();
    if (!delegate || !objc::respondsToSelector(delegate, sel(kWillPresent))) return false;
    std::weak_ptr<UserNotificationCenter> weakCenter = center;
    std::weak_ptr<Application> weakApp = app;
    PresentationHandler completion = dispatch::OnceHandler<int64_t>(
        kWillPresent,
        [n, weakCenter, weakApp](int64_t options) {
            auto c = weakCenter.lock();
            // As in the background: nothing to read, nothing shown, whatever the delegate asked for.
            if ((options & PresentationOptionAlert) && hasVisibleContent(n.request.content) &&
                alertsAllowed(c, nullptr))
                show(n, c);
            if (options & PresentationOptionBadge) applyBadge(n.request.content, weakApp.lock());
        },
        dispatch::OnceHandlerPolicy::ReportFaultsAndPending);
    objc::send<void, ObjectHandle, std::shared_ptr<Notification>, PresentationHandler>(
        delegate, sel(kWillPresent), center, std::make_shared<Notification>(n), std::move(completion));
    return true;
}

// False when nothing shows: nothing to read, or the user does not allow alerts.
bool presentInBackground(const Notification& n, const std::shared_ptr<UserNotificationCenter>& center,
                         const std::shared_ptr<Application>& app) {
    bool shown = hasVisibleContent(n.request.content) && alertsAllowed(center, app);
    if (shown) show(n, center);
    applyBadge(n.request.content, app);
    return shown;
}

// A push the device neither showed nor handed to the app is gone (its badge still applies): said, with why.
void sayDropped(const Notification& n, bool active, bool withCenter) {
    const std::string notWoken =
        n.request.trigger->contentAvailable
            ? "its delegate has no application:didReceiveRemoteNotification:fetchCompletionHandler:"
            : "no content-available wakes it";
    std::string reason;
    if (!active)
        reason = "the app is not in front, " + notWoken + ", and " +
                 (hasVisibleContent(n.request.content) ? "alerts are off" : "it has no title or body to show");
    else if (withCenter)
        reason = "the app is in front, its notification centre has no delegate to present it, and " + notWoken;
    else
        reason = "the app is in front and its delegate has no application:didReceiveRemoteNotification: method";
    DeviceEvents::post("push.dropped", Value::dictionary({{"reason", reason}}));
}

bool isActive(const std::shared_ptr<Application>& app) {
    return app && app->applicationState() == ApplicationState::Active;
}

void deliverRemote(const Value& userInfo, const std::optional<NotificationContent>& content);

}  // namespace

void deliverRemoteNotification(const Value& userInfo) { deliverRemote(userInfo, std::nullopt); }

void deliverRemoteNotification(const Value& userInfo, const NotificationContent& content) {
    dispatch::mainThread.assertOnThread();
    deliverRemote(userInfo, content);
}

bool tapDeliveredNotification(const std::string& identifier, const std::string& actionIdentifier) {
    dispatch::mainThread.assertOnThread();
    auto center = UserNotificationCenter::current();
    if (!center) {  // below 10: the application keeps what the device shows
        auto app = Application::shared();
        return app && app->tapShownNotification(identifier, actionIdentifier);
    }
    auto delivered = center->deliveredNotifications();
    for (auto it = delivered.rbegin(); it != delivered.rend(); ++it) {
        if (!identifier.empty() && it->request.identifier != identifier) continue;
        tapNotification(it->request.content.userInfo, actionIdentifier);
        return true;
    }
    return false;
}

namespace {

void deliverRemote(const Value& userInfo, const std::optional<NotificationContent>& content) {
    auto app = Application::shared();
    auto center = UserNotificationCenter::current();
    Notification n = remoteNotification(userInfo);
    if (content) {
        n.request.content = *content;
        n.request.content.userInfo = userInfo.isDictionary() ? userInfo : Value::dictionary();
    }
    const bool active = isActive(app);
    bool reached;  // shown, or handed to the app
    if (center || !active) {
        reached = active ? presentInForeground(n, center, app) : presentInBackground(n, center, app);
        if (n.request.trigger->contentAvailable) reached = wakeApp(app, n, userInfo, active) || reached;
    } else {  // below 10, in front: the app delegate hears of every push
        reached = wakeApp(app, n, userInfo, active) || (app && app->deliverRemoteNotificationLegacy(userInfo));
    }
    if (!reached) sayDropped(n, active, center != nullptr);
}

}  // namespace

void deliverLocalNotification(const Notification& notification) {
    dispatch::mainThread.assertOnThread();
    auto app = Application::shared();
    auto center = UserNotificationCenter::current();
    if (!center) {
        if (!isActive(app)) presentInBackground(notification, nullptr, app);
        return;
    }
    if (isActive(app))
        presentInForeground(notification, center, app);
    else
        presentInBackground(notification, center, app);
}

void tapNotification(const Value& userInfo, const std::string& actionIdentifier) {
    dispatch::mainThread.assertOnThread();
    auto app = Application::shared();
    auto center = UserNotificationCenter::current();
    if (!center) {
        if (app) app->tapRemoteNotification(userInfo, actionIdentifier);
        return;
    }
    if (app) app->willEnterForeground();  // a tap brings the app up; it is inactive while it hears why
    auto delivered = center->takeDelivered(userInfo);
    auto response = std::make_shared<NotificationResponse>();
    response->notification = std::make_shared<Notification>(delivered ? *delivered : remoteNotification(userInfo));
    response->actionIdentifier = actionIdentifier;
    ObjectHandle delegate = center->delegate();
    if (delegate && objc::respondsToSelector(delegate, sel(kDidReceive))) {
        std::function<void()> completion = dispatch::OnceHandler<>(
            kDidReceive, [] {}, dispatch::OnceHandlerPolicy::ReportFaultsAndPending);
        objc::send<void, ObjectHandle, std::shared_ptr<NotificationResponse>, std::function<void()>>(
            delegate, sel(kDidReceive), center, std::move(response), std::move(completion));
    }
    if (app) app->becomeActive();
}

}  // namespace platform::usernotifications
