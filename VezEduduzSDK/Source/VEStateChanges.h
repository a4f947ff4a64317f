#pragma once
// Changes objects (from: the state the application's observers last saw; to: a copy of the current
// state), the application's observer interfaces, the internal observers that turn a state change into
// a changes object, and the permission-subscription snapshot.
//
// Firing a change: the internal observer hands a changes object to the facade's application-facing list;
// only when that reached an observer does the last state move to a copy of the current one and get
// stored, so an undelivered change is reported again, from the same old state, to a later observer.
// Application observers run on the main loop (posted); everything else runs where the state changed,
// which is the main loop.
#include <memory>
#include <string>

#include "VezEduduzSDK/Source/VEEmailSubscriptionState.h"
#include "VezEduduzSDK/Source/VEPermissionState.h"
#include "VezEduduzSDK/Source/VESubscriptionState.h"
#include "platform/foundation/Value.h"

namespace vezeduduz {

template <class State>
struct VEStateChangesOf {
    std::shared_ptr<State> from;
    std::shared_ptr<State> to;
    platform::Value toDictionary() const {
        return platform::Value::dictionary({{"from", from ? from->toDictionary() : platform::Value()},
                                            {"to", to ? to->toDictionary() : platform::Value()}});
    }
};

class VEPermissionStateChanges : public VEStateChangesOf<VEPermissionState> {
public:
    std::string description() const;
};
class VESubscriptionStateChanges : public VEStateChangesOf<VESubscriptionState> {
public:
    std::string description() const;
};
class VEEmailSubscriptionStateChanges : public VEStateChangesOf<VEEmailSubscriptionState> {
public:
    std::string description() const;
};

// The application's observers (held weakly by the facade; called on the main loop).
class VEPermissionObserver {
public:
    virtual ~VEPermissionObserver() = default;
    virtual void onOSPermissionChanged(std::shared_ptr<VEPermissionStateChanges> stateChanges) = 0;
};
class VESubscriptionObserver {
public:
    virtual ~VESubscriptionObserver() = default;
    virtual void onOSSubscriptionChanged(std::shared_ptr<VESubscriptionStateChanges> stateChanges) = 0;
};
class VEEmailSubscriptionObserver {
public:
    virtual ~VEEmailSubscriptionObserver() = default;
    virtual void onOSEmailSubscriptionChanged(std::shared_ptr<VEEmailSubscriptionStateChanges> stateChanges) = 0;
};

class VEPermissionChangedInternalObserver : public VEPermissionStateObserver {
public:
    void onChanged(const VEPermissionState& state) override { fireChangesObserver(state); }
    static void fireChangesObserver(const VEPermissionState& state);
};
class VESubscriptionChangedInternalObserver : public VESubscriptionStateObserver {
public:
    void onChanged(const VESubscriptionState& state) override { fireChangesObserver(state); }
    static void fireChangesObserver(const VESubscriptionState& state);
};
class VEEmailSubscriptionChangedInternalObserver : public VEEmailSubscriptionStateObserver {
public:
    void onChanged(const VEEmailSubscriptionState& state) override { fireChangesObserver(state); }
    static void fireChangesObserver(const VEEmailSubscriptionState& state);
};

// The snapshot handed to the application: the current state objects themselves, so it shows later
// changes too.
class VEPermissionSubscriptionState {
public:
    std::shared_ptr<VEPermissionState> permissionStatus;
    std::shared_ptr<VESubscriptionState> subscriptionStatus;
    std::shared_ptr<VEEmailSubscriptionState> emailSubscriptionStatus;

    platform::Value toDictionary() const;
    std::string description() const;
};

}  // namespace vezeduduz
