#include "VezEduduzSDK/Source/internal/VezEduduzTracker.h"

#include "VezEduduzSDK/Source/VERequests.h"
#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzClient.h"
#include "VezEduduzSDK/Source/VezEduduzDefaults.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "platform/uikit/Application.h"

namespace vezeduduz {

using platform::Value;

namespace {

constexpr const char* kUnsentActiveTimeKey = "VD_UNSENT_ACTIVE_TIME";
constexpr const char* kLastClosedTimeKey = "VD_LAST_CLOSED_TIME";

// Both players hear it: the push player, and the e-mail player when there is one.
VERequestGroup
forBothPlayers(const std::function<std::shared_ptr<VezEduduzRequest>(const std::optional<std::string>& userId,
                                                                     const std::optional<std::string>& hash)>& make) {
    VERequestGroup requests;
    requests["push"] = make(VezEduduz::mUserId(), std::nullopt);
    if (auto emailUserId = VezEduduz::mEmailUserId())
        requests["email"] = make(emailUserId, VezEduduz::mEmailAuthToken());
    return requests;
}

void sendBadgeCleared() {
    auto appId = VezEduduz::app_id();
    VezEduduzClient::sharedClient().executeSimultaneousRequests(
        forBothPlayers([&](const auto& userId, const auto& hash) {
            return VERequestOnFocus::withUserId(userId, appId, Value(0), hash);
        }),
        nullptr, nullptr);
}

// Each ping covers itself with its own background task, ended when the service answered; time the
// service did not take goes back to the unsent total.
void ping(double total) {
    mainThread.assertOnThread();
    auto app = platform::uikit::Application::shared();
    auto task = std::make_shared<platform::uikit::BackgroundTaskIdentifier>(platform::uikit::kBackgroundTaskInvalid);
    auto endTask = [weakApp = std::weak_ptr(app), task] {
        auto app = weakApp.lock();
        if (app && *task != platform::uikit::kBackgroundTaskInvalid) app->endBackgroundTask(*task);
        *task = platform::uikit::kBackgroundTaskInvalid;
    };
    if (app) *task = app->beginBackgroundTask(endTask);
    auto appId = VezEduduz::app_id();
    Value netType = VezEduduzHelper::getNetType();
    uint64_t generation = statics().generation;
    VezEduduzClient::sharedClient().executeSimultaneousRequests(
        forBothPlayers([&](const auto& userId, const auto& hash) {
            return VERequestOnFocus::withUserId(userId, appId, "ping", Value(1), Value(total), netType, hash);
        }),
        [endTask](const std::map<std::string, Value>&) { endTask(); },
        [endTask, total, generation](const std::map<std::string, platform::Error>& errors) {
            mainThread.assertOnThread();
            endTask();
            // Only the push player's count matters for the total; the e-mail player's is a copy.
            if (statics().generation == generation && errors.count("push"))
                VezEduduzTracker::saveUnsentActiveTime(VezEduduzTracker::getUnsentActiveTime() + total);
        });
}

}  // namespace

void VezEduduzTracker::onFocus(bool toBackground) {
    mainThread.assertOnThread();
    if (VezEduduz::requiresUserPrivacyConsent()) return;
    auto& s = statics();
    if (toBackground == s.lastOnFocusWasToBackground) return;
    s.lastOnFocusWasToBackground = toBackground;
    double now = wallNow();
    double total = 0;
    bool wasBadgeSet = false;

    if (toBackground) {
        defaults::set(kLastClosedTimeKey, now);
        double spell = now - s.lastOpenedTime + kSpellPadding;
        if (spell < 0 || spell > kLongestSpell) return;
        total = getUnsentActiveTime() + spell;
        if (total < kMinActiveTimeToReport || !VezEduduz::mUserId()) {
            // Without a player the time waits on the device for a later spell.
            saveUnsentActiveTime(total);
            return;
        }
    } else {
        s.lastOpenedTime = now;
        if (!VezEduduz::sendNotificationTypesUpdate() && VezEduduz::mUserId()) VezEduduz::registerUser();
        wasBadgeSet = VezEduduz::clearBadgeCount(false);
    }

    if (!VezEduduz::mUserId()) return;
    if (!toBackground) {
        if (wasBadgeSet) sendBadgeCleared();
        return;
    }
    saveUnsentActiveTime(0);
    ping(total);
}

double VezEduduzTracker::getUnsentActiveTime() {
    mainThread.assertOnThread();
    auto& s = statics();
    if (!s.unsentActiveTime) s.unsentActiveTime = defaults::number(kUnsentActiveTimeKey).value_or(0);
    return *s.unsentActiveTime;
}

void VezEduduzTracker::saveUnsentActiveTime(double seconds) {
    mainThread.assertOnThread();
    statics().unsentActiveTime = seconds;
    defaults::set(kUnsentActiveTimeKey, seconds);
}

}  // namespace vezeduduz
