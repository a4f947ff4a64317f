#pragma once
// VEPermissionState: what the user allowed. The facade keeps a current object (filled by the permission
// back end for the running system version) and a last object (what the application's observers last
// saw, kept across launches under the "_LAST" keys).
//
// Setters that change an observed answer notify the state's own observable (internal observers, told
// synchronously). Lives on the main loop, like all push-client state.
#include <cstdint>
#include <memory>
#include <string>

#include "VezEduduzSDK/Source/VEObservable.h"
#include "platform/foundation/Value.h"

namespace vezeduduz {

enum class VEPermissionStatus : int { NotDetermined = 0, Denied = 1, Authorized = 2, Provisional = 3 };
const char* VEPermissionStatusName(VEPermissionStatus status);  // "NotDetermined" for anything else

class VEPermissionState;

// Internal observers of a permission state (the internal change observer and the subscription state).
class VEPermissionStateObserver {
public:
    virtual ~VEPermissionStateObserver() = default;
    virtual void onChanged(const VEPermissionState& state) = 0;
};

class VEPermissionState {
public:
    VEPermissionState() = default;
    // A copy carries the five stored flags only (no notification types, no observers).
    std::shared_ptr<VEPermissionState> copy() const;

    // The current state: asks the permission back end, which fills the facade's current permission
    // state (this object, once the facade has stored it).
    void initAsTo();
    // The last state: the five "_LAST" flags.
    void initAsFrom();
    void persistAsFrom() const;

    bool hasPrompted() const { return answeredPrompt() || hasPrompted_; }
    bool answeredPrompt() const { return accepted_ || answeredPrompt_; }
    bool accepted() const { return accepted_; }
    bool provisional() const { return provisional_; }
    bool isProvisional() const { return provisional_; }
    bool providesAppNotificationSettings() const { return providesAppNotificationSettings_; }
    int32_t notificationTypes() const { return notificationTypes_; }

    void setHasPrompted(bool value);
    void setAnsweredPrompt(bool value);
    void setAccepted(bool value);
    void setProvisional(bool value);
    void setNotificationTypes(int32_t value) { notificationTypes_ = value; }
    void setProvidesAppNotificationSettings(bool value) { providesAppNotificationSettings_ = value; }

    bool reachable() const { return provisional_ || accepted_; }
    VEPermissionStatus status() const;
    std::string statusAsString() const { return VEPermissionStatusName(status()); }

    // True when the two differ in what the application sees (provisional is not compared).
    bool compare(const VEPermissionState& other) const;
    platform::Value toDictionary() const;
    std::string description() const;

    VEObservable<VEPermissionStateObserver, VEPermissionState>& observable() { return observable_; }

private:
    bool hasPrompted_ = false;
    bool answeredPrompt_ = false;
    bool accepted_ = false;
    bool provisional_ = false;
    bool providesAppNotificationSettings_ = false;
    int32_t notificationTypes_ = 0;
    VEObservable<VEPermissionStateObserver, VEPermissionState> observable_;
};

}  // namespace vezeduduz
