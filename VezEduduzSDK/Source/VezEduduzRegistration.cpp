// Device registration: the push token (or its failure) becomes a player at the push service; later
// launches open new sessions, token and notification-type changes are sent, and the throttle keeps
// sessions at most one per 30 s outside the high-priority cases.
#include <ctime>

#include "VezEduduzSDK/Source/VERequests.h"
#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzClient.h"
#include "VezEduduzSDK/Source/VezEduduzDefaults.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "VezEduduzSDK/Source/VezEduduzJailbreakDetection.h"
#include "VezEduduzSDK/Source/VezEduduzLocation.h"
#include "VezEduduzSDK/Source/VezEduduzMobileProvision.h"
#include "VezEduduzSDK/Source/VezEduduzNotificationSettings.h"
#include "VezEduduzSDK/Source/VezEduduzTrackZidedovaAnalytics.h"
#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Locale.h"
#include "platform/foundation/SystemIdentification.h"
#include "platform/uikit/Device.h"

namespace vezeduduz {

using platform::Value;
using platform::dispatch::MainLoop;

namespace {

constexpr const char* kLastClosedTimeKey = "VD_LAST_CLOSED_TIME";
constexpr const char* kPlayerIdKey = "VD_PLAYER_ID";
constexpr const char* kEmailPlayerIdKey = "VD_EMAIL_PLAYER_ID";
constexpr const char* kPromptAnsweredKey = "VE_NOTIFICATION_PROMPT_ANSWERED";
constexpr double kSessionThrottleSeconds = 30.0;
constexpr int32_t kDeviceTypePush = 0;
constexpr int32_t kDeviceTypeEmail = 11;

// What the registration needs of the main loop's state, taken there before the hop to the queue.
struct RegistrationSnapshot {
    uint64_t generation = 0;
    std::optional<std::string> appId;
    std::optional<std::string> userId;
    std::optional<std::string> pushToken;
    std::string sdkType;
    int32_t notificationTypes = 0;
    Value tags;                                    // null: none pending
    std::vector<VEPendingCallbacks> tagCallbacks;  // the blocks of the tag calls whose tags ride along
    bool sendEmail = false;
    std::optional<std::string> emailUserId;
    std::optional<std::string> emailAuthCode;
    std::optional<VezEduduzLocation::Fix> location;  // only while location sharing is on
};

int32_t secondsFromGMT() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return static_cast<int32_t>(local.tm_gmtoff);
}

// Runs on the register queue: device facts may touch the file system.
Value buildBody(const RegistrationSnapshot& snap) {
    Value body = Value::dictionary();
    // The leading entries go together: without an app id none of them is sent.
    if (snap.appId) {
        body.set("app_id", *snap.appId);
        auto& device = platform::uikit::Device::currentDevice();
        body.set("device_os", device.systemVersion());
        body.set("timezone", secondsFromGMT());
        body.set("device_type", kDeviceTypePush);
        // The device may withhold the vendor identifier; the player is then made without one.
        if (auto vendorId = device.identifierForVendor()) body.set("ad_id", vendorId->uuidString());
        body.set("sdk", VezEduduz::kSdkVersionRaw);
    }
    if (auto machine = platform::uname().machine; !machine.empty()) body.set("device_model", machine);
    auto bundle = platform::Bundle::mainBundle();
    if (auto version = bundle ? bundle->bundleVersion() : std::nullopt) body.set("game_version", *version);
    if (VezEduduzJailbreakDetection::isJailbroken()) body.set("rooted", true);
    body.set("net_type", VezEduduzHelper::getNetType());
    if (!snap.userId) {
        body.set("sdk_type", snap.sdkType);
        if (auto identifier = bundle ? bundle->bundleIdentifier() : std::nullopt) body.set("ios_bundle", *identifier);
    }
    auto languages = platform::Locale::preferredLanguages();
    if (!languages.empty()) body.set("language", languages.front());
    body.set("notification_types", snap.notificationTypes);
    int mode = static_cast<int>(VezEduduzMobileProvision::releaseMode());
    if (mode >= 1 && mode <= 3) body.set("test_type", mode);
    if (!snap.tags.isNull()) body.set("tags", snap.tags);
    if (snap.location) {
        body.set("lat", snap.location->record.latitude);
        body.set("long", snap.location->record.longitude);
        body.set("loc_acc_vert", snap.location->record.verticalAccuracy);
        body.set("loc_acc", snap.location->record.horizontalAccuracy);
    }
    return body;
}

void sendRegistration(const RegistrationSnapshot& snap);
void registrationSucceeded(const std::map<std::string, Value>& results, const RegistrationSnapshot& snap);
void registrationFailed(const std::map<std::string, platform::Error>& errors, const RegistrationSnapshot& snap);

const std::string* idOf(const std::map<std::string, Value>& results, const char* key) {
    auto it = results.find(key);
    if (it == results.end()) return nullptr;
    const Value* id = it->second.find("id");
    return id ? id->asString() : nullptr;
}

// Sends the token to the existing player.
void sendDeviceToken(const std::string& deviceToken, VETokenSuccessBlock onSuccess, VETokenFailureBlock onFailure) {
    mainThread.assertOnThread();
    VezEduduz::vezeduduz_Log(VELogLevel::verbose, "Calling VezEduduz PUT updated pushToken!");
    auto request = VERequestUpdateDeviceToken::withUserId(
        VezEduduz::currentSubscriptionState()->userId(), statics().app_id, deviceToken,
        Value(VezEduduz::getNotificationTypes()), std::nullopt, std::nullopt, std::nullopt);
    VezEduduzClient::sharedClient().executeRequest(request, std::move(onSuccess), std::move(onFailure));
    VezEduduz::fireIdsAvailableCallback();
}

}  // namespace

// ---- the push token ----

std::string VezEduduz::hexDeviceToken(const platform::Bytes& deviceToken) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(deviceToken.size() * 2);
    for (uint8_t byte : deviceToken) {
        out.push_back(kDigits[byte >> 4]);
        out.push_back(kDigits[byte & 0x0f]);
    }
    return out;
}

void VezEduduz::didRegisterForRemoteNotifications(const platform::Bytes& deviceToken) {
    onMainLoop([deviceToken] {
        mainThread.assertOnThread();
        if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) return;
        std::string token = hexDeviceToken(deviceToken);
        vezeduduz_Log(VELogLevel::info, "Device Registered with Apple: " + token);
        statics().waitingForApnsResponse = false;
        if (!statics().app_id) return;
        updateDeviceToken(
            token,
            [](const Value&) {
                vezeduduz_Log(VELogLevel::info, "Device Registered with VezEduduz: " +
                                                    currentSubscriptionState()->userId().value_or("(null)"));
            },
            [](const platform::Error& error) {
                vezeduduz_Log(VELogLevel::error, "Error in VezEduduz Registration: " + error.description());
            });
    });
}

void VezEduduz::handleDidFailRegisterForRemoteNotification(const platform::Error& error) {
    onMainLoop([error] {
        mainThread.assertOnThread();
        statics().waitingForApnsResponse = false;
        if (error.code == 3000) {
            if (error.localizedDescription().find("no valid 'aps-environment'") != std::string::npos) {
                setSubscriptionErrorStatus(-13);
                vezeduduz_Log(VELogLevel::error,
                              "ERROR! 'Push Notification' capability not turned on! Enable it in Xcode under "
                              "'Project Target' -> Capability.");
            } else {
                setSubscriptionErrorStatus(-17);
                vezeduduz_Log(VELogLevel::error,
                              "ERROR! Unknown 3000 error returned from APNs when getting a push token: " +
                                  error.description());
            }
        } else if (error.code == 3010) {
            setSubscriptionErrorStatus(-15);
            vezeduduz_Log(VELogLevel::error,
                          "Error! iOS Simulator does not support push! Please test on a real iOS device. Error: " +
                              error.description());
        } else {
            setSubscriptionErrorStatus(-16);
            vezeduduz_Log(VELogLevel::error,
                          "Error registering for Apple push notifications! Error: " + error.description());
        }
        veNotificationSettings()->onAPNsResponse(false);
    });
}

void VezEduduz::setSubscriptionErrorStatus(int32_t errorType) {
    if (!MainLoop::isMainThread()) return onMainLoop([=] { setSubscriptionErrorStatus(errorType); });
    mainThread.assertOnThread();
    vezeduduz_Log(VELogLevel::verbose, "setSubscriptionErrorStatus: " + std::to_string(errorType));
    statics().mSubscriptionStatus = errorType;
    if (currentSubscriptionState()->userId())
        sendNotificationTypesUpdate();
    else
        registerUser();
}

void VezEduduz::updateDeviceToken(const std::string& deviceToken, VETokenSuccessBlock onSuccess,
                                  VETokenFailureBlock onFailure) {
    if (!MainLoop::isMainThread()) return onMainLoop([=] { updateDeviceToken(deviceToken, onSuccess, onFailure); });
    mainThread.assertOnThread();
    if (shouldLogMissingPrivacyConsentErrorWithMethodName("updateDeviceToken:onSuccess:onFailure:")) return;
    vezeduduz_Log(VELogLevel::verbose, "updateDeviceToken:onSuccess:onFailure:");
    auto& s = statics();
    veNotificationSettings()->onAPNsResponse(true);
    auto subscription = currentSubscriptionState();
    bool sameToken = subscription->pushToken() == deviceToken;
    s.nextRegistrationIsHighPriority = !sameToken || getNotificationTypes() != s.lastNotificationTypes;

    if (!subscription->userId()) {
        subscription->setPushToken(deviceToken);
        s.pendingTokenSuccessBlock = std::move(onSuccess);
        s.pendingTokenFailureBlock = std::move(onFailure);
        uint64_t generation = s.generation;
        veNotificationSettings()->getNotificationPermissionState(
            [generation](std::shared_ptr<VEPermissionState> state) {
                mainThread.assertOnThread();
                if (statics().generation != generation) return;
                if (state->answeredPrompt() || state->provisional())
                    registerUser();
                else
                    registerUserAfterDelay();
            });
        return;
    }
    if (sameToken) {
        if (onSuccess) onSuccess(Value());
        return;
    }
    subscription->setPushToken(deviceToken);
    sendDeviceToken(deviceToken, std::move(onSuccess), std::move(onFailure));
}

// ---- registration ----

void VezEduduz::registerUser() {
    if (!MainLoop::isMainThread()) {
        MainLoop::shared().post([] { registerUser(); });
        return;
    }
    mainThread.assertOnThread();
    auto& s = statics();
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) return;
    if (s.waitingForApnsResponse && s.initStartTime && clockNow() - *s.initStartTime < s.maxApnsWait) {
        registerUserAfterDelay();
        return;
    }
    if (!shouldRegisterNow()) return;
    VezEduduzTrackZidedovaAnalytics::trackInfluenceOpenEvent();

    s.registrationInFlight = true;
    s.registrationErrorWithoutPlayer.reset();  // this registration carries what is given from now on
    MainLoop::shared().cancel(kRegisterUserDelayKey);

    RegistrationSnapshot snap;
    snap.generation = s.generation;
    snap.appId = s.app_id;
    auto subscription = currentSubscriptionState();
    snap.userId = subscription->userId();
    snap.pushToken = subscription->pushToken();
    snap.sdkType = s.mSDKType;
    snap.notificationTypes = getNotificationTypes();
    s.lastNotificationTypes = snap.notificationTypes;
    snap.tags = std::move(s.pendingTags);
    s.pendingTags = Value();
    snap.tagCallbacks = std::move(s.pendingTagCallbacks);
    s.pendingTagCallbacks.clear();
    auto email = currentEmailSubscriptionState();
    snap.emailUserId = email->emailUserId();
    snap.emailAuthCode = email->emailAuthCode();
    snap.sendEmail = snap.emailUserId && (!email->requiresEmailAuth() || snap.emailAuthCode);
    if (s.locationShared) snap.location = VezEduduzLocation::lastLocation();
    vezeduduz_Log(VELogLevel::verbose, "Calling VezEduduz create/on_session");

    if (!s.registerUserQueue) s.registerUserQueue.emplace(kRegisterUserQueueLabel);
    s.registerUserQueue->async([snap] { sendRegistration(snap); });
}

namespace {

void sendRegistration(const RegistrationSnapshot& snap) {
    if (!isCurrentGeneration(snap.generation)) return;
    Value body = buildBody(snap);
    VERequestGroup requests;
    Value push = body;
    if (snap.pushToken) push.set("identifier", *snap.pushToken);
    requests["push"] = VERequestRegisterUser::withData(push, snap.userId);
    if (snap.sendEmail) {
        Value email = body;
        email.set("device_type", kDeviceTypeEmail);
        if (snap.emailAuthCode) email.set("email_auth_hash", *snap.emailAuthCode);
        requests["email"] = VERequestRegisterUser::withData(email, snap.emailUserId);
    }
    // Both outcomes arrive on the main loop.
    VezEduduzClient::sharedClient().executeSimultaneousRequests(
        requests,
        [snap](const std::map<std::string, Value>& results) {
            mainThread.assertOnThread();
            if (statics().generation != snap.generation) return;
            // The fix rode in this body: forgotten only now that it arrived (and only if no newer one came).
            if (snap.location) VezEduduzLocation::clearLastLocation(snap.location->number);
            registrationSucceeded(results, snap);
        },
        [snap](const std::map<std::string, platform::Error>& errors) {
            mainThread.assertOnThread();
            if (statics().generation == snap.generation) registrationFailed(errors, snap);
        });
}

void registrationSucceeded(const std::map<std::string, Value>& results, const RegistrationSnapshot& snap) {
    mainThread.assertOnThread();
    auto& s = statics();
    s.registrationInFlight = false;
    s.nextRegistrationIsHighPriority = false;
    VezEduduz::updateLastSessionDateTime();

    if (const std::string* emailId = idOf(results, "email")) {
        auto email = VezEduduz::currentEmailSubscriptionState();
        if (email->emailUserId() && *email->emailUserId() != *emailId && email->emailAuthCode())
            VezEduduz::emailChangedWithNewEmailPlayerId(*emailId);
        email->setEmailUserId(*emailId);
        defaults::setString(kEmailPlayerIdKey, *emailId);
    }
    // A session answer without "id" still confirms the player it was sent for.
    std::optional<std::string> playerId;
    if (const std::string* id = idOf(results, "push"))
        playerId = *id;
    else if (snap.userId)
        playerId = snap.userId;
    if (!playerId) {
        // Nothing waiting for a player id can go yet.
        VezEduduz::vezeduduz_Log(VELogLevel::error, "Registration answer without a player id");
        failTagsWithoutPlayer(
            snap.tagCallbacks,
            platform::Error(kVezEduduzSpacedErrorDomain, 0,
                            Value::dictionary({{"error", "The registration answer had no player id"}})));
        return;
    }
    auto subscription = VezEduduz::currentSubscriptionState();
    subscription->setUserId(*playerId);
    if (s.parkedEmailParameters) {
        auto parked = std::move(*s.parkedEmailParameters);
        s.parkedEmailParameters.reset();
        VezEduduz::setEmail(parked.email, parked.authToken, std::move(parked.successBlock),
                            std::move(parked.failureBlock));
    }
    defaults::setString(kPlayerIdKey, *playerId);
    for (const auto& c : snap.tagCallbacks)
        if (c.successBlock) c.successBlock(snap.tags);
    if (auto token = subscription->pushToken()) {
        // A token that came while the player was being made rode in no request (the registration it
        // asked for was dropped as this one was out): the new player gets it now.
        if (!snap.userId && token != snap.pushToken)
            sendDeviceToken(*token, s.pendingTokenSuccessBlock, s.pendingTokenFailureBlock);
        else
            VezEduduz::updateDeviceToken(*token, s.pendingTokenSuccessBlock, s.pendingTokenFailureBlock);
    }
    // Tags given while the registration was on its way.
    if (!s.pendingTags.isNull()) scheduleSendTags();
    VezEduduzLocation::sendLocation();
    if (s.pendingHashedEmail) {
        auto email = std::move(*s.pendingHashedEmail);
        s.pendingHashedEmail.reset();
        VezEduduz::syncHashedEmail(email);
    }
    VezEduduz::fireIdsAvailableCallback();
    VezEduduz::sendNotificationTypesUpdate();
    if (s.pendingGetTagsSuccessBlock) {
        auto success = std::move(s.pendingGetTagsSuccessBlock);
        auto failure = std::move(s.pendingGetTagsFailureBlock);
        s.pendingGetTagsSuccessBlock = nullptr;
        s.pendingGetTagsFailureBlock = nullptr;
        VezEduduz::getTags(std::move(success), std::move(failure));
    }
}

void registrationFailed(const std::map<std::string, platform::Error>& errors, const RegistrationSnapshot& snap) {
    mainThread.assertOnThread();
    auto& s = statics();
    s.registrationInFlight = false;
    for (const char* key : {"push", "email"}) {
        auto it = errors.find(key);
        if (it != errors.end())
            VezEduduz::vezeduduz_Log(VELogLevel::error,
                                     std::string("Encountered error during ") + key +
                                         " registration with VezEduduz: " + it->second.description());
    }
    s.nextRegistrationIsHighPriority = true;
    if (VezEduduz::currentSubscriptionState()->userId()) {
        // The tags are not lost with the request: they wait for the next send, behind any newer values,
        // and their callers hear how that send ends rather than "failed" for tags that still go out.
        requeueTags(snap.tags, snap.tagCallbacks);
        if (!s.pendingTags.isNull()) scheduleSendTags();
        return;
    }
    auto it = errors.find("push");
    if (it == errors.end()) it = errors.find("email");
    if (it != errors.end()) failTagsWithoutPlayer(snap.tagCallbacks, it->second);
}

}  // namespace

void VezEduduz::registerUserAfterDelay() {
    onMainLoop([] {
        mainThread.assertOnThread();
        MainLoop::shared().cancel(kRegisterUserDelayKey);
        uint64_t generation = statics().generation;
        MainLoop::shared().postAfter(
            statics().registrationDelay,
            [generation] {
                mainThread.assertOnThread();
                if (statics().generation == generation) registerUser();
            },
            kRegisterUserDelayKey);
    });
}

bool VezEduduz::shouldRegisterNow() {
    if (!MainLoop::isMainThread()) return answerOnMainLoop([&] { return shouldRegisterNow(); });
    mainThread.assertOnThread();
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) return false;
    if (statics().registrationInFlight) return false;
    double last = defaults::number(kLastClosedTimeKey).value_or(0);
    if (last == 0) {
        updateLastSessionDateTime();
        return true;
    }
    return isHighPriorityCall() || wallNow() - last > kSessionThrottleSeconds;
}

bool VezEduduz::isHighPriorityCall() {
    if (!MainLoop::isMainThread()) return answerOnMainLoop([&] { return isHighPriorityCall(); });
    mainThread.assertOnThread();
    if (!currentSubscriptionState()->userId()) return true;
    return statics().nextRegistrationIsHighPriority;
}

void VezEduduz::setNextRegistrationHighPriority(bool highPriority) {
    if (!MainLoop::isMainThread()) return onMainLoop([=] { setNextRegistrationHighPriority(highPriority); });
    mainThread.assertOnThread();
    statics().nextRegistrationIsHighPriority = highPriority;
}

void VezEduduz::updateLastSessionDateTime() { defaults::set(kLastClosedTimeKey, wallNow()); }

bool VezEduduz::registrationInFlight() {
    return answerOnMainLoop([&]() REQUIRES(mainThread) { return statics().registrationInFlight; });
}

void VezEduduz::setPendingTags(const Value& tags) {
    onMainLoop([=]() REQUIRES(mainThread) { statics().pendingTags = tags; });
}

// ---- notification types ----

int32_t VezEduduz::getNotificationTypes() {
    if (!MainLoop::isMainThread()) return answerOnMainLoop([&] { return getNotificationTypes(); });
    mainThread.assertOnThread();
    auto& s = statics();
    vezeduduz_Log(VELogLevel::verbose,
                  "getNotificationTypes:mSubscriptionStatus: " + std::to_string(s.mSubscriptionStatus));
    if (s.mSubscriptionStatus < -9) return s.mSubscriptionStatus;
    auto subscription = currentSubscriptionState();
    if (s.waitingForApnsResponse && !subscription->pushToken()) return -14;
    auto permission = veNotificationSettings()->getNotificationPermissionState();
    if (!permission->provisional() && !permission->hasPrompted()) return -18;
    if (!permission->provisional() && !permission->answeredPrompt()) return -19;
    if (!subscription->userSubscriptionSetting()) return -2;
    return permission->notificationTypes();
}

bool VezEduduz::sendNotificationTypesUpdate() {
    if (!MainLoop::isMainThread()) return answerOnMainLoop([&] { return sendNotificationTypesUpdate(); });
    mainThread.assertOnThread();
    auto& s = statics();
    if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) return false;
    auto subscription = currentSubscriptionState();
    int32_t types = getNotificationTypes();
    if (types == -1 || !subscription->userId() || s.lastNotificationTypes == types) return false;
    if (!subscription->pushToken() && registerForAPNsToken()) return true;

    s.lastNotificationTypes = types;
    s.shouldDelaySubscriptionSettingsUpdate = true;
    uint64_t generation = s.generation;
    // The hold on subscription updates ends with the answer, whichever it is: a failed update must not
    // keep observers waiting for the rest of the process.
    auto release = [generation](bool) {
        mainThread.assertOnThread();
        if (statics().generation != generation) return;
        statics().shouldDelaySubscriptionSettingsUpdate = false;
        auto state = currentSubscriptionState();
        if (state->delayedObserverUpdate()) state->setAccepted(getNotificationTypes() > 0);
    };
    auto request = VERequestUpdateNotificationTypes::withUserId(subscription->userId(), s.app_id, types);
    VezEduduzClient::sharedClient().executeRequest(
        request, [release](const Value&) { release(true); }, [release](const platform::Error&) { release(false); });
    if (getUsableDeviceToken()) fireIdsAvailableCallback();
    return true;
}

void VezEduduz::updateNotificationTypes(int32_t notificationTypes) {
    onMainLoop([notificationTypes] {
        mainThread.assertOnThread();
        auto& s = statics();
        vezeduduz_Log(VELogLevel::verbose, "updateNotificationTypes called: " + std::to_string(notificationTypes));
        if (!VezEduduzHelper::isIOSVersionGreaterOrEqual(10.0f)) defaults::set(kPromptAnsweredKey, true);
        bool startedRegister = registerForAPNsToken();
        vezeduduz_Log(VELogLevel::verbose, "startedRegister: " + std::to_string(startedRegister ? 1 : 0));
        veNotificationSettings()->onNotificationPromptResponse(notificationTypes);
        if (s.mSubscriptionStatus == -2) return;
        auto subscription = currentSubscriptionState();
        if (!subscription->userId() && !startedRegister)
            registerUser();
        else if (subscription->pushToken())
            sendNotificationTypesUpdate();
        if (getUsableDeviceToken()) fireIdsAvailableCallback();
    });
}

std::optional<std::string> VezEduduz::getUsableDeviceToken() {
    if (!MainLoop::isMainThread()) return answerOnMainLoop([&] { return getUsableDeviceToken(); });
    mainThread.assertOnThread();
    if (statics().mSubscriptionStatus < -1) return std::nullopt;
    if (!currentPermissionState()->accepted()) return std::nullopt;
    return currentSubscriptionState()->pushToken();
}

}  // namespace vezeduduz
