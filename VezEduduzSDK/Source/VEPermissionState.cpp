#include "VezEduduzSDK/Source/VEPermissionState.h"

#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzDefaults.h"
#include "VezEduduzSDK/Source/VezEduduzNotificationSettings.h"

namespace vezeduduz {

namespace {
constexpr const char* kHasPrompted = "VE_HAS_PROMPTED_FOR_NOTIFICATIONS";
constexpr const char* kProvisional = "VEZEDUDUZ_PROVISIONAL_AUTHORIZATION";
constexpr const char* kHasPromptedLast = "VE_HAS_PROMPTED_FOR_NOTIFICATIONS_LAST";
constexpr const char* kAnsweredLast = "VE_NOTIFICATION_PROMPT_ANSWERED_LAST";
constexpr const char* kAcceptedLast = "VEZEDUDUZ_ACCEPTED_NOTIFICATION_LAST";
constexpr const char* kProvisionalLast = "VEZEDUDUZ_PROVISIONAL_AUTHORIZATION_LAST";
constexpr const char* kProvidesSettings = "VE_APP_PROVIDES_NOTIFICATION_SETTINGS";
}  // namespace

const char* VEPermissionStatusName(VEPermissionStatus status) {
    switch (status) {
    case VEPermissionStatus::Denied:
        return "Denied";
    case VEPermissionStatus::Authorized:
        return "Authorized";
    case VEPermissionStatus::Provisional:
        return "Provisional";
    default:
        return "NotDetermined";
    }
}

std::shared_ptr<VEPermissionState> VEPermissionState::copy() const {
    auto out = std::make_shared<VEPermissionState>();
    out->hasPrompted_ = hasPrompted_;
    out->answeredPrompt_ = answeredPrompt_;
    out->accepted_ = accepted_;
    out->provisional_ = provisional_;
    out->providesAppNotificationSettings_ = providesAppNotificationSettings_;
    return out;
}

void VEPermissionState::initAsTo() { VezEduduz::veNotificationSettings()->getNotificationPermissionState(); }

void VEPermissionState::initAsFrom() {
    hasPrompted_ = defaults::boolean(kHasPromptedLast);
    answeredPrompt_ = defaults::boolean(kAnsweredLast);
    accepted_ = defaults::boolean(kAcceptedLast);
    provisional_ = defaults::boolean(kProvisionalLast);
    providesAppNotificationSettings_ = defaults::boolean(kProvidesSettings);
}

void VEPermissionState::persistAsFrom() const {
    defaults::set(kHasPromptedLast, hasPrompted_);
    defaults::set(kAnsweredLast, answeredPrompt_);
    defaults::set(kAcceptedLast, accepted_);
    defaults::set(kProvisionalLast, provisional_);
    defaults::set(kProvidesSettings, providesAppNotificationSettings_);
}

void VEPermissionState::setHasPrompted(bool value) {
    bool before = hasPrompted();
    if (hasPrompted_ != value) {
        hasPrompted_ = value;
        if (value) defaults::set(kHasPrompted, true);
    }
    if (before != hasPrompted()) observable_.notifyChange(*this);
}

void VEPermissionState::setAnsweredPrompt(bool value) {
    bool before = answeredPrompt();
    answeredPrompt_ = value;
    if (before != answeredPrompt()) observable_.notifyChange(*this);
}

void VEPermissionState::setAccepted(bool value) {
    bool changed = accepted_ != value;
    accepted_ = value;
    if (changed) observable_.notifyChange(*this);
}

void VEPermissionState::setProvisional(bool value) {
    if (provisional_ == value) return;
    provisional_ = value;
    defaults::set(kProvisional, value);
    observable_.notifyChange(*this);
}

VEPermissionStatus VEPermissionState::status() const {
    if (accepted_) return VEPermissionStatus::Authorized;
    if (answeredPrompt()) return VEPermissionStatus::Denied;
    if (provisional_) return VEPermissionStatus::Provisional;
    return VEPermissionStatus::NotDetermined;
}

bool VEPermissionState::compare(const VEPermissionState& other) const {
    return accepted_ != other.accepted_ || answeredPrompt() != other.answeredPrompt() ||
           hasPrompted() != other.hasPrompted();
}

platform::Value VEPermissionState::toDictionary() const {
    return platform::Value::dictionary(
        {{"hasPrompted", hasPrompted()}, {"status", static_cast<int>(status())}, {"provisional", provisional_}});
}

std::string VEPermissionState::description() const {
    return "<VEPermissionState: hasPrompted: " + std::to_string(hasPrompted() ? 1 : 0) +
           ", status: " + statusAsString() + ", provisional: " + std::to_string(provisional_ ? 1 : 0) + ">";
}

}  // namespace vezeduduz
