#include <cstdio>

#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/uikit/Application.h"
#include "platform/uikit/Classes.h"
#include "platform/uikit/Storyboard.h"
#include "platform/uikit/Window.h"

namespace platform::uikit {

using objc::sel;

namespace {

constexpr const char* kLaunchDomain = "UIApplicationMain";

Error launchError(const std::string& reason) { return Error::withDescription(kLaunchDomain, 1, reason); }

struct LaunchFailure {
    std::string reason;
};

std::shared_ptr<Application> makeApplication(const char* principalClassName) {
    objc::Class* cls = applicationClass();
    if (principalClassName && *principalClassName) {
        cls = objc::lookUpClass(principalClassName);
        if (!cls || !objc::isSubclassOf(cls, applicationClass()))
            throw LaunchFailure{
                std::string("Unable to instantiate the UIApplication subclass instance. No class named ") +
                principalClassName + " is loaded."};
    }
    if (Application::shared()) throw LaunchFailure{"There can only be one UIApplication instance."};
    auto app = std::make_shared<Application>(cls);
    // Installed before the delegate exists: the delegate's init may ask for it.
    Application::installShared(app);
    return app;
}

ObjectHandle makeDelegate(const char* delegateClassName) {
    objc::Class* cls = objc::lookUpClass(delegateClassName);
    if (!cls)
        throw LaunchFailure{std::string("Unable to instantiate the UIApplication delegate instance. No class named ") +
                            delegateClassName + " is loaded."};
    ObjectHandle made = objc::send<ObjectHandle>(static_cast<objc::Object*>(cls), sel("alloc"));
    ObjectHandle object = objc::send<ObjectHandle>(made, sel("init"));
    if (!object) throw LaunchFailure{std::string("The delegate class ") + delegateClassName + " made no instance."};
    return object;
}

std::shared_ptr<Window> delegateWindow(Application& app) {
    if (!app.delegateResponds(sel("window"))) return nullptr;
    return std::dynamic_pointer_cast<Window>(objc::send<ObjectHandle>(app.delegate(), sel("window")));
}

void loadMainStoryboard(Application& app) {
    auto bundle = Bundle::mainBundle();
    const Value* entry = bundle ? bundle->objectForInfoDictionaryKey(kMainStoryboardFileKey) : nullptr;
    const std::string* name = entry ? entry->asString() : nullptr;
    if (!name || name->empty()) return;
    auto board = Storyboard::named(*name);
    if (!board)
        throw LaunchFailure{"Could not find a storyboard named '" + *name + "' in bundle " +
                            (bundle ? bundle->bundlePath() : std::string("(none)"))};

    auto window = std::make_shared<Window>();
    if (app.delegateResponds(sel("setWindow:")))
        objc::send<void, ObjectHandle>(app.delegate(), sel("setWindow:"), window);
    if (auto kept = delegateWindow(app)) window = kept;
    auto root = board->instantiateInitialViewController();
    if (!root) {
        consoleLog("Failed to instantiate the default view controller for UIMainStoryboardFile '" + *name +
                   "' - perhaps the designated entry point is not set?");
        return;
    }
    window->setRootViewController(root);
}

bool callLaunchHandler(Application& app, const char* selector, const Value& options) {
    objc::Selector s = sel(selector);
    if (!app.delegateResponds(s)) return true;
    return objc::send<bool, ObjectHandle, Value>(app.delegate(), s, app.shared_from_this(), options);
}

}  // namespace

Result<std::shared_ptr<Application>> launchApplication(const char* principalClassName, const char* delegateClassName,
                                                       Value launchOptions) {
    dispatch::mainThread.assertOnThread();
    // The main loop is there before the app starts, and with it the worker that device files left to be
    // written soon go to (whatever the build checks or leaves out above).
    (void)dispatch::MainLoop::shared();
    registerClasses();
    try {
        auto app = makeApplication(principalClassName);
        if (delegateClassName && *delegateClassName) app->setDelegate(makeDelegate(delegateClassName));
        loadMainStoryboard(*app);
        callLaunchHandler(*app, "application:willFinishLaunchingWithOptions:", launchOptions);
        callLaunchHandler(*app, "application:didFinishLaunchingWithOptions:", launchOptions);
        NotificationCenter::defaultCenter().postNotificationName(kApplicationDidFinishLaunchingNotification, app.get(),
                                                                 launchOptions);
        std::shared_ptr<Window> window = delegateWindow(*app);
        if (!window) {
            auto windows = app->windows();
            if (!windows.empty()) window = windows.front();
        }
        if (window) window->makeKeyAndVisible();
        app->becomeActive();
        return app;
    } catch (const LaunchFailure& failure) {
        return launchError(failure.reason);
    } catch (const std::exception& e) {
        return launchError(std::string("Terminating app due to uncaught exception: ") + e.what());
    } catch (...) {
        return launchError("Terminating app due to uncaught exception of unknown type");
    }
}

int UIApplicationMain(int argc, char** argv, const char* principalClassName, const char* delegateClassName) {
    auto launched = launchApplication(principalClassName, delegateClassName);
    if (!launched) {
        std::fprintf(stderr, "%s\n", launched.error().localizedDescription().c_str());
        return 1;
    }
    dispatch::MainLoop::shared().run();
    return 0;
}

}  // namespace platform::uikit
