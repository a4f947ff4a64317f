#pragma once
// VezEduduz: the push client's facade. Class operations only; its state is process-wide.
//
// Threads: every operation belongs to the main loop, where all push-client state lives (the facade's
// statics, the three states, the registration flags). Every operation may be called from any thread: off
// the main loop one without a result is posted there, and one with a result runs there while the caller
// waits (so a thread reads back what it set; such a call must not come from a thread the main loop is
// itself waiting for). The state objects the state getters hand out live on the main loop: change and
// read them there; getPermissionSubscriptionState gives another thread copies. The log level, the dialog
// presenter and the consent switches are guarded on their own. REST outcomes and platform answers that
// arrive elsewhere are posted to the main loop before they touch any state. The registration body is
// built on the serial queue "com.vezeduduz.regiseruser" from a snapshot taken on the main loop.
//
// Blocks given to the facade are called on the main loop.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "VezEduduzSDK/Source/VELogLevel.h"
#include "VezEduduzSDK/Source/VEObservable.h"
#include "VezEduduzSDK/Source/VEStateChanges.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace platform::uikit {
enum class BackgroundFetchResult : int64_t;
struct LocalNotification;
}  // namespace platform::uikit
namespace platform::usernotifications {
struct NotificationContent;
struct NotificationRequest;
}  // namespace platform::usernotifications

namespace vezeduduz {

class VENotification;
class VENotificationOpenedResult;
class VezEduduzNotificationSettings;
enum class VENotificationActionType : uint64_t;

// Start-up settings keys (values equal their names; note the third "S" of the prompt-before key).
inline constexpr const char* kOSSettingsKeyAutoPrompt = "kOSSettingsKeyAutoPrompt";
inline constexpr const char* kOSSettingsKeyInAppAlerts = "kOSSettingsKeyInAppAlerts";
inline constexpr const char* kOSSettingsKeyInFocusDisplayOption = "kOSSettingsKeyInFocusDisplayOption";
inline constexpr const char* kOSSettingsKeyInAppLaunchURL = "kOSSettingsKeyInAppLaunchURL";
inline constexpr const char* kOSSSettingsKeyPromptBeforeOpeningPushURL = "kOSSSettingsKeyPromptBeforeOpeningPushURL";
inline constexpr const char* kOSSettingsKeyProvidesAppNotificationSettings =
    "kOSSettingsKeyProvidesAppNotificationSettings";
inline constexpr const char* kOSSettingsKeyInOmitNoAppIdLogging = "kOSSettingsKeyInOmitNoAppIdLogging";

enum class VEInFocusDisplayType : uint64_t { none = 0, inAppAlert = 1, notification = 2 };

using VEHandleNotificationReceivedBlock = std::function<void(std::shared_ptr<VENotification>)>;
using VEHandleNotificationActionBlock = std::function<void(std::shared_ptr<VENotificationOpenedResult>)>;
using VEUserResponseBlock = std::function<void(bool accepted)>;
using VEIdsAvailableBlock =
    std::function<void(const std::optional<std::string>& userId, const std::optional<std::string>& pushToken)>;
using VETokenSuccessBlock = std::function<void(const platform::Value& result)>;
using VETokenFailureBlock = std::function<void(const platform::Error& error)>;

class VezEduduz {
public:
    static constexpr const char* kSdkVersionRaw = "020809";
    static constexpr const char* kRegisterUserQueueLabel = "com.vezeduduz.regiseruser";
    // Two fixed documentation ids; the first is the example in the format message.
    static constexpr const char* kExampleAppId = "b2f7f966-d8cc-11e4-bed1-df8f05be55ba";
    static constexpr const char* kExampleAppId2 = "5eb5a37e-b458-11e3-ac11-000c2940e62c";

    // ---- start-up and settings ----
    // Launch options (a dictionary or null), app id (nullopt or a JSON null/non-string counts as none),
    // the two application blocks, the settings dictionary. Problems are logged, never returned.
    static void initWithLaunchOptions(const platform::Value& launchOptions, const platform::Value& appId,
                                      VEHandleNotificationReceivedBlock receivedBlock,
                                      VEHandleNotificationActionBlock actionBlock, const platform::Value& settings);
    static void initWithLaunchOptions(const platform::Value& launchOptions, const platform::Value& appId);
    // The shorter forms: no received block; without settings the four defaults of the two-argument form.
    static void initWithLaunchOptions(const platform::Value& launchOptions, const platform::Value& appId,
                                      VEHandleNotificationActionBlock actionBlock);
    static void initWithLaunchOptions(const platform::Value& launchOptions, const platform::Value& appId,
                                      VEHandleNotificationActionBlock actionBlock, const platform::Value& settings);
    // Resolves and validates the app id (argument, Info.plist, stored copy).
    static bool initAppId(const platform::Value& appId, const platform::Value& settings);

    static void setInFocusDisplayType(uint64_t displayType);
    static VEInFocusDisplayType inFocusDisplayType();
    static void setLogLevel(VELogLevel logLevel, VELogLevel visualLevel);
    static void vezeduduz_Log(VELogLevel level, const std::string& message);
    // The push client's dialogs (settings fallback, visual log lines): title, message, action title ("" for
    // none), cancel title, completion(action chosen). None by default: nothing is shown. Main loop.
    using DialogPresenter =
        std::function<void(const std::string& title, const std::string& message, const std::string& actionTitle,
                           const std::string& cancelTitle, std::function<void(bool actionChosen)> completion)>;
    static void setDialogPresenter(DialogPresenter presenter);
    static DialogPresenter dialogPresenter();

    static void setRequiresUserPrivacyConsent(bool required);
    static bool requiresUserPrivacyConsent();  // any thread
    static void consentGranted(bool granted);
    // Answers requiresUserPrivacyConsent(); logs the warning naming the method when there is one.
    static bool shouldLogMissingPrivacyConsentErrorWithMethodName(const std::optional<std::string>& methodName);
    static void downloadIOSParamsWithAppId(const std::string& appId);

    static std::optional<std::string> app_id();
    static std::string sdk_version_raw() { return kSdkVersionRaw; }
    static std::optional<std::string> mUserId();
    static void setMSDKType(const std::string& type);
    static void setMSubscriptionStatus(int32_t status);
    static int32_t mSubscriptionStatus();
    static void setWaitingForApnsResponse(bool waiting);
    static bool waitingForApnsResponse();
    static bool providesAppNotificationSettings();
    static bool coldStartFromTapOnNotification();  // read and reset
    static bool shouldDelaySubscriptionSettingsUpdate();
    static bool iosParamsReceived();
    static bool promptBeforeOpeningPushURL();
    static bool autoPrompt();
    static void setDelayIntervals(double maxApnsWait, double registrationDelay);

    // ---- states (built on first use) ----
    static std::shared_ptr<VEPermissionState> currentPermissionState();
    static std::shared_ptr<VEPermissionState> lastPermissionState();
    static void setLastPermissionState(std::shared_ptr<VEPermissionState> state);
    static std::shared_ptr<VESubscriptionState> currentSubscriptionState();
    static std::shared_ptr<VESubscriptionState> lastSubscriptionState();
    static void setLastSubscriptionState(std::shared_ptr<VESubscriptionState> state);
    static std::shared_ptr<VEEmailSubscriptionState> currentEmailSubscriptionState();
    static std::shared_ptr<VEEmailSubscriptionState> lastEmailSubscriptionState();
    static void setLastEmailSubscriptionState(std::shared_ptr<VEEmailSubscriptionState> state);
    static std::shared_ptr<VezEduduzNotificationSettings> veNotificationSettings();

    using PermissionObservable = VEDeferredObservable<VEPermissionObserver, VEPermissionStateChanges>;
    using SubscriptionObservable = VEDeferredObservable<VESubscriptionObserver, VESubscriptionStateChanges>;
    using EmailSubscriptionObservable =
        VEDeferredObservable<VEEmailSubscriptionObserver, VEEmailSubscriptionStateChanges>;
    static PermissionObservable& permissionStateChangesObserver();
    static SubscriptionObservable& subscriptionStateChangesObserver();
    static EmailSubscriptionObservable& emailSubscriptionStateChangesObserver();

    // ---- prompt, observers and ids ----
    static void promptForPushNotificationsWithUserResponse(VEUserResponseBlock block);
    static void promptForPushNotificationsWithUserResponse(VEUserResponseBlock block, bool fallbackToSettings);
    static void registerForPushNotifications();
    static bool registerForAPNsToken();
    static void checkProvisionalAuthorizationStatus();
    static void registerForProvisionalAuthorization(VEUserResponseBlock block);
    static void presentAppSettings();
    // A new snapshot (never null) of the current states; off the main loop it holds copies of them.
    static std::shared_ptr<VEPermissionSubscriptionState> getPermissionSubscriptionState();
    static void addPermissionObserver(const std::shared_ptr<VEPermissionObserver>& observer);
    static void removePermissionObserver(const VEPermissionObserver* observer);
    static void addSubscriptionObserver(const std::shared_ptr<VESubscriptionObserver>& observer);
    static void removeSubscriptionObserver(const VESubscriptionObserver* observer);
    static void addEmailSubscriptionObserver(const std::shared_ptr<VEEmailSubscriptionObserver>& observer);
    static void removeEmailSubscriptionObserver(const VEEmailSubscriptionObserver* observer);
    static void IdsAvailable(VEIdsAvailableBlock block);
    static void fireIdsAvailableCallback();

    // ---- device registration ----
    // Entry points of the application-delegate hooks (main loop).
    static void didRegisterForRemoteNotifications(const platform::Bytes& deviceToken);
    static void handleDidFailRegisterForRemoteNotification(const platform::Error& error);
    // The token's bytes as lower-case hex, two digits per byte.
    static std::string hexDeviceToken(const platform::Bytes& deviceToken);
    static void updateDeviceToken(const std::string& deviceToken, VETokenSuccessBlock onSuccess,
                                  VETokenFailureBlock onFailure);
    static void registerUser();
    static void registerUserAfterDelay();
    static bool shouldRegisterNow();
    static bool isHighPriorityCall();
    static void setNextRegistrationHighPriority(bool highPriority);
    static void updateLastSessionDateTime();
    static bool registrationInFlight();
    static int32_t getNotificationTypes();
    static void setSubscriptionErrorStatus(int32_t errorType);
    static void updateNotificationTypes(int32_t notificationTypes);
    static bool sendNotificationTypesUpdate();
    static std::optional<std::string> getUsableDeviceToken();
    // Pending tags for the next registration body (a dictionary; null clears).
    static void setPendingTags(const platform::Value& tags);

    // ---- received and opened notifications (VENotificationHandling.cpp; main loop) ----
    // Entry of the delegate hooks: a message arrived (isActive: the app is in front), possibly opened.
    static void notificationReceived(const platform::Value& message, bool isActive, bool wasOpened);
    // The data dictionary's "i" when it is new, "dup" when it equals lastMessageId, nullopt without one.
    static std::optional<std::string> checkForProcessedDups(const platform::Value& data,
                                                            const std::optional<std::string>& lastMessageId);
    static void handleNotificationOpened(const platform::Value& message, bool isActive,
                                         VENotificationActionType actionType, VEInFocusDisplayType displayType);
    static bool shouldPromptToShowURL();
    // Schedules the launch URL's display 0.5 s later; blank or malformed text is ignored.
    static void launchWebURL(const std::optional<std::string>& url);
    // Reports an open to the push service once per id (the last reported id is stored).
    static void submitNotificationOpened(const std::optional<std::string>& messageId);
    // Answers whether a badge was set (and so cleared).
    static bool clearBadgeCount(bool fromNotifOpened);
    // Background delivery with a fetch handler; true when the push client took over the handler.
    static bool remoteSilentNotification(const platform::Value& message,
                                         std::function<void(platform::uikit::BackgroundFetchResult)> completion);
    // The notification service extension's entry points (VezEduduzServiceExtension.cpp; the extension's
    // thread): forwarded to VezEduduzNotificationServiceExtensionHandler. `content` may be null.
    static platform::usernotifications::NotificationContent
    didReceiveNotificationExtensionRequest(const platform::usernotifications::NotificationRequest& request,
                                           const platform::usernotifications::NotificationContent* content);
    static platform::usernotifications::NotificationContent
    serviceExtensionTimeWillExpireRequest(const platform::usernotifications::NotificationRequest& request,
                                          const platform::usernotifications::NotificationContent* content);
    // Below system 10, the older local notification was opened or a button chosen ("__DEFAULT__": none).
    static void processLocalActionBasedNotification(const platform::uikit::LocalNotification& notification,
                                                    const std::string& identifier);
    static void setLastAppActiveMessageId(const std::optional<std::string>& messageId);
    static void setLastnonActiveMessageId(const std::optional<std::string>& messageId);

    // ---- tags, outgoing notifications and switches (VezEduduzTags.cpp) ----
    // Blocks of these calls run on the main loop. A tag value is a string or a number; "" deletes the key.
    // Calls within 5 s are merged into one request per player (the later value of a key wins) and every
    // merged call hears the one outcome. An invalid or nested value drops the whole call, unanswered.
    // Each form without blocks is a call of its own: without privacy consent, the warning names the form.
    using VEResultBlock = std::function<void(const platform::Value& result)>;
    using VEErrorBlock = std::function<void(const platform::Error& error)>;
    static void sendTags(const platform::Value& tags);
    static void sendTags(const platform::Value& tags, VEResultBlock onSuccess, VEErrorBlock onFailure);
    static void sendTagsWithJsonString(const std::string& json);
    // A missing value sends an empty dictionary (nothing changes).
    static void sendTag(const std::string& key, const std::optional<std::string>& value);
    static void sendTag(const std::string& key, const std::optional<std::string>& value, VEResultBlock onSuccess,
                        VEErrorBlock onFailure);
    // Sends what is pending now (the 5 s timer calls it).
    static void sendTagsToServer();
    // The player's tags (the answer's "tags"); waits for a player id when there is none yet.
    static void getTags(VEResultBlock onSuccess);
    static void getTags(VEResultBlock onSuccess, VEErrorBlock onFailure);
    static void deleteTags(const std::vector<std::string>& keys);
    static void deleteTags(const std::vector<std::string>& keys, VEResultBlock onSuccess, VEErrorBlock onFailure);
    static void deleteTag(const std::string& key);
    static void deleteTag(const std::string& key, VEResultBlock onSuccess, VEErrorBlock onFailure);
    static void deleteTagsWithJsonString(const std::string& json);
    static void postNotification(const platform::Value& notification);
    static void postNotification(const platform::Value& notification, VEResultBlock onSuccess, VEErrorBlock onFailure);
    static void postNotificationWithJsonString(const std::string& json, VEResultBlock onSuccess = nullptr,
                                               VEErrorBlock onFailure = nullptr);
    // Top-level dates become "yyyy-MM-ddTHH:mm:ss+hh:mm" in local time; nested containers are left as they are.
    static platform::Value convertDatesToISO8061Strings(platform::Value dictionary);
    static std::string parseNSErrorAsJsonString(const platform::Error& error);
    static void enableInAppLaunchURL(bool enable);
    static void setSubscription(bool enable);
    static void setLocationShared(bool shared);
    static bool locationShared();
    static void promptLocation();

    // ---- e-mail subscription (VezEduduzEmail.cpp) ----
    using VEEmailSuccessBlock = std::function<void()>;
    // authHash: nullopt (or "") for none. Local refusals answer at once (before the call returns when it is
    // made on the main loop); answers of the service come on the main loop.
    static void setEmail(const std::string& email);
    static void setEmail(const std::string& email, VEEmailSuccessBlock onSuccess, VEErrorBlock onFailure);
    static void setEmail(const std::string& email, const std::optional<std::string>& authHash);
    static void setEmail(const std::string& email, const std::optional<std::string>& authHash,
                         VEEmailSuccessBlock onSuccess, VEErrorBlock onFailure);
    static void logoutEmail();
    static void logoutEmail(VEEmailSuccessBlock onSuccess, VEErrorBlock onFailure);
    static void emailChangedWithNewEmailPlayerId(const std::string& emailPlayerId);
    // Sends only digests of the address; waits for a player id when there is none yet.
    static void syncHashedEmail(const std::optional<std::string>& email);
    static std::optional<std::string> mEmailUserId();
    static std::optional<std::string> mEmailAuthToken();
    static std::string sdk_semantic_version();

    // Warns about application-delegate methods that the push client no longer calls (main loop, later).
    static void checkIfApplicationImplementsDeprecatedMethods();

    // ---- purchases (VezEduduzTrackIAP.cpp; main loop) ----
    // POSTs on_purchase for the player (and the e-mail player): an array of {"sku", "amount", "iso",
    // "count" when not 1}. False (nothing sent) without a player id or privacy consent.
    static bool sendPurchases(const platform::Value& purchases);
    // The same, and `answered` hears on the main loop whether the service took them: true once the
    // player's request succeeded (an e-mail player's failure alone is logged), false when it failed after
    // its re-attempts or the group timed out. Not called when this answers false.
    static bool sendPurchases(const platform::Value& purchases, std::function<void(bool taken)> answered);
};

}  // namespace vezeduduz
