#include "VezEduduzSDK/Source/VEStateChanges.h"

#include "VezEduduzSDK/Source/VezEduduz.h"

namespace vezeduduz {

namespace {
template <class Changes>
std::string describe(const char* name, const Changes& c) {
    return std::string("<") + name + ":\nfrom: " + (c.from ? c.from->description() : "(null)") +
           ",\nto:   " + (c.to ? c.to->description() : "(null)") + "\n>";
}
}  // namespace

std::string VEPermissionStateChanges::description() const { return describe("VEPermissionStateChanges", *this); }
std::string VESubscriptionStateChanges::description() const { return describe("VESubscriptionStateChanges", *this); }
std::string VEEmailSubscriptionStateChanges::description() const {
    return describe("VEEmailSubscriptionStateChanges", *this);
}

void VEPermissionChangedInternalObserver::fireChangesObserver(const VEPermissionState& state) {
    auto changes = std::make_shared<VEPermissionStateChanges>();
    changes->from = VezEduduz::lastPermissionState();
    changes->to = state.copy();
    if (VezEduduz::permissionStateChangesObserver().notifyChange(changes)) {
        auto last = state.copy();
        VezEduduz::setLastPermissionState(last);
        last->persistAsFrom();
    }
}

void VESubscriptionChangedInternalObserver::fireChangesObserver(const VESubscriptionState& state) {
    auto changes = std::make_shared<VESubscriptionStateChanges>();
    changes->from = VezEduduz::lastSubscriptionState();
    changes->to = state.copy();
    if (VezEduduz::subscriptionStateChangesObserver().notifyChange(changes)) {
        auto last = state.copy();
        VezEduduz::setLastSubscriptionState(last);
        last->persistAsFrom();
    }
}

void VEEmailSubscriptionChangedInternalObserver::fireChangesObserver(const VEEmailSubscriptionState& state) {
    auto changes = std::make_shared<VEEmailSubscriptionStateChanges>();
    changes->from = VezEduduz::lastEmailSubscriptionState();
    changes->to = state.copy();
    if (VezEduduz::emailSubscriptionStateChangesObserver().notifyChange(changes)) {
        auto last = state.copy();
        VezEduduz::setLastEmailSubscriptionState(last);
        last->persist();
    }
}

platform::Value VEPermissionSubscriptionState::toDictionary() const {
    return platform::Value::dictionary(
        {{"permissionStatus", permissionStatus ? permissionStatus->toDictionary() : platform::Value()},
         {"subscriptionStatus", subscriptionStatus ? subscriptionStatus->toDictionary() : platform::Value()},
         {"emailSubscriptionStatus",
          emailSubscriptionStatus ? emailSubscriptionStatus->toDictionary() : platform::Value()}});
}

std::string VEPermissionSubscriptionState::description() const {
    return "<VEPermissionSubscriptionState:\npermissionStatus: " +
           (permissionStatus ? permissionStatus->description() : std::string("(null)")) + ",\nsubscriptionStatus: " +
           (subscriptionStatus ? subscriptionStatus->description() : std::string("(null)")) + "\n>";
}

}  // namespace vezeduduz
