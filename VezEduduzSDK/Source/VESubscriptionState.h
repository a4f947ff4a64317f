#pragma once
// VESubscriptionState: whether this device is a subscribed player of the push service. The current
// object is restored from "VD_PLAYER_ID", "VD_DEVICE_TOKEN" and "VEZEDUDUZ_SUBSCRIPTION"; the last
// object (what the application's observers last saw) from their "_LAST" copies.
//
// It observes the current permission state and applies its `accepted`; a change of `subscribed` is then
// reported to its own observable. Lives on the main loop.
#include <memory>
#include <optional>
#include <string>

#include "VezEduduzSDK/Source/VEObservable.h"
#include "VezEduduzSDK/Source/VEPermissionState.h"
#include "platform/foundation/Value.h"

namespace vezeduduz {

class VESubscriptionState;

class VESubscriptionStateObserver {
public:
    virtual ~VESubscriptionStateObserver() = default;
    virtual void onChanged(const VESubscriptionState& state) = 0;
};

class VESubscriptionState : public VEPermissionStateObserver {
public:
    VESubscriptionState() = default;
    std::shared_ptr<VESubscriptionState> copy() const;

    void initAsToWithPermision(bool accepted);
    void initAsFrom();
    void persistAsFrom() const;

    const std::optional<std::string>& userId() const { return userId_; }
    const std::optional<std::string>& pushToken() const { return pushToken_; }
    bool userSubscriptionSetting() const { return userSubscriptionSetting_; }
    bool accpeted() const { return accpeted_; }
    bool delayedObserverUpdate() const { return delayedObserverUpdate_; }
    bool subscribed() const { return userId_ && pushToken_ && userSubscriptionSetting_ && accpeted_; }

    void setUserId(const std::string& userId);
    // The app id changed: the player belongs to the old app.
    void clearUserId();
    // Stores "VD_DEVICE_TOKEN" when the text changes.
    void setPushToken(const std::string& pushToken);
    void setUserSubscriptionSetting(bool value);
    // Held back (only delayedObserverUpdate is set) while the facade waits for a types update answer.
    void setAccepted(bool value);

    // The permission state changed.
    void onChanged(const VEPermissionState& state) override { setAccepted(state.accepted()); }

    bool compare(const VESubscriptionState& other) const;
    platform::Value toDictionary() const;
    std::string description() const;

    VEObservable<VESubscriptionStateObserver, VESubscriptionState>& observable() { return observable_; }

private:
    std::optional<std::string> userId_;
    std::optional<std::string> pushToken_;
    bool userSubscriptionSetting_ = true;
    bool accpeted_ = false;
    bool delayedObserverUpdate_ = false;
    VEObservable<VESubscriptionStateObserver, VESubscriptionState> observable_;
};

}  // namespace vezeduduz
