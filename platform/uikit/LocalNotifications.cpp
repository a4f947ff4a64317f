// Notifications of systems before the notification centre: local ones scheduled, shown and tapped, and
// the remote ones shown beside them.
#include <algorithm>
#include <atomic>

#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/OnceHandler.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/uikit/Application.h"

namespace platform::uikit {

using objc::sel;

namespace {

constexpr const char* kDidReceiveLocal = "application:didReceiveLocalNotification:";
constexpr const char* kLocalAction = "application:handleActionWithIdentifier:forLocalNotification:completionHandler:";
constexpr const char* kDefaultAction = "com.apple.UNNotificationDefaultActionIdentifier";
constexpr const char* kDismissAction = "com.apple.UNNotificationDismissActionIdentifier";

std::string nextIdentifier() {
    static std::atomic<uint64_t> counter{0};
    return "local-" + std::to_string(++counter);
}

}  // namespace

void Application::scheduleLocalNotification(std::shared_ptr<LocalNotification> notification) {
    if (!notification) return;
    if (notification->identifier.empty()) notification->identifier = nextIdentifier();
    if (applicationState() == ApplicationState::Active) {
        if (delegateResponds(sel(kDidReceiveLocal)))
            objc::send<void, ObjectHandle, std::shared_ptr<LocalNotification>>(delegate(), sel(kDidReceiveLocal),
                                                                               shared_from_this(), notification);
        return;
    }
    UserNotificationSettings settings = currentUserNotificationSettings();
    if ((settings.types & UserNotificationTypeAlert) &&
        (!notification->alertBody.empty() || notification->alertTitle.value_or("") != "")) {
        Value event = Value::dictionary({{"title", notification->alertTitle.value_or("")},
                                         {"body", notification->alertBody},
                                         {"identifier", notification->identifier},
                                         {"badge", notification->applicationIconBadgeNumber}});
        if (!notification->category.empty()) {
            event.set("category", notification->category);
            ValueArray actions;
            for (const auto& c : settings.categories)
                if (c.identifier == notification->category)
                    for (const auto& a : c.defaultActions)
                        actions.push_back(Value::dictionary({{"id", a.identifier}, {"title", a.title}}));
            event.set("actions", Value(std::move(actions)));
        }
        DeviceEvents::post("notification.shown", event);
        dispatch::MutexLock lock(mutex_);
        keepShown({notification->identifier, notification, Value()});
    }
    if ((settings.types & UserNotificationTypeBadge) && notification->applicationIconBadgeNumber > 0)
        setApplicationIconBadgeNumber(notification->applicationIconBadgeNumber);
}

std::vector<std::shared_ptr<LocalNotification>> Application::shownLocalNotifications() const {
    dispatch::MutexLock lock(mutex_);
    std::vector<std::shared_ptr<LocalNotification>> out;
    for (const auto& s : shown_)
        if (s.local) out.push_back(s.local);
    return out;
}

void Application::recordShownRemoteNotification(const std::string& identifier, const Value& userInfo) {
    dispatch::MutexLock lock(mutex_);
    keepShown({identifier, nullptr, userInfo});
}

void Application::keepShown(ShownNotification shown) {
    shown_.push_back(std::move(shown));
    if (shown_.size() > kMaxShownNotifications)
        shown_.erase(shown_.begin(), shown_.end() - static_cast<std::ptrdiff_t>(kMaxShownNotifications));
}

bool Application::tapShownNotification(const std::string& identifier, const std::string& actionIdentifier) {
    std::optional<ShownNotification> tapped;
    {
        dispatch::MutexLock lock(mutex_);
        for (auto it = shown_.rbegin(); it != shown_.rend(); ++it) {
            if (!identifier.empty() && it->identifier != identifier) continue;
            tapped = *it;
            shown_.erase(std::next(it).base());
            break;
        }
    }
    if (!tapped) return false;
    if (!tapped->local) {
        tapRemoteNotification(tapped->remoteUserInfo, actionIdentifier);
        return true;
    }
    willEnterForeground();
    bool custom = !actionIdentifier.empty() && actionIdentifier != kDefaultAction;
    if (custom && delegateResponds(sel(kLocalAction))) {
        std::function<void()> completion = dispatch::OnceHandler<>(
            kLocalAction, [] {}, dispatch::OnceHandlerPolicy::ReportFaultsAndPending);
        objc::send<void, ObjectHandle, std::string, std::shared_ptr<LocalNotification>, std::function<void()>>(
            delegate(), sel(kLocalAction), shared_from_this(), actionIdentifier, tapped->local, std::move(completion));
    } else if (delegateResponds(sel(kDidReceiveLocal))) {
        objc::send<void, ObjectHandle, std::shared_ptr<LocalNotification>>(delegate(), sel(kDidReceiveLocal),
                                                                           shared_from_this(), tapped->local);
    }
    becomeActive();
    return true;
}

void Application::tapRemoteNotification(const Value& userInfo, const std::string& actionIdentifier) {
    {
        dispatch::MutexLock lock(mutex_);
        auto it = std::find_if(shown_.rbegin(), shown_.rend(),
                               [&](const ShownNotification& s) { return !s.local && s.remoteUserInfo == userInfo; });
        if (it != shown_.rend()) shown_.erase(std::next(it).base());
    }
    willEnterForeground();
    bool custom = !actionIdentifier.empty() && actionIdentifier != kDefaultAction && actionIdentifier != kDismissAction;
    bool handled = custom && PlatformConfig::systemVersion().atLeast(8) &&
                   deliverRemoteNotificationAction(actionIdentifier, userInfo, [] {});
    if (!handled && !deliverRemoteNotification(userInfo, [](BackgroundFetchResult) {}))
        deliverRemoteNotificationLegacy(userInfo);
    becomeActive();
}

}  // namespace platform::uikit
