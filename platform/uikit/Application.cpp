#include "platform/uikit/Application.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/OnceHandler.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/ASCII.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/PropertyList.h"
#include "platform/uikit/Classes.h"
#include "platform/uikit/Window.h"

namespace platform::uikit {

using objc::sel;
using objc::Selector;

const char* const kDelegateSelectors[] = {
    "application:willFinishLaunchingWithOptions:",
    "application:didFinishLaunchingWithOptions:",
    "applicationDidBecomeActive:",
    "applicationWillResignActive:",
    "applicationDidEnterBackground:",
    "applicationWillEnterForeground:",
    "applicationWillTerminate:",
    "application:continueUserActivity:restorationHandler:",
    "application:openURL:options:",
    "application:openURL:sourceApplication:annotation:",
    "application:handleEventsForBackgroundURLSession:completionHandler:",
    "application:didRegisterForRemoteNotificationsWithDeviceToken:",
    "application:didFailToRegisterForRemoteNotificationsWithError:",
    "application:didRegisterUserNotificationSettings:",
    "application:didReceiveRemoteNotification:",
    "application:didReceiveRemoteNotification:fetchCompletionHandler:",
    "application:handleActionWithIdentifier:forRemoteNotification:completionHandler:",
    "application:didReceiveLocalNotification:",
    "application:handleActionWithIdentifier:forLocalNotification:completionHandler:",
    "window",
    "setWindow:",
};
const size_t kDelegateSelectorCount = sizeof(kDelegateSelectors) / sizeof(kDelegateSelectors[0]);

namespace {

dispatch::Mutex sharedMutex;
std::shared_ptr<Application>& sharedSlot() REQUIRES(sharedMutex) {
    static std::shared_ptr<Application> app;
    return app;
}

constexpr const char* kBackgroundExpiryKey = "uikit.background-expiry";
// How long the simulated system lets background tasks run after the app leaves the screen.
constexpr double kBackgroundTimeAllowance = 180;

}  // namespace

const char* applicationStateName(ApplicationState state) {
    switch (state) {
    case ApplicationState::Active:
        return "active";
    case ApplicationState::Inactive:
        return "inactive";
    case ApplicationState::Background:
        return "background";
    }
    return "unknown";
}

namespace {

// A file of the device's own (not the app's) under <device root>/Library/Device; "" when not booted.
std::string deviceFilePath(const char* name) {
    auto root = FileManager::defaultManager().homeDirectory();
    if (!root) return "";
    return root.value() + "/Library/Device/" + name;
}

// The icon badge belongs to the device, not the process: it is kept under the device root and shown
// again at the next launch, as a phone's home screen keeps it.
std::string badgeFilePath() { return deviceFilePath("IconBadge"); }

// Only this process writes the badge file, and not before it has read it here.
int64_t storedBadge() {
    std::string path = badgeFilePath();
    if (path.empty()) return 0;
    FileManager::defaultManager().removeStaleTemporaryFiles(path);
    auto text = FileManager::defaultManager().stringWithContentsOfFile(path, 64);
    if (!text) return 0;
    char* end = nullptr;
    long long value = std::strtoll(text.value().c_str(), &end, 10);
    // A damaged file shows no badge rather than a wrong one.
    if (end == text.value().c_str() || value < 0) return 0;
    return value;
}

// Writes the latest badge (`value`, or the one given before when retrying) under one lock, so a retry never
// puts an older badge back over a newer one.
void storeBadge(std::optional<int64_t> value) {
    static dispatch::Mutex mutex;
    static int64_t latest = 0;
    dispatch::MutexLock lock(mutex);
    if (value) latest = *value;
    std::string path = badgeFilePath();
    if (path.empty()) return;
    auto& files = FileManager::defaultManager();
    // The folder is made again by a retry too: on a full disk it may not have been made at all.
    Result<void> stored = files.createDirectory(path.substr(0, path.rfind('/')));
    if (stored) stored = files.writeAtomically(path, std::to_string(latest));
    PendingWrites::report(path, stored, [] { storeBadge(std::nullopt); });
}

// The user's answer to the notification prompt of systems 8 and 9 is the device's too: kept beside the
// badge, so a relaunch asks nothing and the current settings say what the user allowed.
std::string notificationAnswerPath() { return deviceFilePath("UserNotificationSettings.plist"); }

// {granted, types}; nullopt when the user was never asked (or the file is damaged: then asked again).
std::optional<std::pair<bool, uint64_t>> storedNotificationAnswer() {
    std::string path = notificationAnswerPath();
    if (path.empty()) return std::nullopt;
    PendingWrites::removeStaleTemporaryFilesOnce(path);
    auto stored = plist::readFile(path, 64 * 1024);
    if (!stored) return std::nullopt;
    auto granted = (*stored)["granted"].asBool();
    auto types = (*stored)["types"].asInteger();
    if (!granted || !types || *types < 0) return std::nullopt;
    return std::pair{*granted, uint64_t(*types)};
}

void storeNotificationAnswer(bool granted, uint64_t types) {
    std::string path = notificationAnswerPath();
    if (path.empty()) return;
    PendingWrites::Options options;
    options.makeFolder = true;
    if (auto bytes = plist::write(Value::dictionary({{"granted", granted}, {"types", int64_t(types)}})))
        (void)PendingWrites::write(path, std::move(*bytes), options);  // a failure is said and retried there
}

}  // namespace

Application::Application(objc::Class* cls) : Responder(cls ? cls : applicationClass()) {
    schemeHandlers_ = {{"http", "browser"}, {"https", "browser"}, {"mailto", "mail"}, {"tel", "phone"}};
    badge_ = storedBadge();
    if (auto answer = storedNotificationAnswer()) {
        dispatch::MutexLock lock(mutex_);
        settingsAnswered_ = true;
        settingsGranted_ = answer->first;
        settings_.types = answer->second;
    }
}

Application::~Application() = default;

std::shared_ptr<Application> Application::shared() {
    dispatch::MutexLock lock(sharedMutex);
    return sharedSlot();
}

void Application::installShared(std::shared_ptr<Application> app) {
    dispatch::MutexLock lock(sharedMutex);
    sharedSlot() = std::move(app);
}

void Application::resetShared() {
    std::shared_ptr<Application> old;
    {
        dispatch::MutexLock lock(sharedMutex);
        old.swap(sharedSlot());
    }
    dispatch::MainLoop::shared().cancel(kBackgroundExpiryKey);
}

// --- delegate ---

ObjectHandle Application::delegate() const {
    dispatch::MutexLock lock(mutex_);
    return delegate_;
}

void Application::setDelegate(ObjectHandle delegate) {
    objc::send<void, ObjectHandle>(shared_from_this(), sel("setDelegate:"), std::move(delegate));
}

void Application::platformSetDelegate(ObjectHandle delegate) {
    // The device reads once which optional callbacks the delegate has; set it again to re-read.
    std::set<Selector> answers;
    for (size_t i = 0; i < kDelegateSelectorCount; ++i) {
        Selector s = sel(kDelegateSelectors[i]);
        if (delegate && objc::respondsToSelector(delegate, s)) answers.insert(s);
    }
    ObjectHandle old;  // released outside the lock, after the observers heard of the change
    std::vector<std::function<void(ObjectHandle, ObjectHandle)>> observers;
    {
        dispatch::MutexLock lock(mutex_);
        old = delegate_;
        delegate_ = delegate;
        delegateAnswers_ = std::move(answers);
        for (auto& [id, o] : delegateObservers_) observers.push_back(o);
    }
    for (auto& o : observers) o(old, delegate);
}

int Application::addDelegateObserver(std::function<void(ObjectHandle, ObjectHandle)> observer) {
    dispatch::MutexLock lock(mutex_);
    int id = nextObserverId_++;
    delegateObservers_[id] = std::move(observer);
    return id;
}

void Application::removeDelegateObserver(int id) {
    std::function<void(ObjectHandle, ObjectHandle)> drop;  // released outside the lock
    dispatch::MutexLock lock(mutex_);
    auto it = delegateObservers_.find(id);
    if (it == delegateObservers_.end()) return;
    drop = std::move(it->second);
    delegateObservers_.erase(it);
}

bool Application::delegateResponds(Selector selector) const {
    dispatch::MutexLock lock(mutex_);
    return delegate_ && delegateAnswers_.count(selector) > 0;
}

void Application::callDelegate(const char* selector) {
    Selector s = sel(selector);
    if (!delegateResponds(s)) return;
    objc::send<void, ObjectHandle>(delegate(), s, shared_from_this());
}

// --- state ---

void Application::setState(ApplicationState state) {
    if (state_.exchange(state) == state) return;
    DeviceEvents::post("app.state", Value::dictionary({{"state", applicationStateName(state)}}));
}

void Application::resignActive() {
    if (applicationState() != ApplicationState::Active) return;
    // Still active while the delegate hears it, as on the device.
    callDelegate("applicationWillResignActive:");
    NotificationCenter::defaultCenter().postNotificationName(kApplicationWillResignActiveNotification, this);
    setState(ApplicationState::Inactive);
}

void Application::enterBackground() {
    resignActive();
    if (applicationState() != ApplicationState::Inactive) return;
    setState(ApplicationState::Background);
    callDelegate("applicationDidEnterBackground:");
    NotificationCenter::defaultCenter().postNotificationName(kApplicationDidEnterBackgroundNotification, this);
    // The app may be ended from the background without another word: what the disk refused so far goes now.
    PendingWrites::flushAll();
    scheduleBackgroundExpiry();
}

void Application::willEnterForeground() {
    if (applicationState() != ApplicationState::Background) return;
    dispatch::MainLoop::shared().cancel(kBackgroundExpiryKey);
    callDelegate("applicationWillEnterForeground:");
    NotificationCenter::defaultCenter().postNotificationName(kApplicationWillEnterForegroundNotification, this);
    setState(ApplicationState::Inactive);
}

void Application::becomeActive() {
    if (applicationState() == ApplicationState::Active) return;
    if (applicationState() == ApplicationState::Background) willEnterForeground();
    setState(ApplicationState::Active);
    callDelegate("applicationDidBecomeActive:");
    NotificationCenter::defaultCenter().postNotificationName(kApplicationDidBecomeActiveNotification, this);
}

void Application::enterForeground() {
    willEnterForeground();
    becomeActive();
}

void Application::terminate() {
    callDelegate("applicationWillTerminate:");
    NotificationCenter::defaultCenter().postNotificationName(kApplicationWillTerminateNotification, this);
    PendingWrites::flushAll();
    dispatch::MainLoop::shared().stop();
}

// --- windows ---

std::shared_ptr<Window> Application::keyWindow() const {
    dispatch::MutexLock lock(mutex_);
    return keyWindow_.lock();
}

std::vector<std::shared_ptr<Window>> Application::windows() const {
    dispatch::MutexLock lock(mutex_);
    std::vector<std::shared_ptr<Window>> out;
    for (auto& w : windows_)
        if (auto s = w.lock()) out.push_back(s);
    return out;
}

void Application::setKeyWindow(const std::shared_ptr<Window>& window) {
    dispatch::MutexLock lock(mutex_);
    std::erase_if(windows_, [](const std::weak_ptr<Window>& w) { return w.expired(); });
    bool known = std::any_of(windows_.begin(), windows_.end(),
                             [&](const std::weak_ptr<Window>& w) { return w.lock() == window; });
    if (!known) windows_.push_back(window);
    keyWindow_ = window;
}

// --- URLs ---

void Application::registerSchemeHandler(std::string scheme, std::string handler) {
    scheme = lowercasedASCII(scheme);
    dispatch::MutexLock lock(mutex_);
    if (handler.empty())
        schemeHandlers_.erase(scheme);
    else
        schemeHandlers_[scheme] = std::move(handler);
}

bool Application::canOpenURL(const URL& url) const {
    auto scheme = url.scheme();
    if (!scheme) return false;
    dispatch::MutexLock lock(mutex_);
    return schemeHandlers_.count(*scheme) > 0;
}

bool Application::openURL(const URL& url) {
    auto scheme = url.scheme();
    std::string handler;
    {
        dispatch::MutexLock lock(mutex_);
        auto it = scheme ? schemeHandlers_.find(*scheme) : schemeHandlers_.end();
        if (it == schemeHandlers_.end()) return false;
        handler = it->second;
        opened_.push_back({url.absoluteString(), handler});
    }
    DeviceEvents::post("system.open", Value::dictionary({{"url", url.absoluteString()}, {"handler", handler}}));
    return true;
}

void Application::openURL(const URL& url, const Value& options, std::function<void(bool)> completion) {
    bool ok = openURL(url);
    if (completion) dispatch::MainLoop::shared().post([completion = std::move(completion), ok] { completion(ok); });
}

std::vector<Application::OpenedURL> Application::openedURLs() const {
    dispatch::MutexLock lock(mutex_);
    return opened_;
}

bool Application::continueUserActivity(std::shared_ptr<UserActivity> activity) {
    // A web page is all an activity may name: a file, a script or another app's scheme never reaches the app.
    if (activity && activity->webpageURL && !isWebpageURL(*activity->webpageURL)) {
        consoleLog("Refused a user activity whose web page URL is not http or https: " +
                   activity->webpageURL->absoluteString());
        return false;
    }
    Selector s = sel("application:continueUserActivity:restorationHandler:");
    if (!delegateResponds(s)) return false;
    RestorationHandler restoration = [](ValueArray) {};
    return objc::send<bool, ObjectHandle, std::shared_ptr<UserActivity>, RestorationHandler>(
        delegate(), s, shared_from_this(), std::move(activity), std::move(restoration));
}

bool Application::openURLInApp(const URL& url, const Value& options) {
    Selector s = sel("application:openURL:options:");
    if (delegateResponds(s))
        return objc::send<bool, ObjectHandle, URL, Value>(delegate(), s, shared_from_this(), url, options);
    Selector legacy = sel("application:openURL:sourceApplication:annotation:");
    if (!delegateResponds(legacy)) return false;
    std::optional<std::string> source;
    if (const std::string* text = options[kOpenURLOptionsSourceApplicationKey].asString()) source = *text;
    Value annotation = options[kOpenURLOptionsAnnotationKey];
    return objc::send<bool, ObjectHandle, URL, std::optional<std::string>, Value>(
        delegate(), legacy, shared_from_this(), url, source, annotation);
}

bool Application::handleEventsForBackgroundURLSession(const std::string& identifier, std::function<void()> completion) {
    Selector s = sel("application:handleEventsForBackgroundURLSession:completionHandler:");
    if (!delegateResponds(s)) return false;
    std::function<void()> handler =
        dispatch::OnceHandler<>(s.name(), std::move(completion), dispatch::OnceHandlerPolicy::ReportFaultsAndPending);
    objc::send<void, ObjectHandle, std::string, std::function<void()>>(delegate(), s, shared_from_this(), identifier,
                                                                       std::move(handler));
    return true;
}

// --- background tasks ---

BackgroundTaskIdentifier Application::beginBackgroundTask(std::function<void()> expirationHandler) {
    dispatch::MutexLock lock(mutex_);
    BackgroundTaskIdentifier id = nextTask_++;
    backgroundTasks_[id] = std::move(expirationHandler);
    return id;
}

void Application::endBackgroundTask(BackgroundTaskIdentifier identifier) {
    std::function<void()> drop;  // released outside the lock: it may own anything
    dispatch::MutexLock lock(mutex_);
    auto it = backgroundTasks_.find(identifier);
    if (it == backgroundTasks_.end()) return;
    drop = std::move(it->second);
    backgroundTasks_.erase(it);
}

size_t Application::backgroundTaskCount() const {
    dispatch::MutexLock lock(mutex_);
    return backgroundTasks_.size();
}

void Application::expireBackgroundTasks() {
    std::vector<BackgroundTaskIdentifier> ids;
    {
        dispatch::MutexLock lock(mutex_);
        for (auto& [id, h] : backgroundTasks_) ids.push_back(id);
    }
    for (auto id : ids) {
        std::function<void()> handler;
        {
            dispatch::MutexLock lock(mutex_);
            auto it = backgroundTasks_.find(id);
            if (it == backgroundTasks_.end()) continue;  // ended by an earlier handler
            handler = it->second;
        }
        if (handler) handler();
    }
    std::map<BackgroundTaskIdentifier, std::function<void()>> leftovers;
    {
        dispatch::MutexLock lock(mutex_);
        for (auto id : ids) {
            auto it = backgroundTasks_.find(id);
            if (it == backgroundTasks_.end()) continue;
            leftovers.insert(std::move(*it));
            backgroundTasks_.erase(it);
        }
    }
    if (!leftovers.empty())
        consoleLog("Background task still not ended after its expiration handler was called: " +
                   std::to_string(leftovers.size()) + " task(s) ended by the system");
}

void Application::scheduleBackgroundExpiry() {
    std::weak_ptr<Application> weak = std::static_pointer_cast<Application>(shared_from_this());
    dispatch::MainLoop::shared().postAfter(
        kBackgroundTimeAllowance,
        [weak] {
            if (auto app = weak.lock(); app && app->applicationState() == ApplicationState::Background)
                app->expireBackgroundTasks();
        },
        kBackgroundExpiryKey);
}

// --- remote notifications ---

void Application::registerForRemoteNotifications() {
    std::weak_ptr<Application> weak = std::static_pointer_cast<Application>(shared_from_this());
    auto answer = [weak] {
        auto app = weak.lock();
        if (!app) return;
        Bytes token = PlatformConfig::current().deviceToken;
        ObjectHandle delegate = app->delegate();
        if (token.empty()) {
            app->registeredForRemote_ = false;
            Selector s = sel("application:didFailToRegisterForRemoteNotificationsWithError:");
            if (!app->delegateResponds(s)) return;
            Error error = Error::withDescription(kRemoteNotificationErrorDomain, kRemoteNotificationErrorNoToken,
                                                 "The device could not be registered for remote notifications.");
            objc::send<void, ObjectHandle, Error>(delegate, s, app, std::move(error));
            return;
        }
        app->registeredForRemote_ = true;
        Selector s = sel("application:didRegisterForRemoteNotificationsWithDeviceToken:");
        if (app->delegateResponds(s)) objc::send<void, ObjectHandle, Bytes>(delegate, s, app, std::move(token));
    };
    double delay = PlatformConfig::current().deviceTokenDelay;
    if (delay > 0)
        dispatch::MainLoop::shared().postAfter(delay, std::move(answer));
    else
        dispatch::MainLoop::shared().post(std::move(answer));
}

void Application::registerForRemoteNotificationTypes(uint64_t types) {
    {
        dispatch::MutexLock lock(mutex_);
        remoteTypes_ = types;
    }
    registerForRemoteNotifications();
}

uint64_t Application::enabledRemoteNotificationTypes() const {
    dispatch::MutexLock lock(mutex_);
    return registeredForRemote_ ? remoteTypes_ : 0;
}

void Application::registerUserNotificationSettings(UserNotificationSettings settings) {
    bool prompt = false;
    std::string answer;
    {
        dispatch::MutexLock lock(mutex_);
        if (!settingsAnswered_) {
            answer = PlatformConfig::current().notificationAuthorizationAnswer;
            settingsAnswered_ = true;
            settingsGranted_ = answer == "granted";
            prompt = true;
        }
        uint64_t types = settingsGranted_ ? settings.types : 0;
        if (prompt || types != settings_.types) storeNotificationAnswer(settingsGranted_, types);
        settings_.types = types;
        std::vector<UserNotificationCategory> unique;
        for (auto& c : settings.categories) {
            std::erase_if(unique, [&](const UserNotificationCategory& u) { return u.identifier == c.identifier; });
            unique.push_back(c);
        }
        settings_.categories = std::move(unique);
    }
    if (prompt)
        DeviceEvents::post("notification.prompt",
                           Value::dictionary({{"types", int64_t(settings.types)}, {"answer", answer}}));
    std::weak_ptr<Application> weak = std::static_pointer_cast<Application>(shared_from_this());
    dispatch::MainLoop::shared().post([weak] {
        auto app = weak.lock();
        if (!app) return;
        Selector s = sel("application:didRegisterUserNotificationSettings:");
        if (app->delegateResponds(s))
            objc::send<void, ObjectHandle, UserNotificationSettings>(app->delegate(), s, app,
                                                                     app->currentUserNotificationSettings());
    });
}

UserNotificationSettings Application::currentUserNotificationSettings() const {
    dispatch::MutexLock lock(mutex_);
    return settings_;
}

bool Application::deliverRemoteNotification(const Value& userInfo, FetchCompletionHandler completion) {
    Selector s = sel("application:didReceiveRemoteNotification:fetchCompletionHandler:");
    if (!delegateResponds(s)) return false;
    FetchCompletionHandler handler = dispatch::OnceHandler<BackgroundFetchResult>(
        "application:didReceiveRemoteNotification:fetchCompletionHandler:", std::move(completion),
        dispatch::OnceHandlerPolicy::ReportFaultsAndPending);
    objc::send<void, ObjectHandle, Value, FetchCompletionHandler>(delegate(), s, shared_from_this(), userInfo,
                                                                  std::move(handler));
    return true;
}

bool Application::deliverRemoteNotificationLegacy(const Value& userInfo) {
    Selector s = sel("application:didReceiveRemoteNotification:");
    if (!delegateResponds(s)) return false;
    objc::send<void, ObjectHandle, Value>(delegate(), s, shared_from_this(), userInfo);
    return true;
}

bool Application::deliverRemoteNotificationAction(const std::string& identifier, const Value& userInfo,
                                                  std::function<void()> completion) {
    Selector s = sel("application:handleActionWithIdentifier:forRemoteNotification:completionHandler:");
    if (!delegateResponds(s)) return false;
    std::function<void()> handler = dispatch::OnceHandler<>(
        "application:handleActionWithIdentifier:forRemoteNotification:completionHandler:", std::move(completion),
        dispatch::OnceHandlerPolicy::ReportFaultsAndPending);
    objc::send<void, ObjectHandle, std::string, Value, std::function<void()>>(delegate(), s, shared_from_this(),
                                                                              identifier, userInfo, std::move(handler));
    return true;
}

// --- indicators ---

void Application::setNetworkActivityIndicatorVisible(bool visible) {
    if (visible == networkActivity_) return;
    networkActivity_ = visible;
    DeviceEvents::post("view", Value::dictionary({{"name", "network-activity"}, {"hidden", !visible}}));
}

void Application::setApplicationIconBadgeNumber(int64_t value) {
    objc::send<void, int64_t>(shared_from_this(), sel("setApplicationIconBadgeNumber:"), value);
}

void Application::platformSetBadge(int64_t value) {
    if (value < 0) value = 0;  // the icon cannot show a negative count
    if (badge_.exchange(value) == value) return;
    storeBadge(value);
    DeviceEvents::post("badge", Value::dictionary({{"value", value}}));
}

}  // namespace platform::uikit
