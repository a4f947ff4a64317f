#pragma once
// ViewController: the app's one screen, a full-screen web view showing the intranet site, with a
// first-load spinner, pull to refresh, the network activity indicator and a connection-lost view
// with a reload button. From system 10 it shows the site in a WKWebView laid over the scene's
// older web view (which then only gives the frame), decides every navigation, and answers the
// page's windows and panels; on system 9 the scene's older web view is the page and every request
// is allowed.
//
// Made by the "Main" storyboard (the runtime class "ViewController", scene "ViewController").
// Creators set `request` (and, for a new window, `initialWebview`) before the view loads.
//
// Main thread only.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/ASConfig.h"
#include "platform/foundation/HTTPCookie.h"
#include "platform/foundation/URLRequest.h"
#include "platform/uikit/UIKit.h"
#include "platform/webkit/WebKit.h"

namespace Tesmar {

namespace uikit = platform::uikit;
namespace webkit = platform::webkit;

class ViewController : public uikit::ViewController,
                       public webkit::NavigationDelegate,
                       public webkit::UIDelegate,
                       public webkit::LegacyWebViewDelegate {
public:
    ViewController();
    ~ViewController() override;

    static platform::objc::Class* runtimeClass();  // "ViewController", under "UIViewController"

    // --- outlets (connected by the scene) ---
    std::shared_ptr<uikit::View> connectionLostView;
    std::shared_ptr<webkit::LegacyWebView> webView;
    std::shared_ptr<uikit::ActivityIndicatorView> activityIndicatorView;

    platform::URLRequest request;
    bool shouldHideNavBar = false;
    std::shared_ptr<webkit::WebView> wkWebView;
    std::shared_ptr<uikit::RefreshControl> refreshControl;
    std::shared_ptr<webkit::WebView> initialWebview;
    std::shared_ptr<ASConfigService> configService;

    // Loads `request`, or without one the configured base URL; nothing at all without a base URL.
    void load(const std::optional<platform::URLRequest>& request);

    // --- targets ---
    void refreshWebViewWithRefreshControl();
    void reloadButtonAction();

    // --- navigation policy ---
    static bool urlMatchesList(const platform::URL& url, const std::vector<std::string>& list);
    static void openInBrowser(const platform::URL& url);
    static void openSystemURL(const platform::URL& url);
    // Registers the device once per exact "PHPSESSID" cookie, each time with the whole list.
    static void checkSessionCookie(const std::vector<platform::HTTPCookie>& cookies);

    // --- view life cycle ---
    void loadView() override;  // the scene
    void viewDidLoad() override;
    void viewDidLayoutSubviews() override;
    void viewWillAppear(bool animated) override;
    platform::Value eventFields() const override;

    // --- WKNavigationDelegate ---
    void decidePolicyForNavigationAction(webkit::WebView&, const webkit::NavigationAction&,
                                         std::function<void(webkit::NavigationActionPolicy)> decisionHandler) override;
    void didCommitNavigation(webkit::WebView&, const std::shared_ptr<webkit::Navigation>&) override;
    void didFinishNavigation(webkit::WebView&, const std::shared_ptr<webkit::Navigation>&) override;
    void didFailNavigation(webkit::WebView&, const std::shared_ptr<webkit::Navigation>&,
                           const platform::Error&) override;
    void didFailProvisionalNavigation(webkit::WebView&, const std::shared_ptr<webkit::Navigation>&,
                                      const platform::Error&) override;

    // --- WKUIDelegate ---
    std::shared_ptr<webkit::WebView> createWebViewWithConfiguration(webkit::WebView&,
                                                                    const webkit::WebViewConfiguration&,
                                                                    const webkit::NavigationAction&,
                                                                    const webkit::WindowFeatures&) override;
    void webViewDidClose(webkit::WebView&) override;
    void runJavaScriptAlertPanelWithMessage(webkit::WebView&, const std::string& message,
                                            const webkit::FrameInfo& frame,
                                            std::function<void()> completionHandler) override;
    void runJavaScriptConfirmPanelWithMessage(webkit::WebView&, const std::string& message,
                                              const webkit::FrameInfo& frame,
                                              std::function<void(bool)> completionHandler) override;

    // --- UIWebViewDelegate (system 9) ---
    bool shouldStartLoadWithRequest(webkit::LegacyWebView&, const platform::URLRequest&,
                                    webkit::LegacyNavigationType) override;
    void webViewDidStartLoad(webkit::LegacyWebView&) override;
    void webViewDidFinishLoad(webkit::LegacyWebView&) override;
    void didFailLoadWithError(webkit::LegacyWebView&, const platform::Error&) override;

private:
    void settleLoad();
    void failedLoad(const std::shared_ptr<webkit::Navigation>& navigation);
    void presentPanel(const std::shared_ptr<uikit::AlertController>& alert);
    std::shared_ptr<uikit::ViewController> topPresenter();
    static std::optional<std::string> panelTitle(const webkit::FrameInfo& frame);

    std::shared_ptr<uikit::Button> reloadButton_;
    // A tapped link handed to the system and still allowed here (mail): the web view's failure to load
    // it says nothing about the page or the network.
    std::optional<platform::URL> handedToSystem_;
};

// The web view's cookies: every cookie of the default data store (those whose domain contains
// `domain`, when given), delivered later on the main loop. Below system 11 the store cannot be
// read and the completion is never called.
void getCookies(webkit::WebView& webView, const std::optional<std::string>& domain,
                std::function<void(std::vector<platform::HTTPCookie>)> completion);

// A request for `url` with the protocol's cache policy and a 60-second timeout.
platform::URLRequest screenRequest(const platform::URL& url);

}  // namespace Tesmar
