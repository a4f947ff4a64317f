#include "app/ViewController.h"

#include "app/Console.h"
#include "app/Helper.h"
#include "app/Network.h"
#include "app/Strings.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/ResetRegistry.h"

namespace Tesmar {

using platform::URL;
using platform::URLRequest;
using platform::Value;

namespace {

// Read and written by viewDidLoad.
bool firstScreenHidesNavBar GUARDED_BY(platform::dispatch::mainThread) = true;

constexpr unsigned kFlexibleWidth = 2;
constexpr unsigned kFlexibleHeight = 16;

bool hasWKWebView() { return platform::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({10, 0, 0}); }

void setNetworkActivity(bool visible) {
    if (auto app = uikit::Application::shared()) app->setNetworkActivityIndicatorVisible(visible);
}

}  // namespace

URLRequest screenRequest(const URL& url) {
    return URLRequest(url, platform::URLRequestCachePolicy::UseProtocolCachePolicy, 60.0);
}

platform::objc::Class* ViewController::runtimeClass() {
    return uikit::subclass("ViewController", uikit::viewControllerClass());
}

ViewController::ViewController()
    : uikit::ViewController(runtimeClass()), request(screenRequest(*URL::string(Strings::Endpoint::baseUrl))),
      initialWebview(std::make_shared<webkit::WebView>()), configService(ASConfigService::shared()) {}

ViewController::~ViewController() = default;

// The scene: the older web view filling the screen, the spinner over it, and the connection-lost
// view with its reload button.
void ViewController::loadView() {
    auto root = std::make_shared<uikit::View>(uikit::Screen::mainBounds());
    setView(root);

    webView = std::make_shared<webkit::LegacyWebView>(root->bounds());
    webView->setEventName("web-view");
    webView->setDelegate(
        std::weak_ptr<webkit::LegacyWebViewDelegate>(std::static_pointer_cast<ViewController>(shared_from_this())));
    root->addSubview(webView);

    connectionLostView = std::make_shared<uikit::View>(root->bounds());
    connectionLostView->setEventName("connection-lost");
    reloadButton_ = std::make_shared<uikit::Button>();
    reloadButton_->setEventName("reload-button");
    reloadButton_->setTitle("Reload");
    std::weak_ptr<ViewController> weak = std::static_pointer_cast<ViewController>(shared_from_this());
    reloadButton_->addTarget(
        [weak](uikit::Control&) {
            if (auto self = weak.lock()) self->reloadButtonAction();
        },
        uikit::TouchUpInside);
    connectionLostView->addSubview(reloadButton_);
    root->addSubview(connectionLostView);

    activityIndicatorView = std::make_shared<uikit::ActivityIndicatorView>();
    activityIndicatorView->setEventName("spinner");
    root->addSubview(activityIndicatorView);
}

void ViewController::viewDidLoad() {
    platform::dispatch::mainThread.assertOnThread();
    uikit::ViewController::viewDidLoad();
    // The process's first screen and the root screens the delegate makes later (at the bottom of their
    // navigation controller) hide the bar; screens pushed over them for the page's windows show it.
    auto nav = navigationController();
    const bool stackRoot = nav && !nav->viewControllers().empty() && nav->viewControllers().front().get() == this;
    shouldHideNavBar = firstScreenHidesNavBar || stackRoot;
    if (firstScreenHidesNavBar)
        platform::ResetRegistry::add("tesmar.first-screen", [] {
            platform::dispatch::mainThread.assertOnThread();
            firstScreenHidesNavBar = true;
        });
    firstScreenHidesNavBar = false;

    if (activityIndicatorView) activityIndicatorView->startAnimating();
    if (connectionLostView) connectionLostView->setHidden(true);
    if (webView) webView->setHidden(false);

    auto self = std::static_pointer_cast<ViewController>(shared_from_this());
    if (hasWKWebView()) {
        wkWebView = initialWebview;
        wkWebView->setNavigationDelegate(std::weak_ptr<webkit::NavigationDelegate>(self));
        wkWebView->setUIDelegate(std::weak_ptr<webkit::UIDelegate>(self));
        wkWebView->setAllowsBackForwardNavigationGestures(true);
        wkWebView->setEventName("web-view");
        if (webView) {
            webView->setAutoresizingMask(kFlexibleWidth | kFlexibleHeight);
            // Only a frame for the page above it now; the host must find the page, not this.
            webView->setEventName("web-view-placeholder");
        }
        view()->addSubview(wkWebView);
    } else {
        wkWebView.reset();
    }

    load(request);

    refreshControl = std::make_shared<uikit::RefreshControl>();
    refreshControl->setEventName("refresh-control");
    std::weak_ptr<ViewController> weak = self;
    refreshControl->addTarget(
        [weak](uikit::Control&) {
            if (auto screen = weak.lock()) screen->refreshWebViewWithRefreshControl();
        },
        uikit::ValueChanged);
    if (wkWebView)
        wkWebView->scrollView()->addSubview(refreshControl);
    else if (webView)
        webView->scrollView()->addSubview(refreshControl);
}

void ViewController::load(const std::optional<URLRequest>& given) {
    const auto& base = configService->baseURL();
    if (!base) return;
    URLRequest toLoad = given ? *given : screenRequest(*base);
    if (wkWebView)
        wkWebView->loadRequest(toLoad);
    else if (webView)
        webView->loadRequest(toLoad);
}

void ViewController::viewDidLayoutSubviews() {
    uikit::ViewController::viewDidLayoutSubviews();
    if (wkWebView && webView) wkWebView->setFrame(webView->frame());
}

void ViewController::viewWillAppear(bool animated) {
    uikit::ViewController::viewWillAppear(animated);
    if (auto nav = navigationController()) nav->setNavigationBarHidden(shouldHideNavBar, true);
}

Value ViewController::eventFields() const {
    Value fields = uikit::ViewController::eventFields();
    std::optional<URL> shown = wkWebView ? wkWebView->URL() : std::nullopt;
    if (shown)
        fields.set("url", shown->absoluteString());
    else if (request.url())
        fields.set("url", request.url()->absoluteString());
    return fields;
}

void ViewController::refreshWebViewWithRefreshControl() {
    if (wkWebView) {
        if (wkWebView->canGoBack())
            wkWebView->reload();
        else
            load(request);
    } else if (webView) {
        if (webView->canGoBack())
            webView->reload();
        else
            load(request);
    }
}

void ViewController::reloadButtonAction() {
    if (!Helper::isConnectedToNetwork()) return;
    if (wkWebView) {
        wkWebView->setHidden(false);
        wkWebView->reload();
    } else if (webView) {
        webView->setHidden(false);
        webView->reload();
    }
}

// --- page-load events ---

void ViewController::settleLoad() {
    if (activityIndicatorView) activityIndicatorView->stopAnimating();
    if (refreshControl && refreshControl->isRefreshing()) refreshControl->endRefreshing();
}

void ViewController::failedLoad(const std::shared_ptr<webkit::Navigation>& navigation) {
    if (navigation && handedToSystem_ && navigation->initialRequest().url() == handedToSystem_) {
        handedToSystem_.reset();
        return;  // the page stays as it was
    }
    settleLoad();
    // One answer for both views: two questions could disagree and leave neither on screen.
    bool connected = Helper::isConnectedToNetwork();
    if (connectionLostView) connectionLostView->setHidden(connected);
    if (wkWebView) wkWebView->setHidden(!connected);
    setNetworkActivity(false);
}

void ViewController::didCommitNavigation(webkit::WebView&, const std::shared_ptr<webkit::Navigation>&) {
    setNetworkActivity(true);
}

void ViewController::didFinishNavigation(webkit::WebView&, const std::shared_ptr<webkit::Navigation>&) {
    settleLoad();
    if (connectionLostView) connectionLostView->setHidden(true);
    if (wkWebView) wkWebView->setHidden(false);
    setNetworkActivity(false);
}

void ViewController::didFailNavigation(webkit::WebView&, const std::shared_ptr<webkit::Navigation>& navigation,
                                       const platform::Error&) {
    failedLoad(navigation);
}

void ViewController::didFailProvisionalNavigation(webkit::WebView&,
                                                  const std::shared_ptr<webkit::Navigation>& navigation,
                                                  const platform::Error&) {
    failedLoad(navigation);
}

bool ViewController::shouldStartLoadWithRequest(webkit::LegacyWebView&, const URLRequest&,
                                                webkit::LegacyNavigationType) {
    return true;
}

void ViewController::webViewDidStartLoad(webkit::LegacyWebView&) { setNetworkActivity(true); }

void ViewController::webViewDidFinishLoad(webkit::LegacyWebView& finished) {
    settleLoad();
    if (connectionLostView) connectionLostView->setHidden(true);
    finished.setHidden(false);
    setNetworkActivity(false);
}

void ViewController::didFailLoadWithError(webkit::LegacyWebView&, const platform::Error&) {
    settleLoad();
    if (connectionLostView) connectionLostView->setHidden(Helper::isConnectedToNetwork());
    setNetworkActivity(false);
}

}  // namespace Tesmar
