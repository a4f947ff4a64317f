// Permission back ends of systems before the notification centre.
#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzDefaults.h"
#include "VezEduduzSDK/Source/VezEduduzNotificationSettings.h"
#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "platform/uikit/Application.h"

namespace vezeduduz {

namespace {
constexpr const char* kPromptAnsweredKey = "VE_NOTIFICATION_PROMPT_ANSWERED";
constexpr const char* kDeviceTokenKey = "VD_DEVICE_TOKEN";
constexpr const char* kRegisteredWithAppleKey = "VD_REGISTERED_WITH_APPLE";
constexpr uint64_t kTypesBadgeSoundAlert = 7;

std::shared_ptr<platform::uikit::Application> application() { return platform::uikit::Application::shared(); }
}  // namespace

// ---- systems 8 and 9 ----

int32_t VezEduduzNotificationSettingsIOS8::getNotificationTypes() {
    auto app = application();
    return app ? static_cast<int32_t>(app->currentUserNotificationSettings().types) : 0;
}

void VezEduduzNotificationSettingsIOS8::getNotificationPermissionState(StateBlock block) {
    auto state = VezEduduz::currentPermissionState();
    int32_t types = getNotificationTypes();
    state->setNotificationTypes(types);
    state->setAccepted(types > 0);
    state->setAnsweredPrompt(defaults::boolean(kPromptAnsweredKey));
    state->setProvisional(false);
    if (block) block(state);
}

std::shared_ptr<VEPermissionState> VezEduduzNotificationSettingsIOS8::getNotificationPermissionState() {
    getNotificationPermissionState(nullptr);
    return VezEduduz::currentPermissionState();
}

void VezEduduzNotificationSettingsIOS8::promptForNotifications(AnswerBlock block) {
    if (auto app = application()) {
        platform::uikit::UserNotificationSettings settings;
        settings.types = kTypesBadgeSoundAlert;
        settings.categories = app->currentUserNotificationSettings().categories;
        app->registerUserNotificationSettings(std::move(settings));
    }
    notificationPromptReponseCallback = std::move(block);
    VezEduduz::registerForAPNsToken();
}

void VezEduduzNotificationSettingsIOS8::onNotificationPromptResponse(int32_t notificationTypes) {
    bool accepted = notificationTypes > 0;
    auto callback = std::move(notificationPromptReponseCallback);
    notificationPromptReponseCallback = nullptr;
    if (callback) callback(accepted);
    // A refusal is an answer too, not an acceptance.
    auto state = VezEduduz::currentPermissionState();
    state->setAccepted(accepted);
    state->setAnsweredPrompt(true);
}

// ---- older systems ----

int32_t VezEduduzNotificationSettingsIOS7::getNotificationTypes() {
    return VezEduduz::currentSubscriptionState()->pushToken() ? static_cast<int32_t>(kTypesBadgeSoundAlert) : 0;
}

void VezEduduzNotificationSettingsIOS7::getNotificationPermissionState(StateBlock block) {
    auto state = VezEduduz::currentPermissionState();
    int32_t types = defaults::string(kDeviceTokenKey) ? static_cast<int32_t>(kTypesBadgeSoundAlert) : 0;
    state->setNotificationTypes(types);
    state->setAccepted(types > 0);
    state->setAnsweredPrompt(defaults::boolean(kPromptAnsweredKey));
    state->setProvisional(false);
    if (block) block(state);
}

std::shared_ptr<VEPermissionState> VezEduduzNotificationSettingsIOS7::getNotificationPermissionState() {
    getNotificationPermissionState(nullptr);
    return VezEduduz::currentPermissionState();
}

void VezEduduzNotificationSettingsIOS7::promptForNotifications(AnswerBlock block) {
    notificationPromptReponseCallback = std::move(block);
    if (auto app = application()) app->registerForRemoteNotificationTypes(kTypesBadgeSoundAlert);
    VezEduduz::setWaitingForApnsResponse(true);
    defaults::set(kRegisteredWithAppleKey, true);
}

void VezEduduzNotificationSettingsIOS7::onAPNsResponse(bool success) {
    auto callback = std::move(notificationPromptReponseCallback);
    notificationPromptReponseCallback = nullptr;
    if (callback) callback(success);
    auto state = VezEduduz::currentPermissionState();
    state->setAccepted(success);
    state->setAnsweredPrompt(true);
}

}  // namespace vezeduduz
