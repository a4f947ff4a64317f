#include "VezEduduzSDK/Source/VESubscriptionState.h"

#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzDefaults.h"

namespace vezeduduz {

namespace {
constexpr const char* kPlayerId = "VD_PLAYER_ID";
constexpr const char* kDeviceToken = "VD_DEVICE_TOKEN";
constexpr const char* kSubscription = "VEZEDUDUZ_SUBSCRIPTION";
constexpr const char* kPlayerIdLast = "VD_PLAYER_ID_LAST";
constexpr const char* kDeviceTokenLast = "VD_DEVICE_TOKEN_LAST";
constexpr const char* kSubscriptionLast = "VEZEDUDUZ_SUBSCRIPTION_LAST";
constexpr const char* kAcceptedLast = "VEZEDUDUZ_PERMISSION_ACCEPTED_LAST";

std::string textOf(const std::optional<std::string>& s) { return s.value_or(""); }
platform::Value valueOf(const std::optional<std::string>& s) { return s ? platform::Value(*s) : platform::Value(); }
}  // namespace

std::shared_ptr<VESubscriptionState> VESubscriptionState::copy() const {
    auto out = std::make_shared<VESubscriptionState>();
    out->userId_ = userId_;
    out->pushToken_ = pushToken_;
    out->userSubscriptionSetting_ = userSubscriptionSetting_;
    out->accpeted_ = accpeted_;
    return out;
}

void VESubscriptionState::initAsToWithPermision(bool accepted) {
    accpeted_ = accepted;
    userId_ = defaults::string(kPlayerId);
    pushToken_ = defaults::string(kDeviceToken);
    userSubscriptionSetting_ = !defaults::exists(kSubscription);
}

void VESubscriptionState::initAsFrom() {
    userId_ = defaults::string(kPlayerIdLast);
    pushToken_ = defaults::string(kDeviceTokenLast);
    userSubscriptionSetting_ = !defaults::exists(kSubscriptionLast);
    accpeted_ = defaults::boolean(kAcceptedLast);
}

void VESubscriptionState::persistAsFrom() const {
    defaults::setString(kPlayerIdLast, userId_);
    defaults::setString(kDeviceTokenLast, pushToken_);
    defaults::setString(kSubscriptionLast, userSubscriptionSetting_ ? std::nullopt : std::optional<std::string>("no"));
    defaults::set(kAcceptedLast, accpeted_);
}

void VESubscriptionState::setUserId(const std::string& userId) {
    bool changed = textOf(userId_) != userId;
    userId_ = userId;
    if (changed) observable_.notifyChange(*this);
}

void VESubscriptionState::clearUserId() {
    if (!userId_) return;
    userId_.reset();
    observable_.notifyChange(*this);
}

void VESubscriptionState::setPushToken(const std::string& pushToken) {
    if (pushToken_ && *pushToken_ == pushToken) return;
    pushToken_ = pushToken;
    defaults::setString(kDeviceToken, pushToken);
    observable_.notifyChange(*this);
}

void VESubscriptionState::setUserSubscriptionSetting(bool value) {
    bool changed = userSubscriptionSetting_ != value;
    userSubscriptionSetting_ = value;
    if (changed) observable_.notifyChange(*this);
}

void VESubscriptionState::setAccepted(bool value) {
    bool before = subscribed();
    if (VezEduduz::shouldDelaySubscriptionSettingsUpdate()) {
        delayedObserverUpdate_ = true;
        return;
    }
    accpeted_ = value;
    if (before != subscribed()) observable_.notifyChange(*this);
}

bool VESubscriptionState::compare(const VESubscriptionState& other) const {
    return textOf(userId_) != textOf(other.userId_) || textOf(pushToken_) != textOf(other.pushToken_) ||
           userSubscriptionSetting_ != other.userSubscriptionSetting_ || accpeted_ != other.accpeted_;
}

platform::Value VESubscriptionState::toDictionary() const {
    return platform::Value::dictionary({{"userId", valueOf(userId_)},
                                        {"pushToken", valueOf(pushToken_)},
                                        {"userSubscriptionSetting", userSubscriptionSetting_},
                                        {"subscribed", subscribed()}});
}

std::string VESubscriptionState::description() const {
    return "<VESubscriptionState: userId: " + (userId_ ? *userId_ : "(null)") +
           ", pushToken: " + (pushToken_ ? *pushToken_ : "(null)") +
           ", userSubscriptionSetting: " + std::to_string(userSubscriptionSetting_ ? 1 : 0) +
           ", subscribed: " + std::to_string(subscribed() ? 1 : 0) + ">";
}

}  // namespace vezeduduz
