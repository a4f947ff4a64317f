#include "VezEduduzSDK/Source/VENotificationHandling.h"

#include "VezEduduzSDK/Source/VELocalNotifications.h"
#include "VezEduduzSDK/Source/VENotification.h"
#include "VezEduduzSDK/Source/VERequests.h"
#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzAlertView.h"
#include "VezEduduzSDK/Source/VezEduduzClient.h"
#include "VezEduduzSDK/Source/VezEduduzDefaults.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "VezEduduzSDK/Source/VezEduduzNotificationHelper.h"
#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/ResetRegistry.h"
#include "platform/uikit/Application.h"

namespace vezeduduz {

using platform::Value;
using platform::uikit::Application;
using platform::uikit::ApplicationState;
using platform::uikit::BackgroundFetchResult;

namespace {

struct HandlingState {
    platform::dispatch::Mutex mutex;
    VENotificationHandlingIds ids GUARDED_BY(mutex);
};
void resetHandling();

HandlingState& handling() {
    static HandlingState* s = [] {
        addStaticsReset();  // first, so that the ids are forgotten before the statics go
        platform::ResetRegistry::add("vezeduduz.notification-handling", resetHandling);
        return new HandlingState();
    }();
    return *s;
}

std::optional<std::string> stringAt(const Value& dict, std::string_view key) {
    const Value* v = dict.find(key);
    const std::string* s = v ? v->asString() : nullptr;
    return s ? std::optional<std::string>(*s) : std::nullopt;
}

const Value* dictionaryAt(const Value& dict, std::string_view key) {
    const Value* v = dict.find(key);
    return v && v->isDictionary() ? v : nullptr;
}

// The push service's data of a message: `first` if it is a dictionary, else `second`.
const Value* dataDictionary(const Value& message, const char* first, const char* second) {
    if (const Value* d = dictionaryAt(message, first)) return d;
    return dictionaryAt(message, second);
}

std::optional<std::string> selectedAction(const Value& message) {
    if (const Value* custom = dictionaryAt(message, "custom"))
        if (const Value* a = dictionaryAt(*custom, "a"))
            if (auto id = stringAt(*a, "actionSelected")) return id;
    return stringAt(message, "actionSelected");
}

enum class DupOutcome { duplicate, fresh, noId };

// Compares and stores under the lock, so two deliveries of one message cannot both pass.
DupOutcome takeMessageId(const Value* data, std::optional<std::string> VENotificationHandlingIds::*slot) {
    auto id = data ? stringAt(*data, "i") : std::nullopt;
    if (!id) return DupOutcome::noId;
    platform::dispatch::MutexLock lock(handling().mutex);
    auto& last = handling().ids.*slot;
    if (last == id) return DupOutcome::duplicate;
    last = id;
    return DupOutcome::fresh;
}

void installAlertOpenHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        VezEduduzAlertView::setNotificationOpenedHandler(
            [](const Value& message, bool isActive, VENotificationActionType type, VEInFocusDisplayType displayType) {
                VezEduduz::handleNotificationOpened(message, isActive, type, displayType);
            });
    });
}

}  // namespace

namespace {

// Forgets the last-message ids and any pending launch URL.
void resetHandling() {
    {
        platform::dispatch::MutexLock lock(handling().mutex);
        handling().ids = VENotificationHandlingIds();
    }
    VezEduduzHelper::cancelPreviousPerformRequests(kLaunchURLDelayKey);
}

}  // namespace

VENotificationHandlingIds notificationHandlingIds() {
    platform::dispatch::MutexLock lock(handling().mutex);
    return handling().ids;
}

void VezEduduz::setLastAppActiveMessageId(const std::optional<std::string>& messageId) {
    platform::dispatch::MutexLock lock(handling().mutex);
    handling().ids.lastAppActiveMessageId = messageId;
}

void VezEduduz::setLastnonActiveMessageId(const std::optional<std::string>& messageId) {
    platform::dispatch::MutexLock lock(handling().mutex);
    handling().ids.lastnonActiveMessageId = messageId;
}

std::optional<std::string> VezEduduz::checkForProcessedDups(const Value& data,
                                                            const std::optional<std::string>& lastMessageId) {
    auto id = stringAt(data, "i");
    if (!id) return std::nullopt;
    if (id == lastMessageId) return std::string("dup");
    return id;
}

void VezEduduz::notificationReceived(const Value& message, bool isActive, bool wasOpened) {
    if (!platform::dispatch::MainLoop::isMainThread())
        return onMainLoop([=] { notificationReceived(message, isActive, wasOpened); });
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt) || !app_id() ||
        !VezEduduzNotificationHelper::isVezEduduzPayload(message))
        return;
    vezeduduz_Log(VELogLevel::verbose, "notificationOpened:isActive called!");
    const Value* data = dataDictionary(message, "ve_data", "custom");
    VezEduduzNotificationHelper::lastMessageReceived(message);
    VEInFocusDisplayType displayType = inFocusDisplayType();

    if (isActive) {
        if (takeMessageId(data, &VENotificationHandlingIds::lastAppActiveMessageId) == DupOutcome::duplicate) return;
        if (displayType == VEInFocusDisplayType::inAppAlert &&
            !VezEduduzNotificationHelper::isRemoteSilentNotification(message)) {
            installAlertOpenHandler();
            VezEduduzAlertView::showInAppAlert(message);
            return;
        }
        VezEduduzNotificationHelper::handleNotificationReceived(message, displayType);
    } else {
        if (takeMessageId(data, &VENotificationHandlingIds::lastnonActiveMessageId) == DupOutcome::duplicate) return;
    }

    if (wasOpened) {
        auto type = selectedAction(message) ? VENotificationActionType::ActionTaken : VENotificationActionType::Opened;
        handleNotificationOpened(message, isActive, type, displayType);
    }
}

void VezEduduz::handleNotificationOpened(const Value& message, bool isActive, VENotificationActionType actionType,
                                         VEInFocusDisplayType displayType) {
    if (!platform::dispatch::MainLoop::isMainThread())
        return onMainLoop([=] { handleNotificationOpened(message, isActive, actionType, displayType); });
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(
            std::string("handleNotificationOpened:isActive:actionType:displayType:")))
        return;
    const Value* data = dataDictionary(message, "custom", "ve_data");
    submitNotificationOpened(data ? stringAt(*data, "i") : std::nullopt);
    launchWebURL(data ? stringAt(*data, "u") : std::nullopt);
    clearBadgeCount(true);

    std::optional<std::string> actionID;
    if (actionType == VENotificationActionType::ActionTaken) actionID = selectedAction(message);
    VezEduduzNotificationHelper::lastMessageReceived(message);
    if (isActive && displayType == VEInFocusDisplayType::none) return;
    VezEduduzNotificationHelper::handleNotificationAction(message, actionType, actionID, displayType);
}

bool VezEduduz::shouldPromptToShowURL() { return promptBeforeOpeningPushURL(); }

void VezEduduz::launchWebURL(const std::optional<std::string>& url) {
    auto text = VezEduduzHelper::trimURLSpacing(url);
    if (!text || !VezEduduzHelper::verifyURL(text)) return;
    auto parsed = platform::URL::string(*text);
    if (!parsed) return;
    VezEduduzHelper::performOnMainThreadAfterDelay(kLaunchURLDelayKey, kLaunchURLDelay,
                                                   [u = *parsed] { VezEduduzHelper::displayWebView(u); });
}

void VezEduduz::submitNotificationOpened(const std::optional<std::string>& messageId) {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) return;
    if (!messageId) return;
    // Read, compare and store in one critical section: two opens of one message report once.
    static platform::dispatch::Mutex submitMutex;
    {
        platform::dispatch::MutexLock lock(submitMutex);
        if (defaults::string(kLastMessageOpenedKey) == messageId) return;
        defaults::setString(kLastMessageOpenedKey, messageId);
    }
    VezEduduzClient::sharedClient().executeRequest(
        VERequestSubmitNotificationOpened::withUserId(mUserId(), app_id(), true, messageId), nullptr, nullptr);
}

bool VezEduduz::clearBadgeCount(bool fromNotifOpened) {
    if (!platform::dispatch::MainLoop::isMainThread())
        return answerOnMainLoop([&] { return clearBadgeCount(fromNotifOpened); });
    bool disableBadgeClearing = false;
    if (auto bundle = platform::Bundle::mainBundle())
        if (const Value* v = bundle->objectForInfoDictionaryKey(kDisableBadgeClearingKey))
            disableBadgeClearing = v->boolOr(false);
    if (disableBadgeClearing) return false;
    // Below system 8 the badge is left as it is, whatever the notification types say.
    if (!VezEduduzHelper::isIOSVersionGreaterOrEqual(8.0f)) return false;
    if ((currentPermissionState()->notificationTypes() & 1) == 0) return false;
    auto app = Application::shared();
    if (!app) return false;
    bool wasBadgeSet = app->applicationIconBadgeNumber() > 0;
    // The 1-then-0 step makes the system drop the delivered notifications as well as the number.
    if (wasBadgeSet) {
        app->setApplicationIconBadgeNumber(1);
        app->setApplicationIconBadgeNumber(0);
    }
    return wasBadgeSet;
}

bool VezEduduz::remoteSilentNotification(const Value& message, std::function<void(BackgroundFetchResult)> completion) {
    if (!platform::dispatch::MainLoop::isMainThread())
        return answerOnMainLoop([&] { return remoteSilentNotification(message, completion); });
    if (showsLocalNotificationWithButtons(message, completion)) return true;
    auto app = Application::shared();
    ApplicationState state = app ? app->applicationState() : ApplicationState::Background;
    bool silent = VezEduduzNotificationHelper::isRemoteSilentNotification(message);
    VezEduduzNotificationHelper::lastMessageReceived(message);
    if (state == ApplicationState::Background) {
        VezEduduzNotificationHelper::handleNotificationReceived(message, silent ? VEInFocusDisplayType::none
                                                                                : VEInFocusDisplayType::notification);
        return false;
    }
    // In front the push is received, not opened; only a tap, which brought the app forward (inactive),
    // opens it.
    const bool active = state == ApplicationState::Active;
    if (active) VezEduduzNotificationHelper::handleNotificationReceived(message, VEInFocusDisplayType::notification);
    if (!silent) notificationReceived(message, active, !active);
    return false;
}

}  // namespace vezeduduz
