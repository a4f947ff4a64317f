#pragma once
// Application: the shared application object (runtime class "UIApplication") and its delegate.
//
// Threads: everything here is main-thread API, except applicationState(), applicationIconBadgeNumber()
// and the openURL record, which any thread may read.
//
// Runtime methods of "UIApplication" (so SDKs can intercept them by exchanging implementations):
//   +sharedApplication                       ObjectHandle()          (null before launch)
//   -delegate                                ObjectHandle()
//   -setDelegate:                            void(ObjectHandle)
//   -applicationIconBadgeNumber              int64_t()
//   -setApplicationIconBadgeNumber:          void(int64_t)
//   -applicationState                        int64_t()  (ApplicationState)
// The C++ setDelegate / setApplicationIconBadgeNumber send these selectors, so an interceptor runs
// first whoever calls.
//
// The delegate is held strongly. When it is set, the application records which of the known
// delegate selectors (kDelegateSelectors) it answers, as the device does; later callbacks are sent
// by selector only when that record says yes. A delegate that gains methods afterwards is re-read
// when it is set again (set null, then back).
//
// Delegate callbacks (sent by selector, with exactly these signatures; app = the application):
//   application:willFinishLaunchingWithOptions:           bool(ObjectHandle app, Value options)
//   application:didFinishLaunchingWithOptions:            bool(ObjectHandle app, Value options)
//   applicationDidBecomeActive: / applicationWillResignActive: / applicationDidEnterBackground: /
//   applicationWillEnterForeground: / applicationWillTerminate:   void(ObjectHandle app)
//   application:continueUserActivity:restorationHandler:
//                         bool(ObjectHandle app, std::shared_ptr<UserActivity>, RestorationHandler)
//   application:openURL:options:                          bool(ObjectHandle app, URL, Value options)
//   application:openURL:sourceApplication:annotation:
//                         bool(ObjectHandle app, URL, std::optional<std::string> sourceApplication, Value annotation)
//   application:handleEventsForBackgroundURLSession:completionHandler:
//                         void(ObjectHandle app, std::string identifier, std::function<void()>)
//   application:didRegisterForRemoteNotificationsWithDeviceToken:  void(ObjectHandle app, Bytes token)
//   application:didFailToRegisterForRemoteNotificationsWithError:  void(ObjectHandle app, Error)
//   application:didRegisterUserNotificationSettings:      void(ObjectHandle app, UserNotificationSettings)
//   application:didReceiveRemoteNotification:             void(ObjectHandle app, Value userInfo)
//   application:didReceiveRemoteNotification:fetchCompletionHandler:
//                         void(ObjectHandle app, Value userInfo, FetchCompletionHandler)
//   application:handleActionWithIdentifier:forRemoteNotification:completionHandler:
//                         void(ObjectHandle app, std::string identifier, Value userInfo, std::function<void()>)
//   window                                                ObjectHandle()        (a Window)
//   setWindow:                                            void(ObjectHandle)    (a Window)
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/LocalNotification.h"
#include "platform/uikit/Responder.h"
#include "platform/uikit/UserActivity.h"
#include "platform/uikit/UserNotificationSettings.h"

namespace platform::uikit {

class Window;

enum class ApplicationState : int64_t { Active = 0, Inactive = 1, Background = 2 };
const char* applicationStateName(ApplicationState state);  // "active", "inactive", "background"

enum class BackgroundFetchResult : int64_t { NewData = 0, NoData = 1, Failed = 2 };
using FetchCompletionHandler = std::function<void(BackgroundFetchResult)>;

using BackgroundTaskIdentifier = uint64_t;
inline constexpr BackgroundTaskIdentifier kBackgroundTaskInvalid = 0;

// Notification names posted on platform::NotificationCenter::defaultCenter() (object: the app).
inline constexpr const char* kApplicationDidFinishLaunchingNotification = "UIApplicationDidFinishLaunchingNotification";
inline constexpr const char* kApplicationDidBecomeActiveNotification = "UIApplicationDidBecomeActiveNotification";
inline constexpr const char* kApplicationWillResignActiveNotification = "UIApplicationWillResignActiveNotification";
inline constexpr const char* kApplicationDidEnterBackgroundNotification = "UIApplicationDidEnterBackgroundNotification";
inline constexpr const char* kApplicationWillEnterForegroundNotification =
    "UIApplicationWillEnterForegroundNotification";
inline constexpr const char* kApplicationWillTerminateNotification = "UIApplicationWillTerminateNotification";

// Launch-option keys.
inline constexpr const char* kLaunchOptionsRemoteNotificationKey = "UIApplicationLaunchOptionsRemoteNotificationKey";

// Keys of the options handed to application:openURL:options:.
inline constexpr const char* kOpenURLOptionsSourceApplicationKey = "UIApplicationOpenURLOptionsSourceApplicationKey";
inline constexpr const char* kOpenURLOptionsAnnotationKey = "UIApplicationOpenURLOptionsAnnotationKey";

// Info.plist key naming the main storyboard.
inline constexpr const char* kMainStoryboardFileKey = "UIMainStoryboardFile";

// Domain of registration failures (no device token), and its one code.
inline constexpr const char* kRemoteNotificationErrorDomain = "RemoteNotificationRegistration";
inline constexpr int64_t kRemoteNotificationErrorNoToken = 3000;

// The delegate selectors whose answers are recorded at setDelegate: time.
extern const char* const kDelegateSelectors[];
extern const size_t kDelegateSelectorCount;

class Application : public Responder {
public:
    // cls must be "UIApplication" or a subclass. Use launchApplication / UIApplicationMain to make
    // the shared one.
    explicit Application(objc::Class* cls = nullptr);
    ~Application() override;

    // The shared application; null before launch (any thread).
    static std::shared_ptr<Application> shared();
    // Drops the shared application (tests). Pending background work keeps its own references.
    static void resetShared();
    // Platform internal (launch): makes `app` the shared application.
    static void installShared(std::shared_ptr<Application> app);

    // --- delegate ---
    ObjectHandle delegate() const;
    void setDelegate(ObjectHandle delegate);  // sends setDelegate:
    // Whether the delegate answered `selector` when it was set.
    bool delegateResponds(objc::Selector selector) const;
    // Told (old, new) after the platform's setDelegate: ran, on the thread that set it (the way
    // key-value observation of "delegate" reports it); answers an id for removal.
    int addDelegateObserver(std::function<void(ObjectHandle oldDelegate, ObjectHandle newDelegate)> observer);
    void removeDelegateObserver(int id);

    // --- state ---
    ApplicationState applicationState() const { return state_.load(); }
    // Simulated user: Active -> Inactive (willResignActive) -> Background (didEnterBackground).
    void enterBackground();
    // Background -> Inactive (willEnterForeground) -> Active (didBecomeActive).
    void enterForeground();
    // The individual steps, for finer scripts (each does nothing when already in the target state).
    void resignActive();
    void becomeActive();
    void willEnterForeground();
    void terminate();  // applicationWillTerminate:, then the main loop is stopped

    // --- windows ---
    std::shared_ptr<Window> keyWindow() const;
    std::vector<std::shared_ptr<Window>> windows() const;
    // Platform internal: Window::makeKeyAndVisible.
    void setKeyWindow(const std::shared_ptr<Window>& window);

    // --- URLs handed to the system ---
    // scheme (lower-case) -> handler name; http/https -> "browser", mailto -> "mail", tel -> "phone".
    void registerSchemeHandler(std::string scheme, std::string handler);
    bool canOpenURL(const URL& url) const;
    // Hands the URL to its handler: records it and posts "system.open" {url, handler}. False (and
    // nothing recorded) when no handler takes the scheme.
    bool openURL(const URL& url);
    // The completion runs later on the main loop with the answer.
    void openURL(const URL& url, const Value& options, std::function<void(bool)> completion);
    struct OpenedURL {
        std::string url;
        std::string handler;
    };
    std::vector<OpenedURL> openedURLs() const;

    // --- universal links and URLs for the app ---
    // Delivers application:continueUserActivity:restorationHandler: (false when the delegate does not
    // answer it, or answers NO). An activity whose web page URL is not http or https is refused: a
    // console line, false, and the delegate never hears of it.
    bool continueUserActivity(std::shared_ptr<UserActivity> activity);
    // Delivers application:openURL:options:, or, to a delegate without it,
    // application:openURL:sourceApplication:annotation: with the options' source application and
    // annotation, as the device does. False when the delegate answers neither, or answers NO.
    bool openURLInApp(const URL& url, const Value& options = Value::dictionary());

    // --- background URL sessions ---
    // The system relaunched the app for events of the background session `identifier`: delivers
    // application:handleEventsForBackgroundURLSession:completionHandler: with a completion checked for
    // exactly one call (dispatch::OnceHandler, reporting faults). False (and the completion dropped uncalled) when the
    // delegate does not answer it.
    bool handleEventsForBackgroundURLSession(const std::string& identifier, std::function<void()> completion);

    // --- background tasks ---
    BackgroundTaskIdentifier beginBackgroundTask(std::function<void()> expirationHandler);
    void endBackgroundTask(BackgroundTaskIdentifier identifier);  // unknown ids are ignored
    size_t backgroundTaskCount() const;
    // The system's time runs out: every expiration handler still registered runs once (main thread).
    void expireBackgroundTasks();

    // --- remote notifications ---
    // Answered later on the main loop (deviceTokenDelay seconds on, when PlatformConfig sets one):
    // didRegister... with PlatformConfig's deviceToken, or didFailToRegister... when the token is empty.
    void registerForRemoteNotifications();
    bool isRegisteredForRemoteNotifications() const { return registeredForRemote_; }
    // Before system 8: records the types and registers as above.
    void registerForRemoteNotificationTypes(uint64_t types);
    uint64_t enabledRemoteNotificationTypes() const;
    // System 8 and 9: the simulated user answers as PlatformConfig's notificationAuthorizationAnswer
    // ("granted" keeps the asked types; "denied" and "provisional" give none) the first time; later
    // calls keep the first answer but take the new categories. The answer is the device's: kept under
    // the device root, so later launches keep it too. Answered later on the main loop with
    // application:didRegisterUserNotificationSettings:.
    void registerUserNotificationSettings(UserNotificationSettings settings);
    UserNotificationSettings currentUserNotificationSettings() const;

    // Calls into the delegate for notification delivery (used by the notification centre). Each
    // answers whether the delegate answered the selector (and so was called).
    bool deliverRemoteNotification(const Value& userInfo, FetchCompletionHandler completion);
    bool deliverRemoteNotificationLegacy(const Value& userInfo);
    bool deliverRemoteNotificationAction(const std::string& identifier, const Value& userInfo,
                                         std::function<void()> completion);

    // --- notifications the device shows below system 10 (LocalNotification.h; main thread) ---
    // The device keeps the newest shown ones, local and remote together, as the notification centre keeps
    // its delivered ones from 10 on: an older one goes, payload and all, and can no longer be tapped.
    static constexpr size_t kMaxShownNotifications = 100;
    void scheduleLocalNotification(std::shared_ptr<LocalNotification> notification);
    std::vector<std::shared_ptr<LocalNotification>> shownLocalNotifications() const;
    // A remote notification shown below 10 (the notification centre keeps them from 10 on): it waits
    // for the user beside the local ones.
    void recordShownRemoteNotification(const std::string& identifier, const Value& userInfo);
    // The user taps a shown one, local or remote ("" for the last shown); "" or the default action means
    // a plain tap. False when there is no such notification.
    bool tapShownNotification(const std::string& identifier, const std::string& actionIdentifier);
    // The user taps a remote notification below 10 (one shown, which then goes, or any payload): the app
    // comes up (inactive while it hears why) and hears it through the delegate's action handler for a
    // custom action (8 and later), else its fetch method, else didReceiveRemoteNotification:.
    void tapRemoteNotification(const Value& userInfo, const std::string& actionIdentifier);

    // --- indicators ---
    bool isNetworkActivityIndicatorVisible() const { return networkActivity_; }
    void setNetworkActivityIndicatorVisible(bool visible);  // "view" {name:"network-activity", hidden}
    int64_t applicationIconBadgeNumber() const { return badge_.load(); }
    void setApplicationIconBadgeNumber(int64_t value);  // sends setApplicationIconBadgeNumber:

    // Platform internals: the runtime implementations behind the selectors above.
    void platformSetDelegate(ObjectHandle delegate);
    void platformSetBadge(int64_t value);

private:
    void setState(ApplicationState state);
    void callDelegate(const char* selector);
    void scheduleBackgroundExpiry();

    mutable dispatch::Mutex mutex_;
    ObjectHandle delegate_;
    std::set<objc::Selector> delegateAnswers_;
    std::map<int, std::function<void(ObjectHandle, ObjectHandle)>> delegateObservers_ GUARDED_BY(mutex_);
    int nextObserverId_ GUARDED_BY(mutex_) = 1;
    std::atomic<ApplicationState> state_{ApplicationState::Inactive};
    std::atomic<int64_t> badge_{0};
    bool networkActivity_ = false;
    std::weak_ptr<Window> keyWindow_;
    std::vector<std::weak_ptr<Window>> windows_;
    std::map<std::string, std::string> schemeHandlers_ GUARDED_BY(mutex_);
    std::vector<OpenedURL> opened_ GUARDED_BY(mutex_);
    std::map<BackgroundTaskIdentifier, std::function<void()>> backgroundTasks_ GUARDED_BY(mutex_);
    BackgroundTaskIdentifier nextTask_ GUARDED_BY(mutex_) = 1;
    std::atomic<bool> registeredForRemote_{false};
    uint64_t remoteTypes_ GUARDED_BY(mutex_) = 0;
    UserNotificationSettings settings_ GUARDED_BY(mutex_);
    bool settingsAnswered_ GUARDED_BY(mutex_) = false;
    bool settingsGranted_ GUARDED_BY(mutex_) = false;
    // What the device shows below 10, in the order shown: a local notification, or a remote one's payload.
    struct ShownNotification {
        std::string identifier;
        std::shared_ptr<LocalNotification> local;
        Value remoteUserInfo;
    };
    std::vector<ShownNotification> shown_ GUARDED_BY(mutex_);
    void keepShown(ShownNotification shown) REQUIRES(mutex_);
};

// --- launch ---

struct LaunchOptions {
    Value options;  // the launch-options dictionary handed to the delegate, or null
};

// The platform's launch, without running the loop: makes the application (principalClassName or
// "UIApplication"), makes the delegate by class name (alloc/init through the runtime), sets it with
// setDelegate:, loads the Info.plist main storyboard (if any) into a new window handed to the
// delegate with setWindow:, calls willFinishLaunching / didFinishLaunching, makes the window key and
// visible and becomes active. Call on the main thread; the caller then drives MainLoop.
// Any failure (unknown class, missing storyboard, an exception thrown by app code) is answered as an
// Error with domain "UIApplicationMain" and the reason in its description.
Result<std::shared_ptr<Application>> launchApplication(const char* principalClassName, const char* delegateClassName,
                                                       Value launchOptions = Value());

// launchApplication, then MainLoop::shared().run() until terminate() / stop. Answers 0, or 1 after
// printing the launch failure to stderr.
int UIApplicationMain(int argc, char** argv, const char* principalClassName, const char* delegateClassName);

}  // namespace platform::uikit
