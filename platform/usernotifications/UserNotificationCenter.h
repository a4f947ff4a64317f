#pragma once
// UserNotificationCenter: the notification centre of system 10 and later (runtime class
// "UNUserNotificationCenter", registered by registerClasses() only when the system version is 10 or
// later, so code that probes for the class finds it exactly when the device has it).
//
// Runtime methods (interceptable by exchange; the C++ members of the same name send them):
//   +currentNotificationCenter                              ObjectHandle()
//   -delegate                                               ObjectHandle()
//   -setDelegate:                                           void(ObjectHandle)
//   -requestAuthorizationWithOptions:completionHandler:     void(int64_t, AuthorizationHandler)
//   -getNotificationSettingsWithCompletionHandler:          void(SettingsHandler)
//
// Threads: every member may be called from any thread (state under one lock). Completion handlers
// of the centre's queries run on a background thread, as on the device: callers hop to the main
// queue themselves. Each is tracked (dispatch/OnceHandler.h) only where app code must call it: the
// delegate's handlers (see Delivery.h).
//
// The delegate is held weakly and called by selector:
//   userNotificationCenter:willPresentNotification:withCompletionHandler:
//       void(ObjectHandle center, std::shared_ptr<Notification>, PresentationHandler)
//   userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:
//       void(ObjectHandle center, std::shared_ptr<NotificationResponse>, std::function<void()>)
//
// Authorization: the simulated user answers the first prompt as PlatformConfig's
// notificationAuthorizationAnswer says ("granted", "denied", "provisional"); later requests get the
// recorded answer without a prompt. A request for provisional authorization alone on system 12 and
// later is granted quietly without a prompt. A prompt posts DeviceEvents "notification.prompt". The
// answer (status and options) is the device's: kept under the device root (Authorization.cpp) and read
// when the centre is made, so it outlives the process.
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/objc/Runtime.h"
#include "platform/usernotifications/NotificationTypes.h"

namespace platform::usernotifications {

using objc::ObjectHandle;
using AuthorizationHandler = std::function<void(bool granted, std::optional<Error> error)>;
using SettingsHandler = std::function<void(NotificationSettings settings)>;
using PresentationHandler = std::function<void(int64_t presentationOptions)>;

// Registers "UNUserNotificationCenter" when the system version is 10 or later. Idempotent.
void registerClasses();
// The protocol "UNUserNotificationCenterDelegate" that a delegate's class may declare (registered on
// first use, on any system version).
const objc::Protocol* userNotificationCenterDelegateProtocol();

class UserNotificationCenter : public objc::Object {
public:
    explicit UserNotificationCenter(objc::Class* cls);

    // The process's centre; null below system 10 (the class does not exist there).
    static std::shared_ptr<UserNotificationCenter> current();
    // Forgets the centre and its state (tests).
    static void resetCurrent();

    ObjectHandle delegate() const;
    void setDelegate(ObjectHandle delegate);  // sends setDelegate:

    void requestAuthorizationWithOptions(int64_t options, AuthorizationHandler completion);  // sends
    void getNotificationSettingsWithCompletionHandler(SettingsHandler completion);           // sends
    AuthorizationStatus authorizationStatus() const;
    NotificationSettings notificationSettings() const;  // synchronous, for the host and tests

    // The categories (action buttons) of the device's notifications: one per identifier, the last given
    // winning. Kept under the device root, so every process of the device sees the same set.
    void setNotificationCategories(std::vector<NotificationCategory> categories);
    std::vector<NotificationCategory> notificationCategories() const;
    // Completion on a background thread, as the system answers.
    void
    getNotificationCategoriesWithCompletionHandler(std::function<void(std::vector<NotificationCategory>)> completion);

    // Pending and delivered notifications are kept per device, under the device root (with the
    // categories), so every process of the device sees the same lists; a change made in one process is
    // there for the next read in another. A request's trigger runs in the process that added it.
    //
    // Adds (or replaces, by identifier) a request; it is delivered on the main loop when its trigger
    // fires (at once without a trigger). Completion (may be empty) on a background thread.
    void addNotificationRequest(NotificationRequest request, std::function<void(std::optional<Error>)> completion = {});
    std::vector<NotificationRequest> pendingNotificationRequests() const;
    void removeAllPendingNotificationRequests();

    // The newest kMaxDeliveredNotifications shown notifications, oldest first.
    static constexpr size_t kMaxDeliveredNotifications = 100;
    std::vector<Notification> deliveredNotifications() const;

    // Platform internals: the runtime implementations, and delivery bookkeeping (Delivery.cpp).
    void platformSetDelegate(ObjectHandle delegate);
    void platformRequestAuthorization(int64_t options, AuthorizationHandler completion);
    void platformGetSettings(SettingsHandler completion);
    void recordDelivered(const Notification& notification);
    // Removes and answers the delivered notification whose payload equals userInfo.
    std::optional<Notification> takeDelivered(const Value& userInfo);

private:
    void fire(const std::string& identifier);
    // The device's recorded answer, read when the centre is made and written when it changes
    // (Authorization.cpp).
    void loadAuthorization() REQUIRES(mutex_);
    void storeAuthorization() REQUIRES(mutex_);
    // Re-reads the device's lists into pending_ and delivered_, runs `change`, and writes the lists back
    // when it answers true, the device's lock file held throughout (Notifications.cpp).
    void withStoredNotifications(const std::function<bool()>& change) const REQUIRES(mutex_);
    // This process's trigger timers (the device's lists stay).
    void cancelTimers();

    mutable dispatch::Mutex mutex_;
    objc::Weak<objc::Object> delegate_ GUARDED_BY(mutex_);
    AuthorizationStatus status_ GUARDED_BY(mutex_) = AuthorizationStatus::NotDetermined;
    int64_t grantedOptions_ GUARDED_BY(mutex_) = 0;
    std::vector<NotificationCategory> categories_ GUARDED_BY(mutex_);  // when the device is not booted
    // The last lists read from the device (the lists themselves when it is not booted).
    mutable std::vector<NotificationRequest> pending_ GUARDED_BY(mutex_);
    mutable std::vector<Notification> delivered_ GUARDED_BY(mutex_);
    std::vector<std::string> armed_ GUARDED_BY(mutex_);  // identifiers whose timers this process set
};

}  // namespace platform::usernotifications
