#pragma once
// Device: the simulated phone the host runs. It boots the platform from the options (device
// directory, bundle, device facts), launches the app, carries out script commands as the user and the
// system would, and waits for the app to go idle after each.
//
// Finding what the user touches. The app names its views with View::setEventName, and the host finds
// them by those names:
//   "web-view"         the page (a webkit::WebView, or a LegacyWebView on old systems)
//   "refresh-control"  a uikit::RefreshControl (usually in the web view's scroll view)
//   "connection-lost"  the view shown when the page cannot load
//   "reload-button"    a uikit::Button inside it
//   "spinner"          the loading indicator (not touched, only seen in "view" events)
// The search starts at the top screen: the key window's root view controller, then, repeatedly, a
// navigation controller's top screen or the controller a screen presents (alerts excepted, since an
// alert covers a screen without replacing it). Its view tree is searched depth first, front-most
// subview first; when nothing there has the name, the whole key window is searched the same way. A
// view counts as visible only when neither it nor any view above it is hidden.
//
// Idle: after each command the main loop runs until no web view in the key window is loading or awaits the answer to
// a script (WebView::pendingScriptCount, a panel aside), no URL task of any session is in flight
// (URLSession::tasksInFlight), no completion handler the system handed the app is still uncalled
// (pendingOnceHandlerCount), no block handed to a queue is still to run (queuedBlockCount), no device event has been
// posted for the quiet period (--settle-ms) since the last event, handler call or queued block, and no main-loop
// timer or one-shot queue timer is due within kSettleTimerWindowSeconds of that moment or was set that little ahead,
// bounded by --settle-timeout; a wait that runs out posts "settle.timeout" with what was still going on. The wait
// ends at once, saying nothing, when the main loop's waits are ended (a caught SIGINT or SIGTERM, Interruption.h).
//
// Main thread only (the thread that calls boot() drives the main loop).
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/Commands.h"
#include "host/EventPrinter.h"
#include "host/Options.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/FileLock.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/uikit/UIKit.h"

namespace tesmar_host {

namespace uikit = platform::uikit;

// A main-loop or queue timer due this soon after a command's last event is waited for as the command's own
// work (longer ones, such as retries, are left to later commands or 'wait').
inline constexpr double kSettleTimerWindowSeconds = 1.0;

// The file a host locks in the device root it runs on (see Device::boot).
inline constexpr const char* kDeviceLockFile = "Library/Device/host.lock";

// Exit statuses of tesmar-sim.
enum ExitCode : int {
    kExitOK = 0,
    kExitFault = 1,          // bundle refused, launch failed, or a completion handler was called twice or never
    kExitUsage = 2,          // bad flag or command, a device root that cannot serve, no start URL
    kExitCommandFailed = 3,  // a command found nothing to act on (no alert, no web view, ...)
    kExitUnsaved = 4,        // a file the app wrote had still not reached the disk when the run ended
    kExitSignalBase = 128,   // + the signal's number: the run was ended by SIGINT (130) or SIGTERM (143)
};

// A phone refuses to install a bundle whose Info.plist is missing, unreadable or not a dictionary: the
// message saying why, naming the file. Nothing when the bundle would install (or is no directory at all,
// which boot() reports).
std::optional<std::string> checkBundleInfo(const std::string& bundle);

// --- discovery (see above) ---
std::shared_ptr<uikit::ViewController> topScreen(const uikit::Application& app);
std::shared_ptr<uikit::View> findNamedView(const uikit::Application& app, const std::string& name);
bool isShown(const uikit::View& view);

class Device {
public:
    Device(Options options, EventPrinter& printer);
    ~Device();  // removes a temporary device directory
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    // Makes the device directory and sets the platform up. An error message on failure.
    std::optional<std::string> boot();
    // UIApplicationMain without its loop: an error message when the launch failed.
    std::optional<std::string> launch();
    // Carries out one command, then waits for idle. An error message when it could not be done.
    std::optional<std::string> execute(const Command& command);
    // Waits for the app to go idle (see above).
    void settle();
    // Ends the run: terminates the app if still running, checks completion handlers, says each file whose
    // latest write did not reach the disk ("storage.unsaved") and posts "exit" {code}. Answers the exit
    // status, given the worst status seen so far.
    int finish(int status);

    bool quitRequested() const { return quit_; }
    const std::filesystem::path& root() const { return root_; }

private:
    std::optional<std::string> run(const Command& command);
    // files DIR: one "file" event per file under the folder (path, size, mode), then "files" {dir, count}.
    std::optional<std::string> listFiles(const std::string& relative);
    // DeviceNotifications.cpp: a push, through the app's service extension when it has one; `prefs`.
    void deliverPush(const platform::Value& payload);
    void printPreferences(const std::string& suite, const std::string& key);
    // Prints what the push client hands the app as each notification opens (notification.opened), by
    // going before its open tracker; called before each command, since start-up (again after consent
    // came) puts a new tracker in place.
    static void printNotificationOpens();
    bool anyWebViewLoading() const;

    Options options_;
    EventPrinter& printer_;
    std::filesystem::path root_;
    bool temporaryRoot_ = false;
    std::shared_ptr<uikit::Application> app_;
    platform::PlatformSettings saved_;
    std::shared_ptr<platform::dispatch::ManualClock> manualClock_;  // --clock manual
    std::unique_ptr<platform::FileLock> rootLock_;                  // held on a --device-root while the host runs
    platform::dispatch::Mutex pagesMutex_;
    std::vector<std::string> loadingPages_ GUARDED_BY(pagesMutex_);  // page.start URLs not yet finished or failed
    platform::DeviceEvents::Token pageWatch_;
    bool booted_ = false;
    bool quit_ = false;
};

}  // namespace tesmar_host
