#include "host/Device.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <thread>

#include "app/Tesmar.h"
#include "host/AppCalls.h"
#include "host/AppDelegateEvents.h"
#include "host/Crash.h"
#include "host/Extension.h"
#include "host/Interruption.h"
#include "host/LaunchChecks.h"
#include "host/LocationStoreCommands.h"
#include "host/MinimalApp.h"
#include "host/WebEngine.h"
#include "platform/corelocation/CoreLocation.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/OnceHandler.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PendingWrites.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/PropertyList.h"
#include "platform/storekit/StoreKit.h"
#include "platform/urlsession/URLSession.h"
#include "platform/usernotifications/Delivery.h"
#include "platform/usernotifications/UserNotificationCenter.h"
#include "platform/webkit/WebKit.h"

namespace tesmar_host {

using namespace platform;
namespace fs = std::filesystem;

namespace {

// Calls `visit` on the controllers from the key window's root to the top screen, in that order.
template <class Visit>
void walkToTop(const uikit::Application& app, Visit visit) {
    auto window = app.keyWindow();
    auto controller = window ? window->rootViewController() : nullptr;
    while (controller) {
        visit(controller);
        std::shared_ptr<uikit::ViewController> next;
        if (auto presented = controller->presentedViewController();
            presented && !std::dynamic_pointer_cast<uikit::AlertController>(presented))
            next = presented;
        else if (auto nav = std::dynamic_pointer_cast<uikit::NavigationController>(controller))
            next = nav->topViewController();
        controller = next;
    }
}

std::shared_ptr<uikit::View> findIn(const std::shared_ptr<uikit::View>& view, const std::string& name) {
    if (!view) return nullptr;
    if (view->eventName() == name) return view;
    const auto& subviews = view->subviews();
    for (auto it = subviews.rbegin(); it != subviews.rend(); ++it)
        if (auto found = findIn(*it, name)) return found;
    return nullptr;
}

template <class Visit>
void eachView(const std::shared_ptr<uikit::View>& view, Visit& visit) {
    if (!view) return;
    visit(*view);
    for (const auto& sub : view->subviews()) eachView(sub, visit);
}

std::shared_ptr<uikit::NavigationController> topNavigation(const uikit::Application& app) {
    std::shared_ptr<uikit::NavigationController> found;
    walkToTop(app, [&](const std::shared_ptr<uikit::ViewController>& c) {
        if (auto nav = std::dynamic_pointer_cast<uikit::NavigationController>(c)) found = nav;
    });
    return found;
}

using Clock = std::chrono::steady_clock;

Clock::duration seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// Installing copies what links point at; a folder that deep is a link that loops.
constexpr int kMaxBundleDepth = 32;

// Copies the bundle one entry at a time, so that what cannot be copied is named, with why.
std::optional<std::string> copyBundleFolder(const fs::path& from, const fs::path& to, int depth = 0) {
    if (depth > kMaxBundleDepth)
        return from.string() + " lies more than " + std::to_string(kMaxBundleDepth) + " folders deep (a link loop?)";
    std::error_code ec;
    if (fs::create_directory(to, ec); ec) return to.string() + " cannot be made: " + ec.message();
    fs::directory_iterator it(from, ec);
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
        const fs::path& source = it->path();
        std::error_code failed;
        std::string what = source.string();
        if (fs::is_symlink(fs::symlink_status(source, failed)))
            what += " (a link to " + fs::read_symlink(source, failed).string() + ")";
        const auto status = fs::status(source, failed);
        if (!fs::exists(status)) return what + " cannot be read: " + failed.message();
        if (fs::is_directory(status)) {
            if (auto problem = copyBundleFolder(source, to / source.filename(), depth + 1)) return problem;
        } else if (!fs::is_regular_file(status)) {
            return what + " " + notAFile(status);
        } else if (!fs::copy_file(source, to / source.filename(), failed)) {
            return what + " cannot be copied: " + failed.message();
        }
    }
    if (ec) return from.string() + " cannot be read: " + ec.message();
    return std::nullopt;
}

}  // namespace

std::optional<std::string> checkBundleInfo(const std::string& bundle) {
    std::error_code ec;
    if (!fs::is_directory(bundle, ec)) return std::nullopt;
    const std::string info = (fs::path(bundle) / "Info.plist").string();
    const std::string refused = "the bundle '" + bundle + "' cannot be installed: ";
    if (!fs::exists(fs::symlink_status(info, ec))) return refused + info + " is missing";
    // Looked at before it is opened: opening a FIFO waits for a writer that never comes.
    if (const auto status = fs::status(info, ec); fs::exists(status) && !fs::is_regular_file(status))
        return refused + info + " " + notAFile(status);
    auto read = plist::readFile(info, Bundle::kMaxInfoPlistBytes);
    if (!read) return refused + info + " cannot be read (" + read.error().localizedDescription() + ")";
    if (!read->isDictionary()) return refused + info + " is not a dictionary";
    return std::nullopt;
}

std::shared_ptr<uikit::ViewController> topScreen(const uikit::Application& app) {
    std::shared_ptr<uikit::ViewController> top;
    walkToTop(app, [&](const std::shared_ptr<uikit::ViewController>& c) { top = c; });
    return top;
}

std::shared_ptr<uikit::View> findNamedView(const uikit::Application& app, const std::string& name) {
    if (auto screen = topScreen(app))
        if (auto found = findIn(screen->view(), name)) return found;
    auto window = app.keyWindow();
    return window ? findIn(std::static_pointer_cast<uikit::View>(window), name) : nullptr;
}

bool isShown(const uikit::View& view) {
    if (view.isHidden()) return false;
    for (auto up = view.superview(); up; up = up->superview())
        if (up->isHidden()) return false;
    return true;
}

Device::Device(Options options, EventPrinter& printer) : options_(std::move(options)), printer_(printer) {}

Device::~Device() {
    if (booted_) {
        dispatch::MainLoop::shared().runUntilIdle();
        app_.reset();
        stopRealWebEngine();
        uikit::Application::resetShared();
        Bundle::setMainBundlePath("");
        ProcessInfo::processInfo().setLoadedImageNames({});
        PlatformConfig::set(saved_);
        if (manualClock_) {
            setWallClockSource(nullptr);
            dispatch::Clock::setShared(nullptr);
        }
    }
    if (temporaryRoot_) {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
}

std::optional<std::string> Device::boot() {
    dispatch::mainThread.assertOnThread();
    std::error_code ec;
    fs::path bundle = fs::absolute(options_.bundle, ec);
    if (ec || !fs::is_directory(bundle, ec)) return "the bundle '" + options_.bundle + "' is not a directory";

    if (options_.deviceRoot.empty()) {
        std::string pattern = (fs::temp_directory_path(ec) / "tesmar-device-XXXXXX").string();
        if (!mkdtemp(pattern.data())) return "cannot make a temporary device directory";
        root_ = pattern;
        temporaryRoot_ = true;
    } else {
        root_ = fs::absolute(options_.deviceRoot, ec);
        fs::create_directories((root_ / kDeviceLockFile).parent_path(), ec);
        std::error_code notThere;
        if (!fs::is_directory(root_, notThere))
            return "cannot use '" + options_.deviceRoot + "' as the device directory" +
                   (ec ? ": " + ec.message() : std::string());
        if (ec) return "cannot lock device root " + root_.string() + ": " + ec.message();
        // Hosts started together on one device would copy the bundle over each other. The extension process
        // runs on the device this host holds and never asks for the lock.
        // Another host's run may end soon: the lock is asked for again every 20 ms, up to --settle-timeout.
        const auto giveUp = Clock::now() + seconds(options_.settleTimeoutSeconds);
        for (;;) {
            rootLock_ = std::make_unique<FileLock>((root_ / kDeviceLockFile).string(), 0.0);
            if (!rootLock_->busy() || Clock::now() >= giveUp) break;
            if (Interruption::poll(nullptr, 0, 20) < 0) return "interrupted while waiting for the device root";
        }
        if (rootLock_->busy()) {
            char waited[32];
            std::snprintf(waited, sizeof waited, "%g", options_.settleTimeoutSeconds);
            return "device root " + root_.string() + " is in use by another tesmar-sim (waited " + waited +
                   " s, --settle-timeout)";
        }
        // A lock that cannot be taken is no lock: running without it would let hosts share the device.
        if (!rootLock_->locked())
            return "cannot lock device root " + root_.string() + ": " + std::strerror(rootLock_->error());
    }
    // The app sees its bundle inside the device, so nothing it does reaches the original.
    fs::path deviceBundle = root_ / "Bundle";
    if (!fs::exists(deviceBundle) || !fs::equivalent(bundle, deviceBundle, ec)) {
        fs::remove_all(deviceBundle, ec);
        if (auto problem = copyBundleFolder(bundle, deviceBundle))
            return "cannot copy the bundle into the device: " + *problem;
    }

    for (const auto& pem : options_.trustedRootsPEM)
        if (!fs::is_regular_file(pem, ec)) return "the certificate file '" + pem + "' does not exist";

    saved_ = PlatformConfig::current();
    booted_ = true;
    PlatformConfig::update([&](PlatformSettings& s) {
        s.deviceRoot = root_.string();
        if (options_.systemVersion) s.systemVersion = *options_.systemVersion;
        for (const auto& [from, to] : options_.connectTo) s.connectTo[from] = to;
        for (const auto& pem : options_.trustedRootsPEM) s.extraTrustedRootsPEM.push_back(pem);
        s.networkUp = options_.networkUp;
        s.identifierForVendorAvailable = options_.identifierForVendor;
        s.deviceTokenDelay = options_.pushTokenDelay;
        for (const char* framework : {corelocation::kFrameworkName, storekit::kFrameworkName})
            if (!options_.without.count(framework)) s.optionalFrameworks.insert(framework);
    });
    if (options_.manualClock) {
        // The device's timers and its wall clock start from now and move together, only by 'wait'. The
        // clock reads seconds since 1970 itself, so times taken from either (stored session and receipt
        // times) agree.
        manualClock_ = std::make_shared<dispatch::ManualClock>(Date::now().timeIntervalSince1970());
        dispatch::Clock::setShared(manualClock_);
        setWallClockSource([clock = manualClock_] { return clock->now(); });
    }
    if (options_.webEngine == std::string(kWebEngineReal))
        if (auto problem = startRealWebEngine()) return *problem;
    Bundle::setMainBundlePath(deviceBundle.string());
    ProcessInfo::processInfo().setArguments(options_.processArguments());
    // What the process has really loaded, named as the device names its images: a look at each image's file,
    // gathered on a thread of its own while the app starts.
    ProcessInfo::processInfo().setLoadedImageNamesBeingGathered(
        std::async(std::launch::async, deviceLoadedImageNames).share());
    uikit::registerClasses();
    usernotifications::registerClasses();
    corelocation::registerClasses();
    corelocation::setAuthorizationStatus(options_.locationPermission);
    if (options_.location) corelocation::setPosition(*options_.location);
    storekit::registerClasses();
    storekit::setPaymentsAllowed(options_.paymentsAllowed);
    Tesmar::registerClasses();
    tapAnalyticsEvents();
    registerMinimalApp();
    if (!options_.startURL.empty()) setMinimalAppStartURL(options_.startURL);
    return std::nullopt;
}

std::optional<std::string> Device::launch() {
    // The pages being loaded, named should a wait for them run out (settle).
    pageWatch_ = DeviceEvents::addListener([this](const std::string& event, const Value& fields) {
        if (event != "page.start" && event != "page.finish" && event != "page.fail") return;
        std::string url = fields["url"].stringOr("");
        dispatch::MutexLock lock(pagesMutex_);
        std::erase(loadingPages_, url);
        if (event == "page.start") loadingPages_.push_back(url);
    });
    auto launched = uikit::launchApplication(nullptr, options_.delegateClass.c_str());
    if (!launched) return launched.error().localizedDescription();
    app_ = launched.value();
    settle();
    // A phone shows such an app as a black screen; every command after it would find nothing to act on.
    auto window = app_->keyWindow();
    if (window && window->rootViewController()) return std::nullopt;
    if (window) return "the app shows no screen: its window has no root view controller";
    auto bundle = Bundle::mainBundle();
    const Value* storyboard = bundle ? bundle->objectForInfoDictionaryKey(uikit::kMainStoryboardFileKey) : nullptr;
    if (!storyboard || storyboard->stringOr("").empty())
        return "the app shows no screen: Info.plist names no " + std::string(uikit::kMainStoryboardFileKey) +
               " and the app delegate made no window of its own";
    return "the app shows no screen: it made no window";
}

bool Device::anyWebViewLoading() const {
    auto window = app_ ? app_->keyWindow() : nullptr;
    bool loading = false;
    auto visit = [&](uikit::View& view) {
        // A page whose script waits on a panel waits for the user: that is idle. A script the host or the app
        // started in the page is work still going on until its answer (a dialog, a close) has come.
        if (auto* web = dynamic_cast<webkit::WebView*>(&view))
            loading = loading || ((web->isLoading() || web->pendingScriptCount() > 0) && web->pendingPanelCount() == 0);
        else if (auto* legacy = dynamic_cast<webkit::LegacyWebView*>(&view))
            loading = loading || legacy->isLoading();
    };
    eachView(std::static_pointer_cast<uikit::View>(window), visit);
    return loading;
}

void Device::settle() {
    auto& loop = dispatch::MainLoop::shared();
    auto clock = dispatch::Clock::shared();
    auto start = Clock::now();
    auto deadline = start + seconds(options_.settleTimeoutSeconds);
    auto quiet = seconds(options_.settleQuietSeconds);
    // A completion handler the system gave the app (a woken app's fetch, a notification's answer) is work the
    // app is still doing, on whatever thread: the device waits for it, and quiet counts from its call.
    auto lastBusy = start;
    auto lastEvent = [&] { return std::max({printer_.lastEventTime(), start, lastBusy}); };
    // Work the main loop or a queue will run shortly after the last event (a notification's trigger, a
    // tapped push's launch URL) is still the command's own. A manual clock runs it only on 'wait'.
    // So is a timer set to run that soon after it was set, however late a loaded machine let the work that
    // set it run.
    auto timerDue = [&] {
        if (clock->isManual()) return false;
        if (loop.nextDeadlineSetWithin(kSettleTimerWindowSeconds) ||
            dispatch::nextQueuedBlockDeadline(kSettleTimerWindowSeconds))
            return true;
        auto next = loop.nextDeadline();
        if (auto queued = dispatch::nextQueuedBlockDeadline(); queued && (!next || *queued < *next)) next = queued;
        if (!next) return false;
        double sinceLast = std::chrono::duration<double>(Clock::now() - lastEvent()).count();
        return *next <= clock->now() - sinceLast + kSettleTimerWindowSeconds;
    };
    // Quiet counts from the command too: work it set off may not have said anything yet. A block still to
    // run on a queue is such work however long a loaded machine keeps it waiting for a thread.
    auto calm = [&] {
        if (dispatch::pendingOnceHandlerCount() > 0 || dispatch::queuedBlockCount() > 0) {
            lastBusy = Clock::now();
            return false;
        }
        return URLSession::tasksInFlight() == 0 && Clock::now() - lastEvent() >= quiet && !anyWebViewLoading() &&
               !timerDue();
    };
    for (;;) {
        double left = std::chrono::duration<double>(deadline - Clock::now()).count();
        if (left <= 0) break;
        loop.runUntil(calm, left);
        if (loop.waitsEnded()) return;  // the run is ending (a signal): nothing is waited for or said
        if (loop.runUntilIdle() == 0 && calm()) {
            dispatch::MutexLock lock(pagesMutex_);
            loadingPages_.clear();  // what a redirect or a cancelled load left
            return;
        }
    }
    loop.runUntilIdle();
    // The next command would cut short what is still going on (a page still loading ends in page.fail
    // -999), so the run says what the wait left behind.
    ValueArray pending;
    if (anyWebViewLoading()) {
        dispatch::MutexLock lock(pagesMutex_);
        if (loadingPages_.empty()) pending.push_back(Value("page"));
        for (const auto& url : loadingPages_) pending.push_back(Value("page " + url));
    }
    if (size_t tasks = URLSession::tasksInFlight(); tasks > 0)
        pending.push_back(Value(std::to_string(tasks) + (tasks == 1 ? " request" : " requests")));
    if (size_t handlers = dispatch::pendingOnceHandlerCount(); handlers > 0)
        pending.push_back(
            Value(std::to_string(handlers) + (handlers == 1 ? " completion handler" : " completion handlers")));
    if (size_t blocks = dispatch::queuedBlockCount(); blocks > 0)
        pending.push_back(Value(std::to_string(blocks) + (blocks == 1 ? " queued block" : " queued blocks")));
    if (Clock::now() - lastEvent() < quiet) pending.push_back(Value("events"));
    if (timerDue()) pending.push_back(Value("timer"));
    if (pending.empty()) return;  // it all ended at the last moment
    DeviceEvents::post("settle.timeout",
                       Value::dictionary({{"seconds", options_.settleTimeoutSeconds}, {"pending", Value(pending)}}));
}

std::optional<std::string> Device::execute(const Command& command) {
    dispatch::mainThread.assertOnThread();
    if (!app_) return "the app is not running";
    // What the app does about a tapped notification shows on the main thread: a screen, a page, a console
    // line. Coming to the front (app.state, badge) is the device's part of every tap, not the app's answer.
    const bool tap = command.kind == Command::Kind::PushTap || command.kind == Command::Kind::NotificationTap;
    std::atomic<size_t> answers{0};
    DeviceEvents::Token watch;
    if (tap)
        watch = DeviceEvents::addListener(
            [&answers, main = std::this_thread::get_id()](const std::string& event, const Value&) {
                if (std::this_thread::get_id() == main && event != "app.state" && event != "badge") ++answers;
            });
    printNotificationOpens();
    std::optional<std::string> error;
    try {
        error = run(command);
    } catch (const std::exception& e) {
        error = std::string("the app threw: ") + e.what();
    }
    if (!quit_) settle();
    watch = DeviceEvents::Token();
    if (error)
        DeviceEvents::post("command.failed", Value::dictionary({{"command", command.line}, {"message", *error}}));
    else if (tap && answers.load() == 0)
        DeviceEvents::post("notification.unhandled", Value::dictionary({{"command", command.line}}));
    return error;
}

std::optional<std::string> Device::run(const Command& command) {
    using Kind = Command::Kind;
    auto& app = *app_;
    auto webView = [&]() -> std::shared_ptr<webkit::WebView> {
        return std::dynamic_pointer_cast<webkit::WebView>(findNamedView(app, "web-view"));
    };
    const std::string noWebView = "no \"web-view\" on the top screen";

    switch (command.kind) {
    case Kind::Tap: {
        auto view = findNamedView(app, "web-view");
        auto* web = dynamic_cast<webkit::WebView*>(view.get());
        auto* legacy = dynamic_cast<webkit::LegacyWebView*>(view.get());
        if (!web && !legacy) return noWebView;
        // A relative link needs a page to resolve against; the web view would drop it silently.
        auto absolute = URL::string(command.text);
        bool relative = !absolute || !absolute->scheme();
        bool hasPage = web ? web->URL().has_value() : legacy->request().has_value();
        if (relative && !hasPage) return "no page is shown to resolve '" + command.text + "' against";
        if (web)
            web->tapLink(command.text);
        else
            legacy->tapLink(command.text);
        return std::nullopt;
    }
    case Kind::Submit: {
        auto view = findNamedView(app, "web-view");
        if (!view) return noWebView;
        return submitForm(*view, {command.text, command.fields}, options_.settleTimeoutSeconds);
    }
    case Kind::Pull: {
        auto control = std::dynamic_pointer_cast<uikit::RefreshControl>(findNamedView(app, "refresh-control"));
        if (!control) return "no \"refresh-control\" on the top screen";
        if (!isShown(*control)) return "the refresh control is hidden";
        control->pull();
        return std::nullopt;
    }
    case Kind::ReloadButton: {
        auto button = std::dynamic_pointer_cast<uikit::Button>(findNamedView(app, "reload-button"));
        if (!button) return "no \"reload-button\" on the top screen";
        if (!isShown(*button)) return "the reload button is not on screen";
        button->tap();
        return std::nullopt;
    }
    case Kind::Alert:
        if (!uikit::isAlertVisible()) return "no alert is shown";
        if (!uikit::tapAlertButton(command.text)) return "the alert has no button \"" + command.text + "\"";
        return std::nullopt;
    case Kind::Back: {
        auto nav = topNavigation(app);
        if (nav && nav->viewControllers().size() > 1) {
            nav->popViewController(true);
            return std::nullopt;
        }
        auto view = findNamedView(app, "web-view");
        if (auto* web = dynamic_cast<webkit::WebView*>(view.get()); web && web->canGoBack()) {
            web->goBack();
            return std::nullopt;
        }
        if (auto* legacy = dynamic_cast<webkit::LegacyWebView*>(view.get()); legacy && legacy->canGoBack()) {
            legacy->goBack();
            return std::nullopt;
        }
        return "nothing to go back to";
    }
    case Kind::UniversalLink: {
        auto activity = std::make_shared<uikit::UserActivity>();
        activity->activityType = uikit::kUserActivityTypeBrowsingWeb;
        activity->webpageURL = URL::string(command.text);
        app.continueUserActivity(activity);
        return std::nullopt;
    }
    case Kind::PushReceive:
        deliverPush(command.payload);
        return std::nullopt;
    case Kind::NotificationTap:
        if (!usernotifications::tapDeliveredNotification(
                command.text, command.extra.empty() ? usernotifications::kDefaultActionIdentifier : command.extra))
            return command.text.empty() ? "no notification is shown" : "no shown notification '" + command.text + "'";
        return std::nullopt;
    case Kind::Prefs:
        printPreferences(command.text, command.extra);
        return std::nullopt;
    case Kind::PushTap:
        usernotifications::tapNotification(
            command.payload, command.text.empty() ? usernotifications::kDefaultActionIdentifier : command.text);
        return std::nullopt;
    case Kind::Network:
        PlatformConfig::setNetworkUp(command.up);
        DeviceEvents::post("network", Value::dictionary({{"state", command.up ? "up" : "down"}}));
        return std::nullopt;
    case Kind::JsAlert: {
        auto web = webView();
        if (!web) return noWebView;
        web->runAlert(command.text, [] { DeviceEvents::post("js.alert.done"); });
        return std::nullopt;
    }
    case Kind::JsConfirm: {
        auto web = webView();
        if (!web) return noWebView;
        web->runConfirm(command.text, [](bool ok) {
            DeviceEvents::post("js.confirm.result", Value::dictionary({{"result", ok}}));
        });
        return std::nullopt;
    }
    case Kind::JsOpen: {
        auto web = webView();
        if (!web) return noWebView;
        web->openWindow(command.text, true);
        return std::nullopt;
    }
    case Kind::Snapshot: {
        auto web = webView();
        if (!web) return noWebView;
        return writeSnapshot(*web, command.text, options_.settleTimeoutSeconds);
    }
    case Kind::JsClose: {
        auto web = webView();
        if (!web) return noWebView;
        web->closeWindow();
        return std::nullopt;
    }
    case Kind::Background:
        app.enterBackground();
        return std::nullopt;
    case Kind::Foreground:
        app.enterForeground();
        return std::nullopt;
    case Kind::Wait: {
        auto& loop = dispatch::MainLoop::shared();
        if (dispatch::Clock::shared()->isManual())
            loop.advance(command.seconds);
        else
            loop.runUntil([] { return false; }, command.seconds);
        return std::nullopt;
    }
    case Kind::Files:
        return listFiles(command.text);
    case Kind::OpenURL:
    case Kind::UserActivity:
    case Kind::BackgroundSessionEvents:
        return runAppDelegateEvent(app, command);
    case Kind::AppCall:
        runAppCall(command.text, command.payload);
        return std::nullopt;
    case Kind::Crash:
        crashNow(command.text);
    case Kind::Quit:
        quit_ = true;
        return std::nullopt;
    case Kind::LocationPermission:
    case Kind::Location:
    case Kind::LocationServices:
    case Kind::StoreProduct:
    case Kind::Purchase:
    case Kind::Purchases:
        return runLocationStoreCommand(command);
    }
    return std::nullopt;
}

std::optional<std::string> Device::listFiles(const std::string& relative) {
    namespace fs = std::filesystem;
    fs::path root = fs::path(PlatformConfig::deviceRoot());
    fs::path folder = relative.empty() ? root : root / relative;
    std::error_code ec;
    // The device makes a standard folder when the first file goes into it; until then it is there, empty.
    bool standard = false;
    for (auto which :
         {SearchPathDirectory::Documents, SearchPathDirectory::Library, SearchPathDirectory::Caches,
          SearchPathDirectory::ApplicationSupport, SearchPathDirectory::Preferences, SearchPathDirectory::Temporary})
        standard = standard || relative == relativePath(which);
    const auto status = fs::symlink_status(folder, ec);
    const bool notYetMade = standard && !fs::exists(status);
    if (!fs::is_directory(status) && !notYetMade) return "no folder '" + relative + "' on the device";
    std::vector<std::pair<std::string, fs::path>> files;
    // Links are listed as themselves and never followed, so nothing outside the device is shown.
    for (auto it = fs::recursive_directory_iterator(folder, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        auto status = it->symlink_status(ec);
        if (ec || fs::is_directory(status)) continue;
        files.emplace_back(fs::relative(it->path(), root, ec).generic_string(), it->path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& [name, path] : files) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) continue;
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        DeviceEvents::post("file", Value::dictionary({{"path", name},
                                                      {"size", int64_t(st.st_size)},
                                                      {"mode", std::string(mode)},
                                                      {"link", S_ISLNK(st.st_mode)}}));
    }
    DeviceEvents::post("files", Value::dictionary({{"dir", relative}, {"count", int64_t(files.size())}}));
    return std::nullopt;
}

int Device::finish(int status) {
    auto& loop = dispatch::MainLoop::shared();
    if (app_) {
        loop.runUntilIdle();
        app_->terminate();
        loop.runUntilIdle();
        // What the ending handed to the app's queues (a log line, a write kept for the end) is the run's own:
        // it is said before "exit", never after it.
        loop.runUntil([] { return dispatch::queuedBlockCount() == 0; }, options_.settleTimeoutSeconds);
        loop.runUntilIdle();
        dispatch::reportPendingOnceHandlers();
    } else {
        PendingWrites::flushAll();  // a launch that failed may still have left files to be written soon
    }
    if (status == kExitOK && printer_.faultCount() > 0) status = kExitFault;
    // The app's last chance to write has passed (terminate flushed what was kept): what the disk still has
    // not taken is lost with the process, and the run says so.
    if (PendingWrites::sayUnsaved() > 0 && status == kExitOK) status = kExitUnsaved;
    DeviceEvents::post("exit", Value::dictionary({{"code", status}}));
    return status;
}

}  // namespace tesmar_host
