// Permission prompt, the push-token trigger, provisional authorization, observers and the ids callback.
#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzDefaults.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "VezEduduzSDK/Source/VezEduduzNotificationSettings.h"
#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/URL.h"
#include "platform/uikit/Application.h"

namespace vezeduduz {

using platform::Value;

namespace {
constexpr const char* kUsesProvisionalKey = "VEZEDUDUZ_USES_PROVISIONAL_PUSH_AUTHORIZATION";
constexpr const char* kOpenSettingsURL = "app-settings:";

bool hasRemoteNotificationBackgroundMode() {
    auto bundle = platform::Bundle::mainBundle();
    const Value* modes = bundle ? bundle->objectForInfoDictionaryKey("UIBackgroundModes") : nullptr;
    const platform::ValueArray* list = modes ? modes->asArray() : nullptr;
    if (!list) return false;
    for (const Value& mode : *list)
        if (const std::string* s = mode.asString(); s && *s == "remote-notification") return true;
    return false;
}
}  // namespace

void VezEduduz::promptForPushNotificationsWithUserResponse(VEUserResponseBlock block) {
    onMainLoop([block] {
        mainThread.assertOnThread();
        if (shouldLogMissingPrivacyConsentErrorWithMethodName("promptForPushNotificationsWithUserResponse:")) return;
        vezeduduz_Log(VELogLevel::verbose, "registerForPushNotifications Called:waitingForApnsResponse: " +
                                               std::to_string(statics().waitingForApnsResponse ? 1 : 0));
        currentPermissionState()->setHasPrompted(true);
        veNotificationSettings()->promptForNotifications(block);
    });
}

void VezEduduz::promptForPushNotificationsWithUserResponse(VEUserResponseBlock block, bool fallbackToSettings) {
    onMainLoop([block, fallbackToSettings] {
        if (currentPermissionState()->hasPrompted() && veNotificationSettings()->getNotificationTypes() == 0 &&
            fallbackToSettings) {
            if (block) block(false);
            auto bundle = platform::Bundle::mainBundle();
            const Value* custom =
                bundle ? bundle->objectForInfoDictionaryKey("Vezeduduz_settings_fallback_message") : nullptr;
            std::string message =
                custom && custom->isString()
                    ? *custom->asString()
                    : VezEduduzHelper::localizedString("You currently have notifications turned off for this "
                                                       "application. You can open Settings to re-enable them");
            auto presenter = dialogPresenter();
            if (presenter)
                presenter(VezEduduzHelper::localizedString("Open Settings"), message,
                          VezEduduzHelper::localizedString("Open Settings"), VezEduduzHelper::localizedString("Cancel"),
                          [](bool actionChosen) {
                              if (actionChosen) presentAppSettings();
                          });
            return;
        }
        promptForPushNotificationsWithUserResponse(block);
    });
}

void VezEduduz::registerForPushNotifications() {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName("registerForPushNotifications:")) return;
    promptForPushNotificationsWithUserResponse(nullptr);
}

bool VezEduduz::registerForAPNsToken() {
    if (!platform::dispatch::MainLoop::isMainThread()) return answerOnMainLoop([&] { return registerForAPNsToken(); });
    mainThread.assertOnThread();
    auto& s = statics();
    if (!VezEduduzHelper::isIOSVersionGreaterOrEqual(8.0f)) return false;
    if (s.waitingForApnsResponse) return true;
    s.remoteNotificationBackgroundMode = hasRemoteNotificationBackgroundMode();
    auto state = veNotificationSettings()->getNotificationPermissionState();
    if (!state->accepted() && !s.remoteNotificationBackgroundMode) return false;
    // An unrecoverable push-token error was recorded.
    if (s.mSubscriptionStatus < -9) return false;
    vezeduduz_Log(VELogLevel::verbose, "Firing registerForRemoteNotifications");
    s.waitingForApnsResponse = true;
    if (auto app = platform::uikit::Application::shared()) app->registerForRemoteNotifications();
    return true;
}

void VezEduduz::checkProvisionalAuthorizationStatus() {
    if (!platform::dispatch::MainLoop::isMainThread())
        return onMainLoop([=] { checkProvisionalAuthorizationStatus(); });
    mainThread.assertOnThread();
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) return;
    auto& s = statics();
    if (!defaults::boolean(kUsesProvisionalKey) || s.provisionalAuthorizationRequested) return;
    s.provisionalAuthorizationRequested = true;
    veNotificationSettings()->registerForProvisionalAuthorization(nullptr);
}

void VezEduduz::registerForProvisionalAuthorization(VEUserResponseBlock block) {
    onMainLoop([block] {
        if (VezEduduzHelper::isIOSVersionGreaterOrEqual(12.0f))
            veNotificationSettings()->registerForProvisionalAuthorization(block);
        else
            vezeduduz_Log(VELogLevel::warn, "registerForProvisionalAuthorization is only available in iOS 12+.");
    });
}

void VezEduduz::presentAppSettings() {
    if (!platform::dispatch::MainLoop::isMainThread()) return onMainLoop([=] { presentAppSettings(); });
    if (!VezEduduzHelper::isIOSVersionGreaterOrEqual(10.0f)) return;
    auto url = platform::URL::string(kOpenSettingsURL);
    auto app = platform::uikit::Application::shared();
    if (!url || !app) return;
    if (app->canOpenURL(*url))
        app->openURL(*url, Value::dictionary(), nullptr);
    else
        vezeduduz_Log(VELogLevel::error, "Unable to open settings for this application");
}

std::shared_ptr<VEPermissionSubscriptionState> VezEduduz::getPermissionSubscriptionState() {
    auto snapshot = std::make_shared<VEPermissionSubscriptionState>();
    // The states live on the main loop: another thread gets copies taken there, which it may read at will.
    bool copies = !platform::dispatch::MainLoop::isMainThread();
    onMainLoopSync([&] {
        snapshot->subscriptionStatus = copies ? currentSubscriptionState()->copy() : currentSubscriptionState();
        snapshot->permissionStatus = copies ? currentPermissionState()->copy() : currentPermissionState();
        snapshot->emailSubscriptionStatus =
            copies ? currentEmailSubscriptionState()->copy() : currentEmailSubscriptionState();
    });
    return snapshot;
}

void VezEduduz::addPermissionObserver(const std::shared_ptr<VEPermissionObserver>& observer) {
    onMainLoop([observer] {
        permissionStateChangesObserver().addObserver(observer);
        auto current = currentPermissionState();
        if (current->compare(*lastPermissionState()))
            VEPermissionChangedInternalObserver::fireChangesObserver(*current);
    });
}

void VezEduduz::removePermissionObserver(const VEPermissionObserver* observer) {
    onMainLoop([observer] { permissionStateChangesObserver().removeObserver(observer); });
}

void VezEduduz::addSubscriptionObserver(const std::shared_ptr<VESubscriptionObserver>& observer) {
    onMainLoop([observer] {
        subscriptionStateChangesObserver().addObserver(observer);
        auto current = currentSubscriptionState();
        if (current->compare(*lastSubscriptionState()))
            VESubscriptionChangedInternalObserver::fireChangesObserver(*current);
    });
}

void VezEduduz::removeSubscriptionObserver(const VESubscriptionObserver* observer) {
    onMainLoop([observer] { subscriptionStateChangesObserver().removeObserver(observer); });
}

void VezEduduz::addEmailSubscriptionObserver(const std::shared_ptr<VEEmailSubscriptionObserver>& observer) {
    onMainLoop([observer] {
        emailSubscriptionStateChangesObserver().addObserver(observer);
        auto current = currentEmailSubscriptionState();
        if (current->compare(*lastEmailSubscriptionState()))
            VEEmailSubscriptionChangedInternalObserver::fireChangesObserver(*current);
    });
}

void VezEduduz::removeEmailSubscriptionObserver(const VEEmailSubscriptionObserver* observer) {
    onMainLoop([observer] { emailSubscriptionStateChangesObserver().removeObserver(observer); });
}

void VezEduduz::IdsAvailable(VEIdsAvailableBlock block) {
    onMainLoop([block] {
        mainThread.assertOnThread();
        if (shouldLogMissingPrivacyConsentErrorWithMethodName("IdsAvailable:")) return;
        statics().idsAvailableBlock = block;
        fireIdsAvailableCallback();
    });
}

void VezEduduz::fireIdsAvailableCallback() {
    if (!platform::dispatch::MainLoop::isMainThread()) return onMainLoop([=] { fireIdsAvailableCallback(); });
    mainThread.assertOnThread();
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) return;
    if (!statics().idsAvailableBlock || !currentSubscriptionState()->userId()) return;
    uint64_t generation = statics().generation;
    platform::dispatch::MainLoop::shared().post([generation] {
        mainThread.assertOnThread();
        auto& s = statics();
        if (s.generation != generation || !s.idsAvailableBlock) return;
        auto token = getUsableDeviceToken();
        auto block = s.idsAvailableBlock;
        block(currentSubscriptionState()->userId(), token);
        // Without a token the block stays, to be called again once there is one.
        if (token) statics().idsAvailableBlock = nullptr;
    });
}

}  // namespace vezeduduz
