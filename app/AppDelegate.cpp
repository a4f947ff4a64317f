#include "app/AppDelegate.h"

#include "VezEduduzSDK/Source/VezEduduzSDK.h"
#include "app/Console.h"
#include "app/Strings.h"
#include "app/ViewController.h"
#include "crash_reporter/Dodoredized.h"
#include "kit_platform/Verira.h"
#include "platform/dispatch/MainLoop.h"
#include "zidedova_core/ZODOzi.h"

namespace Tesmar {

using platform::URL;
using platform::Value;
using platform::objc::makeImp;
using platform::objc::Object;
using platform::objc::ObjectHandle;
using platform::objc::sel;
using platform::objc::Selector;

namespace {

AppDelegate* delegateOf(Object* self) { return platform::objc::native<AppDelegate>(self); }

void nothing(Object*, Selector, ObjectHandle) {}

}  // namespace

AppDelegate::AppDelegate(platform::objc::Class* cls)
    : uikit::Responder(cls), configService(ASConfigService::shared()) {}

platform::objc::Class* AppDelegate::runtimeClass() {
    auto& rt = platform::objc::Runtime::shared();
    if (auto* existing = rt.lookUpClass("AppDelegate")) return existing;
    platform::objc::ClassBuilder builder(rt, "AppDelegate", uikit::responderClass());
    if (!builder.valid()) return rt.lookUpClass("AppDelegate");
    builder.protocol(uikit::applicationDelegateProtocol())
        .classMethod(sel("alloc"), makeImp([](Object* cls, Selector) -> ObjectHandle {
                         return std::make_shared<AppDelegate>(static_cast<platform::objc::Class*>(cls));
                     }))
        .method(sel("init"), makeImp([](Object* self, Selector) -> ObjectHandle { return self->shared_from_this(); }))
        .method(sel("window"), makeImp([](Object* self, Selector) -> ObjectHandle { return delegateOf(self)->window; }))
        .method(sel("setWindow:"), makeImp([](Object* self, Selector, ObjectHandle window) {
                    delegateOf(self)->window = std::dynamic_pointer_cast<uikit::Window>(window);
                }))
        .method(sel("application:didFinishLaunchingWithOptions:"),
                makeImp([](Object* self, Selector, ObjectHandle, Value options) -> bool {
                    return delegateOf(self)->didFinishLaunchingWithOptions(options);
                }))
        .method(
            sel("application:continueUserActivity:restorationHandler:"),
            makeImp([](Object* self, Selector, ObjectHandle, std::shared_ptr<uikit::UserActivity> activity,
                       uikit::RestorationHandler) -> bool { return delegateOf(self)->continueUserActivity(activity); }))
        .method(sel("applicationWillResignActive:"), makeImp(&nothing))
        .method(sel("applicationDidEnterBackground:"), makeImp(&nothing))
        .method(sel("applicationWillEnterForeground:"), makeImp(&nothing))
        .method(sel("applicationDidBecomeActive:"), makeImp(&nothing))
        .method(sel("applicationWillTerminate:"), makeImp(&nothing));
    return builder.registerClass();
}

bool AppDelegate::didFinishLaunchingWithOptions(const Value& launchOptions) {
    platform::dispatch::mainThread.assertOnThread();
    Value options = launchOptions.isDictionary() ? launchOptions : Value();
    verira::Verira::with({dodoredized::runtimeClass()});
    zidedova::ZODOzi::configure();
    setupVezEduduz(options);
    return true;
}

void AppDelegate::setupVezEduduz(const Value& launchOptions) {
    Value settings = Value::dictionary({{vezeduduz::kOSSettingsKeyAutoPrompt, Value(false)}});
    auto self = std::static_pointer_cast<AppDelegate>(shared_from_this());
    vezeduduz::VezEduduz::initWithLaunchOptions(
        launchOptions, Value(Strings::VezEduduz::appId),
        [](std::shared_ptr<vezeduduz::VENotification> notification) { handleNotificationReceived(notification); },
        [self](std::shared_ptr<vezeduduz::VENotificationOpenedResult> result) {
            self->handleNotificationAction(result);
        },
        settings);
    vezeduduz::VezEduduz::setInFocusDisplayType(2);
    vezeduduz::VezEduduz::promptForPushNotificationsWithUserResponse(
        [](bool accepted) { handlePromptResponse(accepted); });
}

void AppDelegate::handleNotificationReceived(const std::shared_ptr<vezeduduz::VENotification>& notification) {
    if (notification) debugPrint("New notification received");
}

void AppDelegate::handlePromptResponse(bool accepted) {
    plainPrint(std::string("User accepted notifications: ") + (accepted ? "true" : "false"));
}

void AppDelegate::handleNotificationAction(const std::shared_ptr<vezeduduz::VENotificationOpenedResult>& result) {
    platform::dispatch::mainThread.assertOnThread();
    debugPrint("Notification tapped");
    const Value* target = nullptr;
    if (result && result->notification() && result->notification()->payload()) {
        const auto& additional = result->notification()->payload()->additionalData();
        if (additional) target = additional->find("targetUrl");
    }
    if (!target || !target->isString()) {
        debugPrint("Target url not found. Default URL will be used.");
        return;
    }
    std::string text = target->stringOr("");
    debugPrint("Target url string: " + text);
    auto url = URL::string(text);
    // A notification's payload is outside input: only web pages may replace the site.
    if (url && !uikit::isWebpageURL(*url)) url.reset();
    openURL(url);
}

void AppDelegate::openURL(const std::optional<URL>& url) {
    platform::dispatch::mainThread.assertOnThread();
    if (!url) {
        debugPrint("The url parameter is not valid. Open url failed.");
        return;
    }
    auto board = uikit::Storyboard::named(Strings::Storyboard::main);
    auto screen = board ? std::dynamic_pointer_cast<ViewController>(
                              board->instantiateViewControllerWithIdentifier(viewControllerIdentifier))
                        : nullptr;
    if (!screen) {
        debugPrint("The storyboard \"Main\" has no \"ViewController\" scene. Open url failed.");
        return;
    }
    screen->request = screenRequest(*url);
    if (window) {
        // In a navigation controller, as the launch's first screen is, so the page's new windows push and pop;
        // at the bottom of it the screen hides the bar, as the first screen does.
        window->setRootViewController(uikit::NavigationController::withRoot(screen));
        window->makeKeyAndVisible();
    }
}

void AppDelegate::showRootViewController() { openURL(universalLinkURL ? universalLinkURL : configService->baseURL()); }

bool AppDelegate::continueUserActivity(const std::shared_ptr<uikit::UserActivity>& activity) {
    platform::dispatch::mainThread.assertOnThread();
    debugPrint("universal link tapped");
    if (!activity || activity->activityType.empty()) return true;
    // An activity without a page would otherwise wipe the base URL for the rest of the process.
    if (!activity->webpageURL) {
        debugPrint("The user activity has no web page URL. Universal link ignored.");
        return true;
    }
    // Checked here too: the activity is outside input, whoever made it.
    if (!uikit::isWebpageURL(*activity->webpageURL)) {
        debugPrint("The user activity's web page URL is not an http or https URL. Universal link ignored.");
        return true;
    }
    universalLinkURL = activity->webpageURL;
    configService->setBaseURL(activity->webpageURL);
    showRootViewController();
    return true;
}

}  // namespace Tesmar
