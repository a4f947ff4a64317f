#pragma once
// WebView: a headless web view (a uikit View, runtime class "WKWebView"). It loads main-frame pages
// through its configuration's website data store (real HTTP via the URL session, cookies in the
// store), tells its NavigationDelegate about every navigation and asks its UIDelegate for windows
// and panels (see NavigationDelegate.h and UIDelegate.h for the order and the defaults).
//
// Headless (the default) there is no script engine: the page's own actions (a tapped link, a form,
// window.open, window.close, alert, confirm) come from the page driver methods below, which the host
// and tests call in place of the page's script, and evaluateJavaScript always fails. With a real
// engine installed at boot (platform/webkit/gtk) the page runs its scripts, the driver methods play
// the page's action in the page itself (a real click, real JavaScript) and the engine's own signals
// reach the delegates.
//
// Main thread only: make it, call it and hear from it on the main loop. Delegates are held weakly.
// A web view is always owned by a shared_ptr (like every View). Dropping the last reference cuts
// the load in flight short without calling the delegates.
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/View.h"
#include "platform/webkit/BackForwardList.h"
#include "platform/webkit/NavigationDelegate.h"
#include "platform/webkit/PageBackend.h"
#include "platform/webkit/UIDelegate.h"
#include "platform/webkit/WebKitTypes.h"
#include "platform/webkit/WebViewConfiguration.h"

namespace platform::webkit {

// The domain and code evaluateJavaScript fails with, and the code of a snapshot that could not be taken.
inline constexpr const char* kWebKitErrorDomain = "WKErrorDomain";
inline constexpr int kWebKitErrorJavaScriptExceptionOccurred = 4;
inline constexpr int kWebKitErrorUnknown = 1;

class WebView : public uikit::View, private webkit_detail::EngineClient {
public:
    explicit WebView(uikit::Rect frame = {}, WebViewConfiguration configuration = WebViewConfiguration());
    ~WebView() override;

    static objc::Class* runtimeClass();  // "WKWebView", under "UIView"

    const WebViewConfiguration& configuration() const { return configuration_; }
    // The page's scroll view (a subview made on first use): where a refresh control goes.
    std::shared_ptr<uikit::ScrollView> scrollView();

    std::shared_ptr<NavigationDelegate> navigationDelegate() const { return navigationDelegate_.lock(); }
    void setNavigationDelegate(std::weak_ptr<NavigationDelegate> delegate) {
        navigationDelegate_ = std::move(delegate);
    }
    std::shared_ptr<webkit::UIDelegate> UIDelegate() const { return uiDelegate_.lock(); }
    void setUIDelegate(std::weak_ptr<webkit::UIDelegate> delegate) { uiDelegate_ = std::move(delegate); }
    bool allowsBackForwardNavigationGestures() const { return allowsBackForwardGestures_; }
    void setAllowsBackForwardNavigationGestures(bool allows) { allowsBackForwardGestures_ = allows; }

    // --- loading. Each answers the navigation it started (the decision is still to come). ---
    std::shared_ptr<Navigation> loadRequest(const URLRequest& request);
    // Shows `html` as the page at `baseURL` (about:blank when none); nothing is fetched.
    std::shared_ptr<Navigation> loadHTMLString(const std::string& html, const std::optional<platform::URL>& baseURL);
    // Loads the current page again (navigation type reload). With no page yet, retries the last
    // request that was started (a first load that failed); null when nothing was ever loaded.
    std::shared_ptr<Navigation> reload();
    // Null when !canGoBack() (!canGoForward()), or when the item is another place in the page shown: the page
    // moves there at once, nobody is asked and nothing loads.
    std::shared_ptr<Navigation> goBack();
    std::shared_ptr<Navigation> goForward();
    // Ends the load in flight: its delegate hears didFail(Provisional)Navigation with -999.
    void stopLoading();

    // --- state ---
    std::optional<platform::URL> URL() const { return engine_->committedURL(); }  // the committed page
    std::string title() const { return engine_->title(); }                        // the page's <title>, once finished
    bool isLoading() const { return engine_->isLoading(); }
    double estimatedProgress() const { return engine_->estimatedProgress(); }
    bool canGoBack() const { return engine_->backForwardList().backItem() != nullptr; }
    bool canGoForward() const { return engine_->backForwardList().forwardItem() != nullptr; }
    const BackForwardList& backForwardList() const { return engine_->backForwardList(); }
    // The body of the committed page (its first MB).
    const std::string& pageSource() const { return engine_->pageSource(); }

    // Headless: the completion runs on the main loop, later, with a kWebKitErrorDomain error.
    void evaluateJavaScript(const std::string& script,
                            std::function<void(const Value&, const std::optional<Error>&)> completion);

    // --- page driver: what the page's script or its user would do ---
    // A link the user taps, resolved against the current page. In the same frame: a linkActivated
    // navigation here. targetBlank: the decision is asked here with no target frame, then, when
    // allowed, the UI delegate is asked for a new window, which loads the link. Null when the link
    // does not parse or nothing loads in this web view.
    std::shared_ptr<Navigation> tapLink(const std::string& href, bool targetBlank = false);
    // The user fills in a form of the page and submits it (see FormFill): a formSubmitted navigation here.
    // `done` gets, on the main loop, why nothing was submitted (no such form, field or choice; an invalid
    // field), or nullopt.
    void submitForm(const FormFill& fill, std::function<void(const std::optional<std::string>& problem)> done);
    // window.open(url): asks the UI delegate for a new window (navigation type other, no target
    // frame); a returned web view loads the url unless it already loads it. Without a user gesture
    // the preference javaScriptCanOpenWindowsAutomatically must allow it. Answers the new web view.
    std::shared_ptr<WebView> openWindow(const std::string& url, bool userGesture = true);
    // window.close(): tells the UI delegate (webViewDidClose).
    void closeWindow();
    // alert(message): `done` runs when the panel's completion is called.
    void runAlert(const std::string& message, std::function<void()> done = nullptr);
    // confirm(message): `result` gets the answer when the panel's completion is called.
    void runConfirm(const std::string& message, std::function<void(bool)> result = nullptr);
    // A PNG of what the web view shows, once its next frame is drawn (a real engine only; headless,
    // an error).
    void takeSnapshot(std::function<void(const std::optional<Snapshot>&, const std::optional<Error>&)> completion);
    // Whether the page runs its own scripts (a real engine).
    bool runsScripts() const { return engine_->runsScripts(); }

    // Panels whose completion has not been called yet.
    size_t pendingPanelCount() const { return static_cast<size_t>(pendingPanels_->load()); }
    // Work started in the page for the page driver or the app that has not come back yet: scripts (a
    // click, alert(), confirm(), window.open, evaluateJavaScript) whose answer is still to come, and a
    // window.close() the page accepted whose close has not reached the UI delegate. A script that waits
    // on a panel counts here too.
    size_t pendingScriptCount() const { return static_cast<size_t>(pendingScripts_->load()); }

private:
    void engineDecideAction(const NavigationAction&, std::function<void(NavigationActionPolicy)>) override;
    void engineDecideResponse(const NavigationResponse&, std::function<void(NavigationResponsePolicy)>) override;
    void engineDidStart(const std::shared_ptr<Navigation>&) override;
    void engineDidRedirect(const std::shared_ptr<Navigation>&) override;
    void engineDidCommit(const std::shared_ptr<Navigation>&) override;
    void engineDidFinish(const std::shared_ptr<Navigation>&) override;
    void engineDidFail(const std::shared_ptr<Navigation>&, const Error&, bool provisional) override;
    std::shared_ptr<webkit_detail::PageBackend> engineCreateWindow(const NavigationAction&,
                                                                   const WindowFeatures&) override;
    void engineClose() override;
    void engineRunAlert(const std::string& message, std::function<void()> completion) override;
    void engineRunConfirm(const std::string& message, std::function<void(bool)> completion) override;

    std::shared_ptr<NavigationDelegate> delegateFor(NavigationDelegateMethod method) const;
    std::shared_ptr<webkit::UIDelegate> uiDelegateFor(UIDelegateMethod method) const;
    std::optional<platform::URL> resolve(const std::string& href) const;
    // Asks the UI delegate for a window and loads `action`'s request in it.
    std::shared_ptr<WebView> openNewWindow(const NavigationAction& action);
    void notifyDidClose();
    // Counts in pendingScriptCount() until the last copy of the answer is released.
    std::shared_ptr<void> scriptStarted();

    WebViewConfiguration configuration_;
    std::shared_ptr<webkit_detail::PageBackend> engine_;
    std::weak_ptr<NavigationDelegate> navigationDelegate_;
    std::weak_ptr<webkit::UIDelegate> uiDelegate_;
    std::shared_ptr<uikit::ScrollView> scrollView_;
    bool allowsBackForwardGestures_ = false;
    std::optional<platform::URL> requestedURL_;  // the last request's URL given to loadRequest
    std::shared_ptr<std::atomic<long>> pendingPanels_ = std::make_shared<std::atomic<long>>(0);
    std::shared_ptr<std::atomic<long>> pendingScripts_ = std::make_shared<std::atomic<long>>(0);
    std::shared_ptr<void> closing_;  // held from an accepted window.close() until the engine closes
};

}  // namespace platform::webkit
