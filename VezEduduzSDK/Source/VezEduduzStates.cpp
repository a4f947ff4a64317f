// The facade's state objects and observer lists, built on first use and wired together.
#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "VezEduduzSDK/Source/VezEduduzNotificationSettings.h"
#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "platform/dispatch/MainLoop.h"

namespace vezeduduz {

using platform::dispatch::MainLoop;

std::shared_ptr<VEPermissionState> VezEduduz::currentPermissionState() {
    if (!MainLoop::isMainThread()) return answerOnMainLoop([&] { return currentPermissionState(); });
    mainThread.assertOnThread();
    auto& s = statics();
    if (!s.currentPermissionState) {
        // Stored before initAsTo: the back end fills this very object.
        s.currentPermissionState = std::make_shared<VEPermissionState>();
        auto state = s.currentPermissionState;
        state->initAsTo();
        lastPermissionState();
        state->observable().addObserver(std::make_shared<VEPermissionChangedInternalObserver>());
    }
    return s.currentPermissionState;
}

std::shared_ptr<VEPermissionState> VezEduduz::lastPermissionState() {
    if (!MainLoop::isMainThread()) return answerOnMainLoop([&] { return lastPermissionState(); });
    mainThread.assertOnThread();
    auto& s = statics();
    if (!s.lastPermissionState) {
        s.lastPermissionState = std::make_shared<VEPermissionState>();
        s.lastPermissionState->initAsFrom();
    }
    return s.lastPermissionState;
}

void VezEduduz::setLastPermissionState(std::shared_ptr<VEPermissionState> state) {
    if (!MainLoop::isMainThread()) return onMainLoop([=] { setLastPermissionState(state); });
    mainThread.assertOnThread();
    statics().lastPermissionState = std::move(state);
}

std::shared_ptr<VESubscriptionState> VezEduduz::currentSubscriptionState() {
    if (!MainLoop::isMainThread()) return answerOnMainLoop([&] { return currentSubscriptionState(); });
    mainThread.assertOnThread();
    auto& s = statics();
    if (!s.currentSubscriptionState) {
        auto permission = currentPermissionState();
        auto state = std::make_shared<VESubscriptionState>();
        state->initAsToWithPermision(permission->accepted());
        s.currentSubscriptionState = state;
        s.lastNotificationTypes = permission->notificationTypes();
        permission->observable().addObserver(state);
        state->observable().addObserver(std::make_shared<VESubscriptionChangedInternalObserver>());
    }
    return s.currentSubscriptionState;
}

std::shared_ptr<VESubscriptionState> VezEduduz::lastSubscriptionState() {
    if (!MainLoop::isMainThread()) return answerOnMainLoop([&] { return lastSubscriptionState(); });
    mainThread.assertOnThread();
    auto& s = statics();
    if (!s.lastSubscriptionState) {
        s.lastSubscriptionState = std::make_shared<VESubscriptionState>();
        s.lastSubscriptionState->initAsFrom();
    }
    return s.lastSubscriptionState;
}

void VezEduduz::setLastSubscriptionState(std::shared_ptr<VESubscriptionState> state) {
    if (!MainLoop::isMainThread()) return onMainLoop([=] { setLastSubscriptionState(state); });
    mainThread.assertOnThread();
    statics().lastSubscriptionState = std::move(state);
}

std::shared_ptr<VEEmailSubscriptionState> VezEduduz::currentEmailSubscriptionState() {
    if (!MainLoop::isMainThread()) return answerOnMainLoop([&] { return currentEmailSubscriptionState(); });
    mainThread.assertOnThread();
    auto& s = statics();
    if (!s.currentEmailSubscriptionState) {
        s.currentEmailSubscriptionState = std::make_shared<VEEmailSubscriptionState>();
        s.currentEmailSubscriptionState->observable().addObserver(
            std::make_shared<VEEmailSubscriptionChangedInternalObserver>());
    }
    return s.currentEmailSubscriptionState;
}

std::shared_ptr<VEEmailSubscriptionState> VezEduduz::lastEmailSubscriptionState() {
    if (!MainLoop::isMainThread()) return answerOnMainLoop([&] { return lastEmailSubscriptionState(); });
    mainThread.assertOnThread();
    auto& s = statics();
    if (!s.lastEmailSubscriptionState) s.lastEmailSubscriptionState = std::make_shared<VEEmailSubscriptionState>();
    return s.lastEmailSubscriptionState;
}

void VezEduduz::setLastEmailSubscriptionState(std::shared_ptr<VEEmailSubscriptionState> state) {
    if (!MainLoop::isMainThread()) return onMainLoop([=] { setLastEmailSubscriptionState(state); });
    mainThread.assertOnThread();
    statics().lastEmailSubscriptionState = std::move(state);
}

std::shared_ptr<VezEduduzNotificationSettings> VezEduduz::veNotificationSettings() {
    if (!MainLoop::isMainThread()) return answerOnMainLoop([&] { return veNotificationSettings(); });
    mainThread.assertOnThread();
    auto& s = statics();
    if (!s.veNotificationSettings) {
        if (VezEduduzHelper::isIOSVersionGreaterOrEqual(10.0f))
            s.veNotificationSettings = std::make_shared<VezEduduzNotificationSettingsIOS10>();
        else if (VezEduduzHelper::isIOSVersionGreaterOrEqual(8.0f))
            s.veNotificationSettings = std::make_shared<VezEduduzNotificationSettingsIOS8>();
        else
            s.veNotificationSettings = std::make_shared<VezEduduzNotificationSettingsIOS7>();
    }
    return s.veNotificationSettings;
}

VezEduduz::PermissionObservable& VezEduduz::permissionStateChangesObserver() {
    if (!MainLoop::isMainThread()) return *answerOnMainLoop([&] { return &permissionStateChangesObserver(); });
    mainThread.assertOnThread();
    auto& s = statics();
    if (!s.permissionStateChangesObserver)
        s.permissionStateChangesObserver =
            std::make_unique<PermissionObservable>(&VEPermissionObserver::onOSPermissionChanged);
    return *s.permissionStateChangesObserver;
}

VezEduduz::SubscriptionObservable& VezEduduz::subscriptionStateChangesObserver() {
    if (!MainLoop::isMainThread()) return *answerOnMainLoop([&] { return &subscriptionStateChangesObserver(); });
    mainThread.assertOnThread();
    auto& s = statics();
    if (!s.subscriptionStateChangesObserver)
        s.subscriptionStateChangesObserver =
            std::make_unique<SubscriptionObservable>(&VESubscriptionObserver::onOSSubscriptionChanged);
    return *s.subscriptionStateChangesObserver;
}

VezEduduz::EmailSubscriptionObservable& VezEduduz::emailSubscriptionStateChangesObserver() {
    if (!MainLoop::isMainThread()) return *answerOnMainLoop([&] { return &emailSubscriptionStateChangesObserver(); });
    mainThread.assertOnThread();
    auto& s = statics();
    if (!s.emailSubscriptionStateChangesObserver)
        s.emailSubscriptionStateChangesObserver =
            std::make_unique<EmailSubscriptionObservable>(&VEEmailSubscriptionObserver::onOSEmailSubscriptionChanged);
    return *s.emailSubscriptionStateChangesObserver;
}

}  // namespace vezeduduz
