#include <optional>

#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "VezEduduzSDK/Source/VezEduduzNotificationSettings.h"
#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/usernotifications/UserNotificationCenter.h"

namespace vezeduduz {

namespace un = platform::usernotifications;
using platform::dispatch::MainLoop;

namespace {

std::shared_ptr<un::UserNotificationCenter> centre() {
    un::registerClasses();
    return un::UserNotificationCenter::current();
}

// Runs `block` on the main loop unless the facade was reset since `generation` was read.
void toMainLoop(uint64_t generation, std::function<void()> block) {
    MainLoop::shared().post([generation, block = std::move(block)] {
        mainThread.assertOnThread();
        if (statics().generation == generation) block();
    });
}

// One synchronous read: the system's answer handed from its thread to the waiting main loop, or, once the
// wait ran out, posted there instead.
struct PendingRead {
    platform::dispatch::Mutex mutex;
    platform::dispatch::ConditionVariable cv;
    std::optional<un::NotificationSettings> settings GUARDED_BY(mutex);
    bool abandoned GUARDED_BY(mutex) = false;
};

}  // namespace

VezEduduzNotificationSettingsIOS10::VezEduduzNotificationSettingsIOS10() : queue_(kQueueLabel) {}

void VezEduduzNotificationSettingsIOS10::applySettings(const un::NotificationSettings& settings) {
    auto state = VezEduduz::currentPermissionState();
    auto status = settings.authorizationStatus;
    state->setAnsweredPrompt(status != un::AuthorizationStatus::NotDetermined &&
                             status != un::AuthorizationStatus::Provisional);
    state->setProvisional(status == un::AuthorizationStatus::Provisional);
    state->setAccepted(status == un::AuthorizationStatus::Authorized && !state->provisional());
    auto on = [](un::NotificationSetting s) { return s == un::NotificationSetting::Enabled; };
    int32_t types = (on(settings.badgeSetting) ? 1 : 0) + (on(settings.soundSetting) ? 2 : 0) +
                    (on(settings.alertSetting) ? 4 : 0) + (on(settings.lockScreenSetting) ? 8 : 0);
    if (VezEduduzHelper::isIOSVersionGreaterOrEqual(12.0f) && types == 0 &&
        status == un::AuthorizationStatus::Provisional)
        types = kVENotificationTypesProvisional;
    state->setNotificationTypes(types);
}

void VezEduduzNotificationSettingsIOS10::getNotificationPermissionState(StateBlock block) {
    mainThread.assertOnThread();
    if (useCachedStatus_) {
        if (block) block(VezEduduz::currentPermissionState());
        return;
    }
    std::weak_ptr<VezEduduzNotificationSettingsIOS10> weak = weak_from_this();
    uint64_t generation = statics().generation;
    queue_.async([weak, generation, block] {
        auto c = centre();
        auto deliver = [weak, generation, block](un::NotificationSettings settings) {
            toMainLoop(generation, [weak, settings, block] {
                applySettings(settings);
                auto self = weak.lock();
                if (self) self->useCachedStatus_ = true;
                if (block) block(VezEduduz::currentPermissionState());
                if (self) self->useCachedStatus_ = false;
            });
        };
        if (c)
            c->getNotificationSettingsWithCompletionHandler(deliver);
        else
            deliver(un::NotificationSettings{});
    });
}

std::shared_ptr<VEPermissionState> VezEduduzNotificationSettingsIOS10::getNotificationPermissionState() {
    mainThread.assertOnThread();
    auto current = VezEduduz::currentPermissionState();
    if (useCachedStatus_) return current;
    auto pending = std::make_shared<PendingRead>();
    uint64_t generation = statics().generation;
    queue_.async([pending, generation] {
        auto answer = [pending, generation](un::NotificationSettings settings) {
            platform::dispatch::MutexLock lock(pending->mutex);
            if (pending->abandoned) {
                // Too late for the reader: the answer still updates the state.
                toMainLoop(generation, [settings] { applySettings(settings); });
                return;
            }
            pending->settings = settings;
            pending->cv.notify_all();
        };
        auto c = centre();
        if (c)
            c->getNotificationSettingsWithCompletionHandler(answer);
        else
            answer(un::NotificationSettings{});
    });
    std::optional<un::NotificationSettings> settings;
    {
        platform::dispatch::MutexLock lock(pending->mutex);
        pending->cv.wait_for(pending->mutex, std::chrono::duration<double>(kSyncWaitSeconds),
                             [&]() REQUIRES(pending->mutex) { return pending->settings.has_value(); });
        settings = pending->settings;
        if (!settings) pending->abandoned = true;
    }
    if (settings) applySettings(*settings);
    return current;
}

int32_t VezEduduzNotificationSettingsIOS10::getNotificationTypes() {
    return getNotificationPermissionState()->notificationTypes();
}

void VezEduduzNotificationSettingsIOS10::promptForNotifications(AnswerBlock block) {
    mainThread.assertOnThread();
    int64_t options = un::AuthorizationOptionBadge | un::AuthorizationOptionSound | un::AuthorizationOptionAlert;
    if (VezEduduzHelper::isIOSVersionGreaterOrEqual(12.0f) && VezEduduz::providesAppNotificationSettings())
        options |= un::AuthorizationOptionProvidesAppNotificationSettings;
    uint64_t generation = statics().generation;
    if (auto c = centre()) {
        c->requestAuthorizationWithOptions(options, [generation, block](bool granted, std::optional<platform::Error>) {
            toMainLoop(generation, [granted, block] {
                auto state = VezEduduz::currentPermissionState();
                state->setProvisional(false);
                state->setAccepted(granted);
                state->setAnsweredPrompt(true);
                VezEduduz::updateNotificationTypes(granted ? kVENotificationTypesAll : 0);
                if (block) block(granted);
            });
        });
    }
    VezEduduz::registerForAPNsToken();
}

void VezEduduzNotificationSettingsIOS10::registerForProvisionalAuthorization(AnswerBlock block) {
    mainThread.assertOnThread();
    if (!VezEduduzHelper::isIOSVersionGreaterOrEqual(12.0f)) return;
    auto state = getNotificationPermissionState();
    auto c = centre();
    if (state->status() != VEPermissionStatus::NotDetermined || state->answeredPrompt() || !c) {
        if (block) block(true);
        return;
    }
    uint64_t generation = statics().generation;
    c->requestAuthorizationWithOptions(
        un::AuthorizationOptionProvisional, [generation, block](bool granted, std::optional<platform::Error>) {
            toMainLoop(generation, [granted, block] {
                VezEduduz::currentPermissionState()->setProvisional(granted);
                VezEduduz::updateNotificationTypes(granted ? kVENotificationTypesProvisional : 0);
                if (block) block(granted);
            });
        });
}

}  // namespace vezeduduz
