// E-mail subscription: the e-mail player (device type 11) linked to the push player as its parent,
// its log-out, the repair of the link when the service hands out a new e-mail player id, and the older
// hashed-address sync. Calls made before the push player exists, or (with a hash) before the application
// parameters say whether a hash is required, wait in parkedEmailParameters.
#include "VezEduduzSDK/Source/VERequests.h"
#include "VezEduduzSDK/Source/VEStringExtensions.h"
#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzClient.h"
#include "VezEduduzSDK/Source/VezEduduzDefaults.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "VezEduduzSDK/Source/internal/VezEduduzEmailInternal.h"
#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/ASCII.h"

namespace vezeduduz {

using platform::Error;
using platform::Value;

namespace {

constexpr const char* kEmailPlayerIdKey = "VD_EMAIL_PLAYER_ID";
// The e-mail player whose link to the push player the service has not taken yet. Stored beside the
// e-mail state, so the next setEmail for the address links it again after a restart too.
constexpr const char* kEmailLinkPendingKey = "VD_EMAIL_LINK_PENDING";
constexpr int64_t kDeviceTypeEmail = 11;

Error emailError(const char* domain, const std::string& text) {
    return Error(domain, 0, Value::dictionary({{"error", text}}));
}

Error invalidEmailError() { return emailError("com.vezeduduz", "Email is invalid"); }

Error authRequiredError() {
    return emailError("com.vezeduduz.email",
                      "Email authentication (auth token) is set to REQUIRED for this application. Please provide an "
                      "auth token from your backend server or change the setting in the VezEduduz dashboard.");
}

Error logoutWithoutEmailError() {
    return emailError("com.vezeduduz",
                      "Attempted to log out of the user's email with VezEduduz. The user does not currently have an "
                      "email player ID and is not logged in, so it is not possible to log out of the email for this "
                      "device");
}

void callSuccessBlockOnMainThread(const VezEduduz::VEEmailSuccessBlock& block) {
    if (block) platform::dispatch::MainLoop::shared().post([block] { block(); });
}

void callFailureBlockOnMainThread(const VezEduduz::VEErrorBlock& block, const Error& error) {
    if (block) platform::dispatch::MainLoop::shared().post([block, error] { block(error); });
}

std::optional<std::string> usableHash(const std::optional<std::string>& hash) {
    if (hash && hash->empty()) return std::nullopt;
    return hash;
}

// Links the push player to the e-mail player (the caller's blocks report this last request). Until the
// service takes the link, a setEmail with the same address tries the link again instead of answering at once.
void linkPushPlayer(const std::string& emailPlayerId, const std::optional<std::string>& hash, const std::string& email,
                    VezEduduz::VEEmailSuccessBlock onSuccess, VezEduduz::VEErrorBlock onFailure) {
    mainThread.assertOnThread();
    auto request =
        VERequestUpdateDeviceToken::withUserId(VezEduduz::mUserId(), VezEduduz::app_id(), std::nullopt,
                                               Value(VezEduduz::getNotificationTypes()), emailPlayerId, hash, email);
    uint64_t generation = statics().generation;
    auto settle = [generation, emailPlayerId](bool linked) {
        mainThread.assertOnThread();
        if (statics().generation != generation) return;
        if (!linked)
            defaults::setString(kEmailLinkPendingKey, emailPlayerId);
        else if (defaults::string(kEmailLinkPendingKey) == emailPlayerId)
            defaults::remove(kEmailLinkPendingKey);
    };
    VezEduduzClient::sharedClient().executeRequest(
        request,
        [settle, onSuccess](const Value&) {
            settle(true);
            callSuccessBlockOnMainThread(onSuccess);
        },
        [settle, onFailure](const Error& error) {
            settle(false);
            callFailureBlockOnMainThread(onFailure, error);
        });
}

void storeEmail(const std::string& email, const std::optional<std::string>& hash, const std::string& emailPlayerId) {
    auto state = VezEduduz::currentEmailSubscriptionState();
    state->setEmailAddress(email);
    state->setEmailAuthCode(hash);
    state->setEmailUserId(emailPlayerId);
    state->persist();
}

void createEmailPlayer(const std::string& email, const std::optional<std::string>& hash,
                       VezEduduz::VEEmailSuccessBlock onSuccess, VezEduduz::VEErrorBlock onFailure) {
    mainThread.assertOnThread();
    auto request =
        VERequestCreateDevice::withAppId(VezEduduz::app_id(), kDeviceTypeEmail, email, VezEduduz::mUserId(), hash);
    uint64_t generation = statics().generation;
    VezEduduzClient::sharedClient().executeRequest(
        request,
        [=](const Value& result) {
            mainThread.assertOnThread();
            if (statics().generation != generation) return;
            const std::string* id = result["id"].asString();
            if (!id || id->empty()) {
                VezEduduz::vezeduduz_Log(VELogLevel::error, "Missing VezEduduz Email Player ID");
                callFailureBlockOnMainThread(onFailure,
                                             emailError("com.vezeduduz", "Missing VezEduduz Email Player ID"));
                return;
            }
            // The e-mail player exists on the service from here on, whatever the link does: forgetting it
            // would make the next setEmail create a second one.
            storeEmail(email, hash, *id);
            linkPushPlayer(*id, hash, email, onSuccess, onFailure);
        },
        [onFailure](const Error& error) { callFailureBlockOnMainThread(onFailure, error); });
}

void updateEmailPlayer(const std::string& email, const std::optional<std::string>& hash,
                       VezEduduz::VEEmailSuccessBlock onSuccess, VezEduduz::VEErrorBlock onFailure) {
    mainThread.assertOnThread();
    auto state = VezEduduz::currentEmailSubscriptionState();
    std::string emailPlayerId = *state->emailUserId();
    auto request = VERequestUpdateDeviceToken::withUserId(emailPlayerId, VezEduduz::app_id(), email, std::nullopt,
                                                          std::nullopt, hash, std::nullopt);
    uint64_t generation = statics().generation;
    VezEduduzClient::sharedClient().executeRequest(
        request,
        [=](const Value&) {
            mainThread.assertOnThread();
            // The service now holds the new address: so does the device.
            if (statics().generation == generation) storeEmail(email, hash, emailPlayerId);
            callSuccessBlockOnMainThread(onSuccess);
        },
        [onFailure](const Error& error) { callFailureBlockOnMainThread(onFailure, error); });
}

// Every setEmail form ends here; `name` is the form the application called.
void setEmailCalled(const char* name, const std::string& email, const std::optional<std::string>& authHash,
                    VezEduduz::VEEmailSuccessBlock onSuccess, VezEduduz::VEErrorBlock onFailure) {
    using V = VezEduduz;
    auto run = [=] {
        mainThread.assertOnThread();
        if (V::shouldLogMissingPrivacyConsentErrorWithMethodName(name)) return;
        auto hash = usableHash(authHash);
        if (!VezEduduzHelper::isValidEmail(email)) {
            V::vezeduduz_Log(VELogLevel::warn, "Invalid email (" + email + ") passed to setEmail");
            if (onFailure) onFailure(invalidEmailError());
            return;
        }
        auto state = V::currentEmailSubscriptionState();
        if (state->requiresEmailAuth() && !hash) {
            if (onFailure) onFailure(authRequiredError());
            return;
        }
        if (state->emailAddress() == email && state->emailAuthCode() == hash) {
            if (state->emailUserId() && defaults::string(kEmailLinkPendingKey) == state->emailUserId() &&
                V::mUserId()) {
                linkPushPlayer(*state->emailUserId(), hash, email, onSuccess, onFailure);
                return;
            }
            V::vezeduduz_Log(VELogLevel::verbose, "Email already exists, there is no need to call setEmail again");
            if (onSuccess) onSuccess();
            return;
        }
        auto& s = statics();
        if (!V::mUserId() || (!s.iosParamsReceived && hash)) {
            V::vezeduduz_Log(VELogLevel::verbose,
                             "iOS Parameters for this application has not yet been downloaded. Delaying call to "
                             "setEmail: until the parameters have been downloaded.");
            // Only the latest call waits: the one it replaces is told so.
            if (s.parkedEmailParameters && s.parkedEmailParameters->failureBlock)
                s.parkedEmailParameters->failureBlock(emailError("com.vezeduduz", "Replaced by a later setEmail call"));
            s.parkedEmailParameters = VezEduduzSetEmailParameters{email, hash, onSuccess, onFailure};
            // The parameters failed earlier: ask again, or a hashed call would wait for ever.
            if (hash && !s.iosParamsReceived && !s.iosParamsRequested && s.app_id)
                V::downloadIOSParamsWithAppId(*s.app_id);
            return;
        }
        if (state->emailUserId())
            updateEmailPlayer(email, hash, onSuccess, onFailure);
        else
            createEmailPlayer(email, hash, onSuccess, onFailure);
    };
    onMainLoop(run);
}

}  // namespace

void VezEduduz::setEmail(const std::string& email) {
    setEmailCalled("setEmail:", email, std::nullopt, nullptr, nullptr);
}

void VezEduduz::setEmail(const std::string& email, VEEmailSuccessBlock onSuccess, VEErrorBlock onFailure) {
    setEmailCalled("setEmail:withSuccess:withFailure:", email, std::nullopt, std::move(onSuccess),
                   std::move(onFailure));
}

void VezEduduz::setEmail(const std::string& email, const std::optional<std::string>& authHash) {
    setEmailCalled("setEmail:withEmailAuthHashToken:", email, authHash, nullptr, nullptr);
}

void VezEduduz::setEmail(const std::string& email, const std::optional<std::string>& authHash,
                         VEEmailSuccessBlock onSuccess, VEErrorBlock onFailure) {
    setEmailCalled("setEmail:withEmailAuthHashToken:withSuccess:withFailure:", email, authHash, std::move(onSuccess),
                   std::move(onFailure));
}

namespace {

void logoutEmailCalled(const char* name, VezEduduz::VEEmailSuccessBlock onSuccess, VezEduduz::VEErrorBlock onFailure) {
    using V = VezEduduz;
    onMainLoop([=] {
        mainThread.assertOnThread();
        if (V::shouldLogMissingPrivacyConsentErrorWithMethodName(name)) return;
        auto state = V::currentEmailSubscriptionState();
        if (!state->emailUserId()) {
            V::vezeduduz_Log(VELogLevel::error, "Email Player ID does not exist, cannot logout");
            if (onFailure) onFailure(logoutWithoutEmailError());
            return;
        }
        uint64_t generation = statics().generation;
        auto request =
            VERequestLogoutEmail::withAppId(V::app_id(), state->emailUserId(), V::mUserId(), state->emailAuthCode());
        VezEduduzClient::sharedClient().executeRequest(
            request,
            [=](const Value&) {
                mainThread.assertOnThread();
                if (statics().generation == generation) forgetEmail();
                callSuccessBlockOnMainThread(onSuccess);
            },
            [onFailure](const Error& error) { callFailureBlockOnMainThread(onFailure, error); });
    });
}

}  // namespace

void VezEduduz::logoutEmail() { logoutEmailCalled("logoutEmail", nullptr, nullptr); }

void VezEduduz::logoutEmail(VEEmailSuccessBlock onSuccess, VEErrorBlock onFailure) {
    logoutEmailCalled("logoutEmailWithSuccess:withFailure:", std::move(onSuccess), std::move(onFailure));
}

void VezEduduz::emailChangedWithNewEmailPlayerId(const std::string& emailPlayerId) {
    if (!platform::dispatch::MainLoop::isMainThread())
        return onMainLoop([=] { emailChangedWithNewEmailPlayerId(emailPlayerId); });
    auto state = currentEmailSubscriptionState();
    if (state->emailUserId() == emailPlayerId) return;
    state->setEmailUserId(emailPlayerId);
    state->persist();
    auto request =
        VERequestUpdateDeviceToken::withUserId(mUserId(), app_id(), std::nullopt, Value(getNotificationTypes()),
                                               emailPlayerId, state->emailAuthCode(), state->emailAddress());
    VezEduduzClient::sharedClient().executeRequest(request, nullptr, [](const Error& error) {
        vezeduduz_Log(VELogLevel::error,
                      "Encountered an error updating this user's email player record: " + error.description());
    });
}

void VezEduduz::syncHashedEmail(const std::optional<std::string>& email) {
    onMainLoop([email] {
        mainThread.assertOnThread();
        if (shouldLogMissingPrivacyConsentErrorWithMethodName("syncHashedEmail:")) return;
        if (!email) {
            vezeduduz_Log(VELogLevel::warn, "VezEduduz syncHashedEmail: The provided email is nil");
            return;
        }
        std::string trimmed(platform::trimmingASCIIWhitespace(*email));
        if (!VezEduduzHelper::isValidEmail(trimmed)) {
            vezeduduz_Log(VELogLevel::warn, "VezEduduz syncHashedEmail: The provided email is invalid");
            return;
        }
        if (!mUserId()) {
            statics().pendingHashedEmail = *email;
            return;
        }
        VezEduduzClient::sharedClient().executeRequest(
            VERequestSyncHashedEmail::withUserId(mUserId(), app_id(), trimmed, VezEduduzHelper::getNetType()), nullptr,
            nullptr);
    });
}

std::optional<std::string> VezEduduz::mEmailUserId() {
    return answerOnMainLoop([&] { return currentEmailSubscriptionState()->emailUserId(); });
}
std::optional<std::string> VezEduduz::mEmailAuthToken() {
    return answerOnMainLoop([&] { return currentEmailSubscriptionState()->emailAuthCode(); });
}
std::string VezEduduz::sdk_semantic_version() { return one_getSemanticVersion(kSdkVersionRaw); }

// ---- hand-overs from start-up ----

void forgetEmail() {
    mainThread.assertOnThread();
    defaults::remove(kEmailLinkPendingKey);
    defaults::remove(kEmailPlayerIdKey);
    auto state = VezEduduz::currentEmailSubscriptionState();
    state->setEmailAddress(std::nullopt);
    state->setEmailAuthCode(std::nullopt);
    state->setEmailUserId(std::nullopt);
    state->persist();
}

void iosParamsAnswered() {
    mainThread.assertOnThread();
    auto& s = statics();
    // Received first: the replay runs every check again and would otherwise park itself once more.
    s.iosParamsReceived = true;
    if (s.parkedEmailParameters && VezEduduz::mUserId()) {
        auto parked = std::move(*s.parkedEmailParameters);
        s.parkedEmailParameters.reset();
        VezEduduz::setEmail(parked.email, parked.authToken, std::move(parked.successBlock),
                            std::move(parked.failureBlock));
    }
}

void iosParamsFailed(const Error& error) {
    mainThread.assertOnThread();
    auto& s = statics();
    // Asked again by the next start-up or hashed setEmail.
    s.iosParamsRequested = false;
    // A hashed call cannot know whether its hash is wanted: it is told rather than left waiting.
    if (s.parkedEmailParameters && s.parkedEmailParameters->authToken) {
        auto parked = std::move(*s.parkedEmailParameters);
        s.parkedEmailParameters.reset();
        if (parked.failureBlock) parked.failureBlock(error);
    }
}

}  // namespace vezeduduz
