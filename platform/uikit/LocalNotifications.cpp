// Local notifications of systems before the notification centre: scheduling, showing and tapping.
#include <atomic>

#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/OnceHandler.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/uikit/Application.h"

namespace platform::uikit {

using objc::sel;

namespace {

constexpr const char* kDidReceiveLocal = "application:didReceiveLocalNotification:";
constexpr const char* kLocalAction = "application:handleActionWithIdentifier:forLocalNotification:completionHandler:";
constexpr const char* kDefaultAction = "com.apple.UNNotificationDefaultActionIdentifier";

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
        shownLocal_.push_back(notification);
    }
    if ((settings.types & UserNotificationTypeBadge) && notification->applicationIconBadgeNumber > 0)
        setApplicationIconBadgeNumber(notification->applicationIconBadgeNumber);
}

std::vector<std::shared_ptr<LocalNotification>> Application::shownLocalNotifications() const {
    dispatch::MutexLock lock(mutex_);
    return shownLocal_;
}

bool Application::tapLocalNotification(const std::string& identifier, const std::string& actionIdentifier) {
    std::shared_ptr<LocalNotification> tapped;
    {
        dispatch::MutexLock lock(mutex_);
        for (auto it = shownLocal_.rbegin(); it != shownLocal_.rend(); ++it) {
            if (!identifier.empty() && (*it)->identifier != identifier) continue;
            tapped = *it;
            shownLocal_.erase(std::next(it).base());
            break;
        }
    }
    if (!tapped) return false;
    willEnterForeground();
    bool custom = !actionIdentifier.empty() && actionIdentifier != kDefaultAction;
    if (custom && delegateResponds(sel(kLocalAction))) {
        std::function<void()> completion = dispatch::OnceHandler<>(
            kLocalAction, [] {}, dispatch::OnceHandlerPolicy::ReportFaultsAndPending);
        objc::send<void, ObjectHandle, std::string, std::shared_ptr<LocalNotification>, std::function<void()>>(
            delegate(), sel(kLocalAction), shared_from_this(), actionIdentifier, tapped, std::move(completion));
    } else if (delegateResponds(sel(kDidReceiveLocal))) {
        objc::send<void, ObjectHandle, std::shared_ptr<LocalNotification>>(delegate(), sel(kDidReceiveLocal),
                                                                           shared_from_this(), tapped);
    }
    becomeActive();
    return true;
}

}  // namespace platform::uikit
