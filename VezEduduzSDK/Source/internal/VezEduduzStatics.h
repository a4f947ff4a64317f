#pragma once
// The facade's process-wide statics (internal to the facade's files). Confined to the main loop, except
// the few atomics that the log sink and the REST client's consent check read from other threads.
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "VezEduduzSDK/Source/VezEduduz.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Error.h"

namespace vezeduduz {

using platform::dispatch::mainThread;

class VezEduduzTrackIAP;

struct DelayedInitializationParameters {
    platform::Value launchOptions;
    platform::Value appId;
    platform::Value settings;
    VEHandleNotificationReceivedBlock receivedBlock;
    VEHandleNotificationActionBlock actionBlock;
};

// The blocks of one tag call, kept until its batch is answered.
struct VEPendingCallbacks {
    VezEduduz::VEResultBlock successBlock;
    VezEduduz::VEErrorBlock failureBlock;
};

// A setEmail call waiting for a player id or for the application parameters.
struct VezEduduzSetEmailParameters {
    std::string email;
    std::optional<std::string> authToken;
    VezEduduz::VEEmailSuccessBlock successBlock;
    VezEduduz::VEErrorBlock failureBlock;
};

struct VezEduduzStatics {
    std::optional<std::string> app_id;
    std::string mSDKType = "native";
    int32_t mSubscriptionStatus = -1;
    int32_t lastNotificationTypes = -1;
    bool locationShared = true;
    VEInFocusDisplayType inFocusDisplayType = VEInFocusDisplayType::inAppAlert;
    double registrationDelay = 30.0;
    double maxApnsWait = 25.0;
    std::shared_ptr<VezEduduzNotificationSettings> veNotificationSettings;
    std::shared_ptr<VEPermissionState> currentPermissionState, lastPermissionState;
    std::shared_ptr<VESubscriptionState> currentSubscriptionState, lastSubscriptionState;
    std::shared_ptr<VEEmailSubscriptionState> currentEmailSubscriptionState, lastEmailSubscriptionState;
    std::unique_ptr<VezEduduz::PermissionObservable> permissionStateChangesObserver;
    std::unique_ptr<VezEduduz::SubscriptionObservable> subscriptionStateChangesObserver;
    std::unique_ptr<VezEduduz::EmailSubscriptionObservable> emailSubscriptionStateChangesObserver;
    bool waitingForApnsResponse = false;
    bool iosParamsRequested = false;
    bool coldStartFromTapOnNotification = false;
    bool shouldDelaySubscriptionSettingsUpdate = false;
    std::optional<double> initStartTime;  // shared Clock
    bool delayedInitPending = false;
    std::optional<DelayedInitializationParameters> delayedInitParameters;
    bool wasRegisteredAtInit = false;
    bool promptBeforeOpeningPushURL = false;
    bool providesAppNotificationSettings = false;
    bool autoPrompt = false;
    bool iosParamsReceived = false;
    bool provisionalAuthorizationRequested = false;
    bool remoteNotificationBackgroundMode = false;
    VEIdsAvailableBlock idsAvailableBlock;
    VEHandleNotificationReceivedBlock receivedBlock;
    VEHandleNotificationActionBlock actionBlock;

    // Registration.
    bool registrationInFlight = false;
    bool nextRegistrationIsHighPriority = false;
    std::optional<platform::dispatch::DispatchQueue> registerUserQueue;
    VETokenSuccessBlock pendingTokenSuccessBlock;
    VETokenFailureBlock pendingTokenFailureBlock;
    platform::Value pendingTags;  // null: none
    std::vector<VEPendingCallbacks> pendingTagCallbacks;
    // The last registration failed and no player exists: until one is sent again, nothing would carry a
    // tag batch or read the tags, so each such call hears this at once.
    std::optional<platform::Error> registrationErrorWithoutPlayer;
    VezEduduz::VEResultBlock pendingGetTagsSuccessBlock;
    VezEduduz::VEErrorBlock pendingGetTagsFailureBlock;
    std::optional<VezEduduzSetEmailParameters> parkedEmailParameters;
    std::optional<std::string> pendingHashedEmail;

    // Focus tracking (VezEduduzTracker).
    std::optional<double> unsentActiveTime;  // loaded from the defaults on first use
    double lastOpenedTime = 0;
    bool lastOnFocusWasToBackground = true;
    std::shared_ptr<VezEduduzTrackIAP> purchaseTracker;  // made once at start-up when the store allows
    // Bumped by each reset so that answers of an earlier "process" are dropped.
    uint64_t generation = 0;
};

// The statics: only code that runs on the main loop reaches them (and, in builds without NDEBUG, a
// call from another thread aborts).
VezEduduzStatics& statics() REQUIRES(mainThread);
// Puts the statics and the atomics below on the reset registry; done by whatever first sets one of them.
void addStaticsReset();

// Read from any thread.
extern std::atomic<int> gLogLevel;
extern std::atomic<int> gVisualLogLevel;
extern std::atomic<bool> gConsentRequiredByApp;
// statics().generation, for any thread: work that waits off the main loop (a queued registration, a
// request and its re-attempts) takes it when it begins and acts only while it is still current.
uint64_t currentGeneration();
inline bool isCurrentGeneration(uint64_t generation) { return currentGeneration() == generation; }

// Key of the pending deferred registration on the main loop.
inline constexpr const char* kRegisterUserDelayKey = "VezEduduz.registerUser";
// Key of the pending tag send on the main loop.
inline constexpr const char* kSendTagsDelayKey = "VezEduduz.sendTagsToServer";
inline constexpr double kSendTagsDelay = 5.0;

// Registration hands these over (VezEduduzTags.cpp, VezEduduzEmail.cpp).
// Puts the tags of a batch a registration did not deliver back in the pending batch (tags pending
// meanwhile are newer and win), with their calls' blocks ahead of the newer ones: they hear the outcome
// of the send that does deliver them, and only that one.
void requeueTags(const platform::Value& tags, const std::vector<VEPendingCallbacks>& callbacks);
// A registration ended without a player: nothing will send tags later, so the batch it carried and
// those given while it was out hear `error` and are dropped, as is every batch given until the next
// registration is sent; a parked getTags and every later one until then hear it too.
void failTagsWithoutPlayer(std::vector<VEPendingCallbacks> callbacks, const platform::Error& error);
// Schedules sendTagsToServer 5 s from now (replacing an earlier schedule).
void scheduleSendTags();

// Blocks handed to these run on the main loop, so they may be REQUIRES(mainThread).
// Runs `block` on the main loop: at once when already there, else posted.
void onMainLoop(std::function<void()> block);
// Runs `block` on the main loop and waits for it (at once when already there).
void onMainLoopSync(const std::function<void()>& block);
// Runs `block` on the main loop, waits for it and answers what it answered: the form of every facade
// call with a result, so that main-loop state is read there whichever thread asks.
template <class Block>
std::invoke_result_t<Block&> answerOnMainLoop(Block&& block) {
    using Result = std::invoke_result_t<Block&>;
    if (platform::dispatch::MainLoop::isMainThread()) {
        mainThread.assertOnThread();
        return block();
    }
    std::optional<Result> result;
    onMainLoopSync([&] {
        mainThread.assertOnThread();
        result.emplace(block());
    });
    return std::move(*result);
}

// The shared Clock's reading, for start-up times.
double clockNow();
// Seconds since 1970, for the stored session time.
double wallNow();

}  // namespace vezeduduz
