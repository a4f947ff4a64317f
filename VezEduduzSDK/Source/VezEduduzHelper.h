#pragma once
// VezEduduzHelper: the push client's shared utilities (network type, system version test, random
// strings, URL and e-mail checks, digests, main-thread dispatch) and the launch-URL display.
//
// The launch-URL display needs three things other parts own; they plug in through setters and are
// read on the main loop:
//   - whether to ask before opening (the facade's prompt setting), default no;
//   - the in-app page (the push client's web view), default none: http(s) launch URLs then open
//     outside the application;
//   - the dialog (the push client's dialog queue), default none: without it the user cannot be asked,
//     so the URL is not opened.
// Threads: everything is safe from any thread unless noted; the opening itself always happens on the
// main loop.
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "VezEduduzSDK/Source/VEDirectDownload.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"
#include "platform/usernotifications/NotificationTypes.h"

namespace platform::uikit {
enum class BackgroundFetchResult : int64_t;
struct LocalNotification;
}  // namespace platform::uikit

namespace vezeduduz {

class VENotificationPayload;

// User defaults key: the file names of every downloaded attachment (an array of strings).
inline constexpr const char* kCachedMediaKey = "CACHED_MEDIA";
// The one category of the notifications the push client builds itself.
inline constexpr const char* kDynamicCategoryIdentifier = "__dynamic__";

// User defaults key: whether launch URLs open in the in-app page (a boolean; absent means yes).
inline constexpr const char* kVezEduduzInAppLaunchURLKey = "VEZEDUDUZ_INAPP_LAUNCH_URL";

class VezEduduzHelper {
public:
    // ---- launch URL display (main loop) ----
    using InAppPagePresenter = std::function<void(const platform::URL& url)>;
    // title, message, action title, cancel title, completion(true when the action was chosen).
    using DialogPresenter =
        std::function<void(const std::string& title, const std::string& message, const std::string& actionTitle,
                           const std::string& cancelTitle, std::function<void(bool actionChosen)> completion)>;
    static void setShouldPromptToShowURL(std::function<bool()> shouldPrompt);
    static void setInAppPagePresenter(InAppPagePresenter presenter);
    static void setDialogPresenter(DialogPresenter presenter);
    // Host name of the application store's web pages; URLs on it always open outside the app.
    static std::string appStoreWebHost();

    // Opens a launch URL: in the in-app page (http(s) only, when the in-app setting is on and the URL is
    // not a store page) or through the application's openURL, 0.25 s (shared Clock) after deciding,
    // optionally after asking the user. Stores YES under kVezEduduzInAppLaunchURLKey when absent.
    static void displayWebView(const platform::URL& url);

    // ---- URL and text checks ----
    static bool verifyURL(const std::optional<std::string>& text);                             // non-nil and a URL
    static bool isWWWScheme(const platform::URL& url);                                         // http or https
    static std::optional<std::string> trimURLSpacing(const std::optional<std::string>& text);  // spaces, tabs
    static bool isValidEmail(const std::optional<std::string>& text);
    static std::string randomStringWithLength(int length);  // [a-zA-Z0-9], "" for length <= 0

    // ---- digests: lower-case hex of the text's UTF-8 bytes, all of them ----
    static std::string hashUsingSha1(std::string_view text);  // 40 characters
    static std::string hashUsingMD5(std::string_view text);   // 32 characters

    // ---- device ----
    // "net_type": 0 when reachable by Wi-Fi, 1 otherwise (cellular or not reachable).
    static platform::Value getNetType();
    // The system version read as a float ("10.3.1" reads 10.3) >= version.
    static bool isIOSVersionGreaterOrEqual(float version);
    static bool canGetNotificationTypes() { return isIOSVersionGreaterOrEqual(8.0f); }
    static std::optional<std::string> getAppName();  // the main bundle's CFBundleName
    // The main bundle's localisation of `key`, the key itself when there is none.
    static std::string localizedString(std::string_view key);

    // ---- main-loop dispatch ----
    // Runs at once on the main thread, else synchronously on the main loop.
    static void runOnMainThread(const std::function<void()>& block);
    static void dispatch_async_on_main_queue(std::function<void()> block);
    // Posts to the main loop a block that schedules `block` `delay` seconds later (shared Clock) under
    // `key`. cancelPreviousPerformRequests(key) drops every such pending block: it acts inside the main
    // loop, in order with the posts, so a cancel made on any thread after a perform always catches it.
    static void performOnMainThreadAfterDelay(const std::string& key, double delay, std::function<void()> block);
    static void cancelPreviousPerformRequests(const std::string& key);

    // ---- local notifications and media attachments (VezEduduzHelperLocal.cpp) ----
    // Builds run one at a time on the serial queue "com.vezeduduz.localnotification", each inside its own
    // background task; the blocking steps (media downloads, the category query) are bounded.
    static platform::usernotifications::NotificationRequest
    prepareUNNotificationRequest(const VENotificationPayload& payload);
    // Buttons into the category "__dynamic__" (two are shown in reverse order); other categories kept.
    static void addActionButtons(const VENotificationPayload& payload,
                                 platform::usernotifications::NotificationContent& content);
    // The centre's categories; empty when it does not answer within a few seconds.
    static std::vector<platform::usernotifications::NotificationCategory> existingCategories();
    // Attachments: http(s) URLs downloaded into Caches, other values as bundle resources "name.ext". The
    // downloads share one deadline, set by the media download limits when they begin.
    static void addAttachments(const VENotificationPayload& payload,
                               platform::usernotifications::NotificationContent& content);
    // Shows the payload as a local notification (any thread). The completion, when given, is called
    // exactly once with NewData, after the request was handed to the centre.
    static void addNotificationRequest(std::shared_ptr<VENotificationPayload> payload,
                                       std::function<void(platform::uikit::BackgroundFetchResult)> completion);
    // Downloads one attachment into Caches under a random name; the file name, or nullopt. It ends by
    // `deadline` too, when one is given.
    static std::optional<std::string>
    downloadMediaAndSaveInBundle(const std::string& urlString,
                                 std::optional<std::chrono::steady_clock::time_point> deadline = std::nullopt);
    // The time and byte cap of media downloads, a notification's together (the extension ends them
    // with its budget).
    static void setMediaDownloadLimits(VEDirectDownloadLimits limits);
    static VEDirectDownloadLimits mediaDownloadLimits();
    static void clearCachedMedia() {}
    // Below system 10: the older local notification with the buttons in the user-notification category
    // "__dynamic__" (registered with the settings, replacing an earlier one). The caller schedules it.
    static std::shared_ptr<platform::uikit::LocalNotification>
    createUILocalNotification(const VENotificationPayload& payload);
    static std::shared_ptr<platform::uikit::LocalNotification>
    prepareUILocalNotification(const VENotificationPayload& payload);
};

}  // namespace vezeduduz
