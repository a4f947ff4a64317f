#include "VezEduduzSDK/Source/VezEduduzWebView.h"

#include "VezEduduzSDK/Source/VELogLevel.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/ResetRegistry.h"
#include "platform/foundation/URLRequest.h"
#include "platform/uikit/Application.h"
#include "platform/uikit/Window.h"

namespace vezeduduz {

namespace uikit = platform::uikit;
namespace webkit = platform::webkit;

namespace {

std::shared_ptr<VezEduduzWebView>& sharedSlot() {
    static std::shared_ptr<VezEduduzWebView> page;
    return page;
}

}  // namespace

// Hears the web view for its controller; owned by the controller, so it never outlives it.
class VezEduduzWebView::LoadDelegate : public webkit::LegacyWebViewDelegate {
public:
    explicit LoadDelegate(VezEduduzWebView& owner) : owner_(owner) {}
    void webViewDidStartLoad(webkit::LegacyWebView&) override {
        if (owner_.busy_) owner_.busy_->startAnimating();
    }
    void webViewDidFinishLoad(webkit::LegacyWebView& view) override {
        std::string title = view.stringByEvaluatingJavaScriptFromString("document.title");
        owner_.setTitle(title);
        if (owner_.navigation_) owner_.navigation_->setTitle(title);
        if (owner_.busy_) owner_.busy_->stopAnimating();
    }
    void didFailLoadWithError(webkit::LegacyWebView&, const platform::Error& error) override {
        VezEduduzLogSink::log(VELogLevel::error, "In-app page failed to load: " + error.localizedDescription());
    }

private:
    VezEduduzWebView& owner_;
};

VezEduduzWebView::VezEduduzWebView() : loadDelegate_(std::make_shared<LoadDelegate>(*this)) {}

VezEduduzWebView::~VezEduduzWebView() {
    if (webView_) webView_->setDelegate({});
}

std::shared_ptr<VezEduduzWebView> VezEduduzWebView::shared() {
    auto& page = sharedSlot();
    if (!page) {
        page = std::make_shared<VezEduduzWebView>();
        // Drops the shared page, dismissing it first when shown.
        platform::ResetRegistry::add("vezeduduz.web-view", [] {
            auto& shown = sharedSlot();
            if (shown) {
                if (shown->webView_) shown->webView_->stopLoading();
                shown->dismiss();
                shown->navigation_.reset();  // the navigation controller holds the page: let both go
            }
            shown.reset();
        });
    }
    return page;
}

std::function<void(const platform::URL&)> VezEduduzWebView::presenter() {
    return [](const platform::URL& url) {
        VezEduduzHelper::runOnMainThread([url] {
            auto page = shared();
            page->setURL(url);
            if (page->showInApp()) return;
            // No screen to show it over: the address is not dropped, it opens outside the app.
            auto app = uikit::Application::shared();
            if (!app || !app->openURL(url))
                VezEduduzLogSink::log(VELogLevel::warn, "Could not open launch URL " + url.absoluteString());
        });
    };
}

void VezEduduzWebView::viewDidLoad() {
    auto root = view();
    webView_ = std::make_shared<webkit::LegacyWebView>(root->bounds());
    webView_->setDelegate(loadDelegate_);
    // Pinned to the page's edges.
    webView_->setAutoresizingMask(uikit::FlexibleWidth | uikit::FlexibleHeight);
    root->addSubview(webView_);

    closeButton_ = std::make_shared<uikit::Button>();
    closeButton_->setTitle("Done");
    closeButton_->setEventName("inapp-page-done");
    std::weak_ptr<uikit::ViewController> weakSelf =
        std::static_pointer_cast<uikit::ViewController>(std::static_pointer_cast<uikit::Responder>(handle()));
    closeButton_->addTarget(
        [weakSelf](uikit::Control&) {
            if (auto self = std::static_pointer_cast<VezEduduzWebView>(weakSelf.lock())) self->dismiss();
        },
        uikit::TouchUpInside);
    root->addSubview(closeButton_);

    busy_ = std::make_shared<uikit::ActivityIndicatorView>();
    busy_->setHidesWhenStopped(true);
    root->addSubview(busy_);
    root->layoutIfNeeded();
}

void VezEduduzWebView::viewDidAppear(bool) { loadURL(); }

void VezEduduzWebView::loadURL() {
    if (!url_ || !webView_) return;
    webView_->loadRequest(platform::URLRequest(*url_));
}

bool VezEduduzWebView::isShown() const { return navigation_ && navigation_->isInWindowHierarchy(); }

bool VezEduduzWebView::showInApp() {
    if (!navigation_) {
        auto self = std::static_pointer_cast<ViewController>(std::static_pointer_cast<uikit::Responder>(handle()));
        navigation_ = uikit::NavigationController::withRoot(self);
    }
    if (isShown()) {
        (void)view();  // loads the view, which the page goes into
        loadURL();
        return true;
    }
    auto app = uikit::Application::shared();
    auto window = app ? app->keyWindow() : nullptr;
    auto top = window ? window->topPresentedViewController() : nullptr;
    if (!top) {
        VezEduduzLogSink::log(VELogLevel::warn, "No screen to show the in-app page over");
        return false;
    }
    if (!top->presentViewController(navigation_, true)) {
        VezEduduzLogSink::log(VELogLevel::warn, "The in-app page could not be presented");
        return false;
    }
    return true;
}

void VezEduduzWebView::dismiss() {
    if (!navigation_ || !navigation_->presentingViewController()) return;
    std::weak_ptr<webkit::LegacyWebView> page = webView_;
    navigation_->dismissViewController(true, [page] {
        if (auto view = page.lock()) view->loadHTMLString("", std::nullopt);
    });
}

}  // namespace vezeduduz
