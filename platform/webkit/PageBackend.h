#pragma once
// Internal to the web views: the page behind a WebView or LegacyWebView. Two kinds exist: the
// headless loading engine (PageEngine.h), and a real web engine installed at boot (platform/webkit/gtk)
// that runs the page's scripts and draws it. A web view picks its backend when it is made.
//
// Main thread only. The owner hears about navigations through EngineClient; a backend that runs
// scripts also asks it for windows and panels on the page's behalf.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/webkit/BackForwardList.h"
#include "platform/webkit/WebKitTypes.h"
#include "platform/webkit/WebViewConfiguration.h"

namespace platform::webkit {
class WebsiteDataStore;
}

namespace platform::webkit::webkit_detail {

class PageBackend;

// The backend's owner. Called on the main loop; the backend re-checks its state after each call,
// so an owner may start, stop or drop loads from inside any of them.
class EngineClient {
public:
    virtual ~EngineClient() = default;
    // The handler is already guarded (exactly once).
    virtual void engineDecideAction(const NavigationAction& action,
                                    std::function<void(NavigationActionPolicy)> decisionHandler) = 0;
    virtual void engineDecideResponse(const NavigationResponse& response,
                                      std::function<void(NavigationResponsePolicy)> decisionHandler) = 0;
    virtual void engineDidStart(const std::shared_ptr<Navigation>&) = 0;
    virtual void engineDidRedirect(const std::shared_ptr<Navigation>&) = 0;
    virtual void engineDidCommit(const std::shared_ptr<Navigation>&) = 0;
    virtual void engineDidFinish(const std::shared_ptr<Navigation>&) = 0;
    // provisional: the navigation had not committed yet.
    virtual void engineDidFail(const std::shared_ptr<Navigation>&, const Error& error, bool provisional) = 0;

    // --- what a page's own script asks for (backends that run scripts only) ---
    // A new window for `action`: the backend of the web view the owner made for it, or null.
    virtual std::shared_ptr<PageBackend> engineCreateWindow(const NavigationAction&, const WindowFeatures&) {
        return nullptr;
    }
    virtual void engineClose() {}
    // The completions are guarded by the backend (exactly once) and may be called later.
    virtual void engineRunAlert(const std::string& message, std::function<void()> completion) { completion(); }
    virtual void engineRunConfirm(const std::string& message, std::function<void(bool)> completion) {
        completion(false);
    }
};

struct LoadOptions {
    NavigationType type = NavigationType::Other;
    std::optional<FrameInfo> sourceFrame;
    int backForwardOffset = 0;        // BackForward: where the navigation moves in the list
    std::optional<std::string> html;  // loadHTMLString: the page itself, nothing is fetched
};

class PageBackend {
public:
    virtual ~PageBackend() = default;

    // The owner is going away: cut the load in flight short without telling anyone.
    virtual void detach() = 0;
    // Starts a navigation: asks for the decision (the answer may come later).
    virtual std::shared_ptr<Navigation> load(URLRequest request, LoadOptions options) = 0;
    // Ends the load in flight with -999 (reported as a failure). No effect when idle.
    virtual void stop() = 0;
    virtual std::shared_ptr<Navigation> reload() = 0;
    // Null when out of range, or when the item shows the current document (BackForwardList::sameDocument).
    virtual std::shared_ptr<Navigation> goBy(int offset) = 0;

    virtual std::optional<URL> committedURL() const = 0;
    virtual std::string title() const = 0;
    virtual bool isLoading() const = 0;
    virtual double estimatedProgress() const = 0;
    virtual const BackForwardList& backForwardList() const = 0;
    virtual const std::string& pageSource() const = 0;
    // The main frame as delegates see it: its request has the committed URL (none before a commit).
    virtual FrameInfo mainFrame() const = 0;
    // The request of the load in flight, or of the last committed page.
    virtual std::optional<URLRequest> currentRequest() const = 0;
    // True while a load of `url` is in flight or its decision is still awaited.
    virtual bool isLoadingOrDeciding(const URL& url) const = 0;

    // Fills in and submits a form of the page as `fill` says: a navigation of type formSubmitted. The
    // completion, on the main loop, gets why nothing was submitted (no such form, field or choice; an
    // invalid field), or nullopt.
    virtual void submitForm(const FormFill& fill,
                            std::function<void(const std::optional<std::string>& problem)> completion) = 0;

    // The request a link or a window of the page sends to `url`. Headless, it carries the Referer the page
    // gives it (see PageEngine.h); a real engine's page sends its own.
    virtual URLRequest requestFromPage(const URL& url) const { return URLRequest(url); }

    // --- a real engine only ---
    // Whether the page's scripts run; when false the web view plays the page's actions itself.
    virtual bool runsScripts() const { return false; }
    // Runs `script` in the page; the completion gets its value (strings, numbers, booleans, null) or
    // the page's exception, on the main loop.
    virtual void evaluateJavaScript(const std::string& script,
                                    std::function<void(const Value&, const std::optional<Error>&)> completion);
    // Clicks, as a user would, the first link whose href attribute or resolved URL is `href`. The
    // completion, on the main loop, gets why the click could not reach the link (no page, the link hidden,
    // covered or outside the screen), or nullopt once it did; until then the tap counts in isLoading(), as
    // the load it is about to start.
    virtual void clickLink(const std::string& href,
                           std::function<void(const std::optional<std::string>& missed)> completion);
    // A PNG of what the view shows, taken once its next frame is drawn.
    virtual void
    snapshotPNG(std::function<void(const std::optional<Snapshot>&, const std::optional<Error>&)> completion);
};

// What a real engine installs at boot: makes the backend of each new web view, or null to leave it
// headless. `client` outlives the backend's attachment (detach() is called before it goes).
struct BackendRequest {
    std::shared_ptr<WebsiteDataStore> store;
    EngineClient* client = nullptr;
    Preferences preferences;
    double width = 0, height = 0;  // the view's frame; 0 when not laid out yet
};
using PageBackendFactory = std::function<std::shared_ptr<PageBackend>(const BackendRequest&)>;
void setPageBackendFactory(PageBackendFactory factory);
// The installed factory's backend, else the headless engine.
std::shared_ptr<PageBackend> makePageBackend(const BackendRequest& request);

}  // namespace platform::webkit::webkit_detail
