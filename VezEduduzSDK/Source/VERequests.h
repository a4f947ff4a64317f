#pragma once
// The push service's endpoints, one VezEduduzRequest subclass each. A factory fills method, path and
// parameters from the caller's values and returns a new request for VezEduduzClient.
//
// Value rules: a key marked "if set" is left out for nullopt (the e-mail auth hash also for ""); a key
// marked "or null" is always sent, as JSON null for nullopt. A nullopt id that names the path leaves
// the path absent, so the request fails locally; a nullopt app id leaves "app_id" out, so the client
// refuses the request as missing its app id.
#include <memory>
#include <optional>
#include <string>

#include "VezEduduzSDK/Source/VezEduduzRequest.h"
#include "platform/foundation/Value.h"

namespace vezeduduz {

using VEOptionalString = std::optional<std::string>;

// GET players/<userId>: "app_id".
class VERequestGetTags : public VezEduduzRequest {
public:
    static std::shared_ptr<VERequestGetTags> withUserId(const VEOptionalString& userId, const VEOptionalString& appId);
    std::string className() const override { return "VERequestGetTags"; }
};

// GET apps/<appId>/ios_params.js: "player_id" only with a user id (else no parameters). Never misses its
// app id (it is in the path); sent on the no-cache session.
class VERequestGetIosParams : public VezEduduzRequest {
public:
    static std::shared_ptr<VERequestGetIosParams> withUserId(const VEOptionalString& userId,
                                                             const VEOptionalString& appId);
    std::string className() const override { return "VERequestGetIosParams"; }
    bool missingAppId() const override { return false; }
};

// PUT players/<userId>: "app_id", "tags", "net_type", "email_auth_hash" if set.
class VERequestSendTagsToServer : public VezEduduzRequest {
public:
    static std::shared_ptr<VERequestSendTagsToServer>
    withUserId(const VEOptionalString& userId, const VEOptionalString& appId, const platform::Value& tags,
               const platform::Value& networkType, const VEOptionalString& emailAuthHashToken);
    std::string className() const override { return "VERequestSendTagsToServer"; }
};

// POST notifications: the given dictionary itself, with "app_id" added when it has none. The caller's
// dictionary gains the key too (it is passed by reference, as the facade's own copy).
class VERequestPostNotification : public VezEduduzRequest {
public:
    static std::shared_ptr<VERequestPostNotification> withAppId(const VEOptionalString& appId, platform::Value& json);
    std::string className() const override { return "VERequestPostNotification"; }
};

// PUT players/<userId>: "app_id"; if set: "email", "notification_types", "identifier" (device token),
// "parent_player_id", "email_auth_hash".
class VERequestUpdateDeviceToken : public VezEduduzRequest {
public:
    static std::shared_ptr<VERequestUpdateDeviceToken>
    withUserId(const VEOptionalString& userId, const VEOptionalString& appId, const VEOptionalString& deviceToken,
               const std::optional<platform::Value>& notificationTypes, const VEOptionalString& parentId,
               const VEOptionalString& emailAuthToken, const VEOptionalString& email);
    std::string className() const override { return "VERequestUpdateDeviceToken"; }
};

// POST players: "app_id", "device_type", and "identifier" (e-mail), "email_auth_hash",
// "device_player_id" or null.
class VERequestCreateDevice : public VezEduduzRequest {
public:
    static std::shared_ptr<VERequestCreateDevice> withAppId(const VEOptionalString& appId, int64_t deviceType,
                                                            const VEOptionalString& email,
                                                            const VEOptionalString& playerId,
                                                            const VEOptionalString& emailAuthHash);
    std::string className() const override { return "VERequestCreateDevice"; }
};

// POST players/<devicePlayerId>/email_logout: "parent_player_id" (e-mail player) or null,
// "email_auth_hash" or null, "app_id".
class VERequestLogoutEmail : public VezEduduzRequest {
public:
    static std::shared_ptr<VERequestLogoutEmail> withAppId(const VEOptionalString& appId,
                                                           const VEOptionalString& emailPlayerId,
                                                           const VEOptionalString& devicePlayerId,
                                                           const VEOptionalString& emailAuthHash);
    std::string className() const override { return "VERequestLogoutEmail"; }
};

// PUT players/<userId>: "app_id", "notification_types".
class VERequestUpdateNotificationTypes : public VezEduduzRequest {
public:
    static std::shared_ptr<VERequestUpdateNotificationTypes>
    withUserId(const VEOptionalString& userId, const VEOptionalString& appId, int64_t notificationTypes);
    std::string className() const override { return "VERequestUpdateNotificationTypes"; }
};

// POST players/<userId>/on_purchase: "app_id", "purchases"; the e-mail form adds "email_auth_hash" or null.
class VERequestSendPurchases : public VezEduduzRequest {
public:
    static std::shared_ptr<VERequestSendPurchases>
    withUserId(const VEOptionalString& userId, const VEOptionalString& appId, const platform::Value& purchases);
    static std::shared_ptr<VERequestSendPurchases> withUserId(const VEOptionalString& userId,
                                                              const VEOptionalString& emailAuthToken,
                                                              const VEOptionalString& appId,
                                                              const platform::Value& purchases);
    std::string className() const override { return "VERequestSendPurchases"; }
};

// PUT notifications/<messageId>: "player_id" or null, "app_id" or null, "opened" (JSON boolean).
class VERequestSubmitNotificationOpened : public VezEduduzRequest {
public:
    static std::shared_ptr<VERequestSubmitNotificationOpened> withUserId(const VEOptionalString& userId,
                                                                         const VEOptionalString& appId, bool wasOpened,
                                                                         const VEOptionalString& messageId);
    std::string className() const override { return "VERequestSubmitNotificationOpened"; }
};

// POST players/<userId>/on_session with a user id, else POST players: the registration record as given.
class VERequestRegisterUser : public VezEduduzRequest {
public:
    static std::shared_ptr<VERequestRegisterUser> withData(const platform::Value& data, const VEOptionalString& userId);
    std::string className() const override { return "VERequestRegisterUser"; }
};

// PUT players/<userId>: "app_id", "em_m" (MD5), "em_s" (SHA-1) of the lower-cased address, "net_type".
// The address itself is never sent.
class VERequestSyncHashedEmail : public VezEduduzRequest {
public:
    static std::shared_ptr<VERequestSyncHashedEmail> withUserId(const VEOptionalString& userId,
                                                                const VEOptionalString& appId, const std::string& email,
                                                                const platform::Value& networkType);
    std::string className() const override { return "VERequestSyncHashedEmail"; }
};

// Latitude, longitude, vertical and horizontal accuracy, in this order.
struct VELocationRecord {
    double latitude = 0;
    double longitude = 0;
    double verticalAccuracy = 0;
    double horizontalAccuracy = 0;
};

// PUT players/<userId>: "app_id", "lat", "long", "loc_acc_vert", "loc_acc", "net_type", "loc_bg"
// (JSON boolean), "email_auth_hash" if set.
class VERequestSendLocation : public VezEduduzRequest {
public:
    static std::shared_ptr<VERequestSendLocation>
    withUserId(const VEOptionalString& userId, const VEOptionalString& appId, const VELocationRecord& location,
               const platform::Value& networkType, bool backgroundState, const VEOptionalString& emailAuthHashToken);
    std::string className() const override { return "VERequestSendLocation"; }
};

class VERequestOnFocus : public VezEduduzRequest {
public:
    // PUT players/<userId>: "app_id", "badgeCount", "email_auth_hash" if set.
    static std::shared_ptr<VERequestOnFocus> withUserId(const VEOptionalString& userId, const VEOptionalString& appId,
                                                        const platform::Value& badgeCount,
                                                        const VEOptionalString& emailAuthToken);
    // POST players/<userId>/on_focus: "app_id", "state", "type", "active_time", "net_type",
    // "email_auth_hash" if set.
    static std::shared_ptr<VERequestOnFocus> withUserId(const VEOptionalString& userId, const VEOptionalString& appId,
                                                        const std::string& state, const platform::Value& type,
                                                        const platform::Value& activeTime,
                                                        const platform::Value& netType,
                                                        const VEOptionalString& emailAuthToken);
    std::string className() const override { return "VERequestOnFocus"; }
};

}  // namespace vezeduduz
