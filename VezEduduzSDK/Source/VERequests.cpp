#include "VezEduduzSDK/Source/VERequests.h"

#include <algorithm>

#include "VezEduduzSDK/Source/VELogLevel.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "platform/foundation/ASCII.h"

namespace vezeduduz {
namespace {

using platform::Value;

template <class T>
std::shared_ptr<T> make(VEHTTPMethod method, std::optional<std::string> path, Value parameters) {
    auto request = std::make_shared<T>();
    request->method = method;
    request->path = std::move(path);
    request->parameters = std::move(parameters);
    return request;
}

// "players/<id>" style paths; absent when the id is.
std::optional<std::string> pathWithId(const char* prefix, const VEOptionalString& id, const char* suffix = "") {
    if (!id) return std::nullopt;
    return std::string(prefix) + VezEduduzRequest::escapedPathComponent(*id) + suffix;
}

void setIfPresent(Value& dict, const char* key, const VEOptionalString& value) {
    if (value) dict.set(key, *value);
}
void setIfNonEmpty(Value& dict, const char* key, const VEOptionalString& value) {
    if (value && !value->empty()) dict.set(key, *value);
}
Value orNull(const VEOptionalString& value) { return value ? Value(*value) : Value(); }

Value appIdParameters(const VEOptionalString& appId) {
    Value parameters = Value::dictionary();
    setIfPresent(parameters, "app_id", appId);
    return parameters;
}

}  // namespace

std::shared_ptr<VERequestGetTags> VERequestGetTags::withUserId(const VEOptionalString& userId,
                                                               const VEOptionalString& appId) {
    return make<VERequestGetTags>(VEHTTPMethod::GET, pathWithId("players/", userId), appIdParameters(appId));
}

std::shared_ptr<VERequestGetIosParams> VERequestGetIosParams::withUserId(const VEOptionalString& userId,
                                                                         const VEOptionalString& appId) {
    auto request = std::make_shared<VERequestGetIosParams>();
    request->method = VEHTTPMethod::GET;
    request->path = pathWithId("apps/", appId, "/ios_params.js");
    if (userId) request->parameters = Value::dictionary({{"player_id", *userId}});
    request->disableLocalCaching = true;
    return request;
}

std::shared_ptr<VERequestSendTagsToServer>
VERequestSendTagsToServer::withUserId(const VEOptionalString& userId, const VEOptionalString& appId, const Value& tags,
                                      const Value& networkType, const VEOptionalString& emailAuthHashToken) {
    Value parameters = appIdParameters(appId);
    parameters.set("tags", tags);
    parameters.set("net_type", networkType);
    setIfNonEmpty(parameters, "email_auth_hash", emailAuthHashToken);
    return make<VERequestSendTagsToServer>(VEHTTPMethod::PUT, pathWithId("players/", userId), std::move(parameters));
}

std::shared_ptr<VERequestPostNotification> VERequestPostNotification::withAppId(const VEOptionalString& appId,
                                                                                Value& json) {
    if (json.isNull()) json = Value::dictionary();
    if (json.isDictionary() && !json.contains("app_id") && appId) json.set("app_id", *appId);
    return make<VERequestPostNotification>(VEHTTPMethod::POST, std::string("notifications"), json);
}

std::shared_ptr<VERequestUpdateDeviceToken>
VERequestUpdateDeviceToken::withUserId(const VEOptionalString& userId, const VEOptionalString& appId,
                                       const VEOptionalString& deviceToken,
                                       const std::optional<Value>& notificationTypes, const VEOptionalString& parentId,
                                       const VEOptionalString& emailAuthToken, const VEOptionalString& email) {
    Value parameters = appIdParameters(appId);
    setIfPresent(parameters, "email", email);
    if (notificationTypes) parameters.set("notification_types", *notificationTypes);
    setIfPresent(parameters, "identifier", deviceToken);
    setIfPresent(parameters, "parent_player_id", parentId);
    setIfNonEmpty(parameters, "email_auth_hash", emailAuthToken);
    return make<VERequestUpdateDeviceToken>(VEHTTPMethod::PUT, pathWithId("players/", userId), std::move(parameters));
}

std::shared_ptr<VERequestCreateDevice>
VERequestCreateDevice::withAppId(const VEOptionalString& appId, int64_t deviceType, const VEOptionalString& email,
                                 const VEOptionalString& playerId, const VEOptionalString& emailAuthHash) {
    Value parameters = appIdParameters(appId);
    parameters.set("device_type", deviceType);
    parameters.set("identifier", orNull(email));
    parameters.set("email_auth_hash", orNull(emailAuthHash));
    parameters.set("device_player_id", orNull(playerId));
    return make<VERequestCreateDevice>(VEHTTPMethod::POST, std::string("players"), std::move(parameters));
}

std::shared_ptr<VERequestLogoutEmail> VERequestLogoutEmail::withAppId(const VEOptionalString& appId,
                                                                      const VEOptionalString& emailPlayerId,
                                                                      const VEOptionalString& devicePlayerId,
                                                                      const VEOptionalString& emailAuthHash) {
    Value parameters = appIdParameters(appId);
    parameters.set("parent_player_id", orNull(emailPlayerId));
    parameters.set("email_auth_hash", orNull(emailAuthHash));
    return make<VERequestLogoutEmail>(VEHTTPMethod::POST, pathWithId("players/", devicePlayerId, "/email_logout"),
                                      std::move(parameters));
}

std::shared_ptr<VERequestUpdateNotificationTypes>
VERequestUpdateNotificationTypes::withUserId(const VEOptionalString& userId, const VEOptionalString& appId,
                                             int64_t notificationTypes) {
    Value parameters = appIdParameters(appId);
    parameters.set("notification_types", notificationTypes);
    return make<VERequestUpdateNotificationTypes>(VEHTTPMethod::PUT, pathWithId("players/", userId),
                                                  std::move(parameters));
}

std::shared_ptr<VERequestSendPurchases> VERequestSendPurchases::withUserId(const VEOptionalString& userId,
                                                                           const VEOptionalString& appId,
                                                                           const Value& purchases) {
    Value parameters = appIdParameters(appId);
    parameters.set("purchases", purchases);
    return make<VERequestSendPurchases>(VEHTTPMethod::POST, pathWithId("players/", userId, "/on_purchase"),
                                        std::move(parameters));
}

std::shared_ptr<VERequestSendPurchases> VERequestSendPurchases::withUserId(const VEOptionalString& userId,
                                                                           const VEOptionalString& emailAuthToken,
                                                                           const VEOptionalString& appId,
                                                                           const Value& purchases) {
    auto request = withUserId(userId, appId, purchases);
    request->parameters->set("email_auth_hash", orNull(emailAuthToken));
    return request;
}

std::shared_ptr<VERequestSubmitNotificationOpened>
VERequestSubmitNotificationOpened::withUserId(const VEOptionalString& userId, const VEOptionalString& appId,
                                              bool wasOpened, const VEOptionalString& messageId) {
    Value parameters = Value::dictionary();
    parameters.set("player_id", orNull(userId));
    parameters.set("app_id", orNull(appId));
    parameters.set("opened", wasOpened);
    return make<VERequestSubmitNotificationOpened>(VEHTTPMethod::PUT, pathWithId("notifications/", messageId),
                                                   std::move(parameters));
}

std::shared_ptr<VERequestRegisterUser> VERequestRegisterUser::withData(const Value& data,
                                                                       const VEOptionalString& userId) {
    auto path = userId ? pathWithId("players/", userId, "/on_session") : std::optional<std::string>("players");
    return make<VERequestRegisterUser>(VEHTTPMethod::POST, std::move(path), data);
}

std::shared_ptr<VERequestSyncHashedEmail> VERequestSyncHashedEmail::withUserId(const VEOptionalString& userId,
                                                                               const VEOptionalString& appId,
                                                                               const std::string& email,
                                                                               const Value& networkType) {
    auto lower = platform::lowercasedASCII(email);
    auto md5 = VezEduduzHelper::hashUsingMD5(lower);
    auto sha1 = VezEduduzHelper::hashUsingSha1(lower);
    VezEduduzLogSink::log(VELogLevel::debug, lower + " - MD5: " + md5 + ", SHA1:" + sha1);
    Value parameters = appIdParameters(appId);
    parameters.set("em_m", md5);
    parameters.set("em_s", sha1);
    parameters.set("net_type", networkType);
    return make<VERequestSyncHashedEmail>(VEHTTPMethod::PUT, pathWithId("players/", userId), std::move(parameters));
}

std::shared_ptr<VERequestSendLocation> VERequestSendLocation::withUserId(const VEOptionalString& userId,
                                                                         const VEOptionalString& appId,
                                                                         const VELocationRecord& location,
                                                                         const Value& networkType, bool backgroundState,
                                                                         const VEOptionalString& emailAuthHashToken) {
    Value parameters = appIdParameters(appId);
    parameters.set("lat", location.latitude);
    parameters.set("long", location.longitude);
    parameters.set("loc_acc_vert", location.verticalAccuracy);
    parameters.set("loc_acc", location.horizontalAccuracy);
    parameters.set("net_type", networkType);
    parameters.set("loc_bg", backgroundState);
    setIfNonEmpty(parameters, "email_auth_hash", emailAuthHashToken);
    return make<VERequestSendLocation>(VEHTTPMethod::PUT, pathWithId("players/", userId), std::move(parameters));
}

std::shared_ptr<VERequestOnFocus> VERequestOnFocus::withUserId(const VEOptionalString& userId,
                                                               const VEOptionalString& appId, const Value& badgeCount,
                                                               const VEOptionalString& emailAuthToken) {
    Value parameters = appIdParameters(appId);
    parameters.set("badgeCount", badgeCount);
    setIfNonEmpty(parameters, "email_auth_hash", emailAuthToken);
    return make<VERequestOnFocus>(VEHTTPMethod::PUT, pathWithId("players/", userId), std::move(parameters));
}

std::shared_ptr<VERequestOnFocus> VERequestOnFocus::withUserId(const VEOptionalString& userId,
                                                               const VEOptionalString& appId, const std::string& state,
                                                               const Value& type, const Value& activeTime,
                                                               const Value& netType,
                                                               const VEOptionalString& emailAuthToken) {
    Value parameters = appIdParameters(appId);
    parameters.set("state", state);
    parameters.set("type", type);
    parameters.set("active_time", activeTime);
    parameters.set("net_type", netType);
    setIfNonEmpty(parameters, "email_auth_hash", emailAuthToken);
    return make<VERequestOnFocus>(VEHTTPMethod::POST, pathWithId("players/", userId, "/on_focus"),
                                  std::move(parameters));
}

}  // namespace vezeduduz
