// Tags (batched per 5 s quiet period), outgoing notifications and the application's switches.
#include <ctime>

#include "VezEduduzSDK/Source/VERequests.h"
#include "VezEduduzSDK/Source/VezEduduz.h"
#include "VezEduduzSDK/Source/VezEduduzClient.h"
#include "VezEduduzSDK/Source/VezEduduzDefaults.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "VezEduduzSDK/Source/internal/VezEduduzLocationCall.h"
#include "VezEduduzSDK/Source/internal/VezEduduzStatics.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/JSON.h"

namespace vezeduduz {

using platform::Value;
using platform::dispatch::MainLoop;

namespace {

constexpr const char* kSubscriptionKey = "VEZEDUDUZ_SUBSCRIPTION";

std::string jsonText(const Value& value) {
    platform::json::WriteOptions options;
    options.allowFragments = true;
    auto text = platform::json::write(value, options);
    return text ? text.value() : value.description();
}

void logParseError(const char* name, const std::string& problem, const std::string& json) {
    VezEduduz::vezeduduz_Log(VELogLevel::warn, std::string(name) + " JSON Parse Error: " + problem);
    VezEduduz::vezeduduz_Log(VELogLevel::warn, std::string(name) + " JSON Parse Error, JSON: " + json);
}

// Parses a JSON text; logs the two parse-error lines under `name` and answers nothing on failure or when
// the top level is not of the wanted kind.
std::optional<Value> parseForCall(const std::string& json, const char* name, bool wantArray) {
    auto parsed = platform::json::read(json);
    std::string problem;
    if (!parsed)
        problem = parsed.error().description();
    else if (wantArray ? !parsed.value().isArray() : !parsed.value().isDictionary())
        problem = wantArray ? "the JSON text is not an array" : "the JSON text is not an object";
    if (problem.empty()) return std::move(parsed).value();
    logParseError(name, problem, json);
    return std::nullopt;
}

void tagBatchAnswered(const std::vector<VEPendingCallbacks>& callbacks, const Value* result,
                      const platform::Error* error) {
    for (const auto& c : callbacks) {
        if (result && c.successBlock) c.successBlock(*result);
        if (error && c.failureBlock) c.failureBlock(*error);
    }
}

// "+hh:mm" form of the local offset, as the service reads dates.
std::string isoLocalTime(const platform::Date& date) {
    std::time_t seconds = static_cast<std::time_t>(date.timeIntervalSince1970());
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string out = text;
    if (out.size() >= 5) out.insert(out.size() - 2, ":");
    return out;
}

}  // namespace

void scheduleSendTags() {
    mainThread.assertOnThread();
    auto& loop = MainLoop::shared();
    loop.cancel(kSendTagsDelayKey);
    uint64_t generation = statics().generation;
    loop.postAfter(
        kSendTagsDelay,
        [generation] {
            mainThread.assertOnThread();
            if (statics().generation == generation) VezEduduz::sendTagsToServer();
        },
        kSendTagsDelayKey);
}

void requeueTags(const Value& tags, const std::vector<VEPendingCallbacks>& callbacks) {
    mainThread.assertOnThread();
    const auto* entries = tags.asDictionary();
    if ((!entries || entries->empty()) && callbacks.empty()) return;
    auto& s = statics();
    if (!s.pendingTags.isDictionary()) s.pendingTags = Value::dictionary();
    if (entries)
        for (const auto& [key, value] : *entries)
            if (!s.pendingTags.contains(key)) s.pendingTags.set(key, value);
    s.pendingTagCallbacks.insert(s.pendingTagCallbacks.begin(), callbacks.begin(), callbacks.end());
}

void failTagsWithoutPlayer(std::vector<VEPendingCallbacks> callbacks, const platform::Error& error) {
    mainThread.assertOnThread();
    auto& s = statics();
    callbacks.insert(callbacks.end(), s.pendingTagCallbacks.begin(), s.pendingTagCallbacks.end());
    s.pendingTagCallbacks.clear();
    s.pendingTags = Value();
    s.registrationErrorWithoutPlayer = error;
    tagBatchAnswered(callbacks, nullptr, &error);
    // So does a tag read parked for the player.
    auto getTagsFailure = std::move(s.pendingGetTagsFailureBlock);
    s.pendingGetTagsSuccessBlock = nullptr;
    s.pendingGetTagsFailureBlock = nullptr;
    if (getTagsFailure) getTagsFailure(error);
}

// ---- tags ----

namespace {

// Every tag form ends here; `name` is the form the application called (nullopt: asked silently).
void sendTagsCalled(std::optional<std::string> name, Value tags, VezEduduz::VEResultBlock onSuccess,
                    VezEduduz::VEErrorBlock onFailure) {
    onMainLoop([name = std::move(name), tags = std::move(tags), onSuccess = std::move(onSuccess),
                onFailure = std::move(onFailure)]() mutable {
        mainThread.assertOnThread();
        if (VezEduduz::shouldLogMissingPrivacyConsentErrorWithMethodName(name)) return;
        if (!tags.isDictionary() || !platform::json::isValidJSONObject(tags)) {
            VezEduduz::vezeduduz_Log(VELogLevel::warn, "sendTags JSON Invalid: The following key/value pairs you "
                                                       "attempted to send as tags are not valid JSON: " +
                                                           tags.description());
            return;
        }
        for (const auto& [key, value] : *tags.asDictionary()) {
            if (value.isDictionary()) {
                VezEduduz::vezeduduz_Log(VELogLevel::warn, "sendTags Tags JSON must not contain nested objects");
                return;
            }
        }
        auto& s = statics();
        if (s.registrationErrorWithoutPlayer && !VezEduduz::currentSubscriptionState()->userId()) {
            if (onFailure) onFailure(*s.registrationErrorWithoutPlayer);
            return;
        }
        if (!s.pendingTags.isDictionary()) s.pendingTags = Value::dictionary();
        for (const auto& [key, value] : *tags.asDictionary()) s.pendingTags.set(key, value);
        if (onSuccess || onFailure) s.pendingTagCallbacks.push_back({std::move(onSuccess), std::move(onFailure)});
        MainLoop::shared().cancel(kSendTagsDelayKey);
        // Without a player id the registration carries the batch.
        if (VezEduduz::currentSubscriptionState()->userId()) scheduleSendTags();
    });
}

Value oneTag(const std::string& key, const std::optional<std::string>& value) {
    Value tags = Value::dictionary();
    if (value) tags.set(key, *value);
    return tags;
}

// A key still pending is overwritten with "" rather than dropped: the service may hold an older value.
Value deletions(const std::vector<std::string>& keys) {
    Value tags = Value::dictionary();
    for (const auto& key : keys) tags.set(key, "");
    return tags;
}

void postNotificationCalled(std::optional<std::string> name, Value notification, VezEduduz::VEResultBlock onSuccess,
                            VezEduduz::VEErrorBlock onFailure) {
    onMainLoop([name = std::move(name), notification = std::move(notification), onSuccess = std::move(onSuccess),
                onFailure = std::move(onFailure)]() mutable {
        mainThread.assertOnThread();
        if (VezEduduz::shouldLogMissingPrivacyConsentErrorWithMethodName(name)) return;
        Value copy = VezEduduz::convertDatesToISO8061Strings(notification);
        VezEduduzClient::sharedClient().executeRequest(
            VERequestPostNotification::withAppId(statics().app_id, copy),
            [onSuccess](const Value& result) {
                VezEduduz::vezeduduz_Log(VELogLevel::debug, "HTTP create notification success " + jsonText(result));
                if (onSuccess) onSuccess(result);
            },
            [onFailure](const platform::Error& error) {
                VezEduduz::vezeduduz_Log(VELogLevel::error, "Create notification failed");
                VezEduduz::vezeduduz_Log(VELogLevel::info, error.description());
                if (onFailure) onFailure(error);
            });
    });
}

void getTagsCalled(const char* name, VezEduduz::VEResultBlock onSuccess, VezEduduz::VEErrorBlock onFailure) {
    if (!onSuccess) return;  // nothing to hand the tags to
    onMainLoop([name, onSuccess = std::move(onSuccess), onFailure = std::move(onFailure)]() mutable {
        mainThread.assertOnThread();
        if (VezEduduz::shouldLogMissingPrivacyConsentErrorWithMethodName(name)) return;
        auto& s = statics();
        auto userId = VezEduduz::currentSubscriptionState()->userId();
        if (!userId && s.registrationErrorWithoutPlayer) {
            if (onFailure) onFailure(*s.registrationErrorWithoutPlayer);
            return;
        }
        if (!userId) {
            // Only the latest pair waits; the one it replaces is told it will not be answered.
            if (s.pendingGetTagsFailureBlock)
                s.pendingGetTagsFailureBlock(platform::Error(
                    "com.vezeduduz", 0, Value::dictionary({{"error", "Replaced by a later getTags call"}})));
            s.pendingGetTagsSuccessBlock = std::move(onSuccess);
            s.pendingGetTagsFailureBlock = std::move(onFailure);
            return;
        }
        VezEduduzClient::sharedClient().executeRequest(
            VERequestGetTags::withUserId(userId, s.app_id),
            [onSuccess](const Value& result) { onSuccess(result["tags"]); }, std::move(onFailure));
    });
}

}  // namespace

void VezEduduz::sendTags(const Value& tags) { sendTagsCalled("sendTags:", tags, nullptr, nullptr); }

void VezEduduz::sendTags(const Value& tags, VEResultBlock onSuccess, VEErrorBlock onFailure) {
    sendTagsCalled("sendTags:onSuccess:onFailure:", tags, std::move(onSuccess), std::move(onFailure));
}

void VezEduduz::sendTagsWithJsonString(const std::string& json) {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName("sendTagsWithJsonString:")) return;
    if (auto tags = parseForCall(json, "sendTags", false)) sendTagsCalled(std::nullopt, *tags, nullptr, nullptr);
}

void VezEduduz::sendTag(const std::string& key, const std::optional<std::string>& value) {
    sendTagsCalled("sendTag:value:", oneTag(key, value), nullptr, nullptr);
}

void VezEduduz::sendTag(const std::string& key, const std::optional<std::string>& value, VEResultBlock onSuccess,
                        VEErrorBlock onFailure) {
    sendTagsCalled("sendTag:value:onSuccess:onFailure:", oneTag(key, value), std::move(onSuccess),
                   std::move(onFailure));
}

void VezEduduz::sendTagsToServer() {
    onMainLoop([] {
        mainThread.assertOnThread();
        auto& s = statics();
        if (shouldLogMissingPrivacyConsentErrorWithMethodName(std::nullopt)) return;
        if (s.pendingTags.isNull()) return;
        auto userId = currentSubscriptionState()->userId();
        // A batch made before the player existed stays for the registration to carry.
        if (!userId) return;
        Value tags = std::move(s.pendingTags);
        s.pendingTags = Value();
        auto callbacks = std::move(s.pendingTagCallbacks);
        s.pendingTagCallbacks.clear();

        VERequestGroup requests;
        requests["push"] =
            VERequestSendTagsToServer::withUserId(userId, s.app_id, tags, VezEduduzHelper::getNetType(), std::nullopt);
        auto email = currentEmailSubscriptionState();
        if (email->emailUserId() && (!email->requiresEmailAuth() || email->emailAuthCode()))
            requests["email"] = VERequestSendTagsToServer::withUserId(
                email->emailUserId(), s.app_id, tags, VezEduduzHelper::getNetType(), email->emailAuthCode());
        VezEduduzClient::sharedClient().executeSimultaneousRequests(
            requests,
            [callbacks](const std::map<std::string, Value>& results) {
                auto it = results.find("push");
                if (it == results.end()) it = results.find("email");
                Value none;
                tagBatchAnswered(callbacks, it == results.end() ? &none : &it->second, nullptr);
            },
            [callbacks](const std::map<std::string, platform::Error>& errors) {
                auto it = errors.find("push");
                if (it == errors.end()) it = errors.begin();
                if (it != errors.end()) tagBatchAnswered(callbacks, nullptr, &it->second);
            });
    });
}

void VezEduduz::getTags(VEResultBlock onSuccess) { getTagsCalled("getTags:", std::move(onSuccess), nullptr); }

void VezEduduz::getTags(VEResultBlock onSuccess, VEErrorBlock onFailure) {
    getTagsCalled("getTags:onFailure:", std::move(onSuccess), std::move(onFailure));
}

void VezEduduz::deleteTags(const std::vector<std::string>& keys) {
    sendTagsCalled("deleteTags:", deletions(keys), nullptr, nullptr);
}

// This form has no name of its own: it is the tag send it ends in.
void VezEduduz::deleteTags(const std::vector<std::string>& keys, VEResultBlock onSuccess, VEErrorBlock onFailure) {
    sendTagsCalled("sendTags:onSuccess:onFailure:", deletions(keys), std::move(onSuccess), std::move(onFailure));
}

void VezEduduz::deleteTag(const std::string& key) { sendTagsCalled("deleteTag:", deletions({key}), nullptr, nullptr); }

void VezEduduz::deleteTag(const std::string& key, VEResultBlock onSuccess, VEErrorBlock onFailure) {
    sendTagsCalled("deleteTag:onSuccess:onFailure:", deletions({key}), std::move(onSuccess), std::move(onFailure));
}

void VezEduduz::deleteTagsWithJsonString(const std::string& json) {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName("deleteTagsWithJsonString:")) return;
    auto keys = parseForCall(json, "deleteTags", true);
    if (!keys) return;
    std::vector<std::string> names;
    for (const auto& key : *keys->asArray()) {
        if (!key.isString()) {
            logParseError("deleteTags", "tag names must be strings", json);
            return;
        }
        names.push_back(*key.asString());
    }
    sendTagsCalled(std::nullopt, deletions(names), nullptr, nullptr);
}

// ---- outgoing notifications ----

Value VezEduduz::convertDatesToISO8061Strings(Value dictionary) {
    if (auto* entries = dictionary.asDictionary())
        for (auto& [key, value] : *entries)
            if (auto date = value.asDate()) value = isoLocalTime(*date);
    return dictionary;
}

void VezEduduz::postNotification(const Value& notification) {
    postNotificationCalled("postNotification:", notification, nullptr, nullptr);
}

void VezEduduz::postNotification(const Value& notification, VEResultBlock onSuccess, VEErrorBlock onFailure) {
    postNotificationCalled("postNotification:onSuccess:onFailure:", notification, std::move(onSuccess),
                           std::move(onFailure));
}

void VezEduduz::postNotificationWithJsonString(const std::string& json, VEResultBlock onSuccess,
                                               VEErrorBlock onFailure) {
    if (shouldLogMissingPrivacyConsentErrorWithMethodName("postNotificationWithJsonString:onSuccess:onFailure:"))
        return;
    if (auto notification = parseForCall(json, "postNotification", false))
        postNotificationCalled(std::nullopt, *notification, std::move(onSuccess), std::move(onFailure));
}

std::string VezEduduz::parseNSErrorAsJsonString(const platform::Error& error) {
    if (const Value* returned = error.userInfo.find("returned")) {
        auto text = platform::json::write(*returned, platform::json::WriteOptions{false, true, true});
        if (text) return text.value();
        vezeduduz_Log(VELogLevel::error, text.error().description());
        return R"({"error":"Unknown error parsing error response."})";
    }
    return R"({"error":"HTTP no response error"})";
}

// ---- switches ----

void VezEduduz::enableInAppLaunchURL(bool enable) { defaults::set(kVezEduduzInAppLaunchURLKey, enable); }

void VezEduduz::setSubscription(bool enable) {
    onMainLoop([enable] {
        mainThread.assertOnThread();
        if (shouldLogMissingPrivacyConsentErrorWithMethodName("setSubscription:")) return;
        auto& s = statics();
        if (enable)
            defaults::remove(kSubscriptionKey);
        else
            defaults::setString(kSubscriptionKey, "no");
        s.shouldDelaySubscriptionSettingsUpdate = true;
        auto state = currentSubscriptionState();
        state->setUserSubscriptionSetting(enable);
        // Observers wait only while an update is on its way; without one they hear at once.
        if (!s.app_id || !sendNotificationTypesUpdate()) {
            s.shouldDelaySubscriptionSettingsUpdate = false;
            if (state->delayedObserverUpdate()) state->setAccepted(getNotificationTypes() > 0);
        }
    });
}

void VezEduduz::setLocationShared(bool shared) {
    onMainLoop([shared]() REQUIRES(mainThread) { statics().locationShared = shared; });
}

bool VezEduduz::locationShared() {
    return answerOnMainLoop([&]() REQUIRES(mainThread) { return statics().locationShared; });
}

void VezEduduz::promptLocation() {
    onMainLoop([] {
        if (shouldLogMissingPrivacyConsentErrorWithMethodName("promptLocation")) return;
        requestLocation(true);
    });
}

}  // namespace vezeduduz
