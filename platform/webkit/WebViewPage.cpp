// The page driver: what the page's script and its user do, in place of a script engine.
#include "platform/dispatch/OnceHandler.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/webkit/WebView.h"

namespace platform::webkit {

std::optional<platform::URL> WebView::resolve(const std::string& href) const {
    auto base = engine_->committedURL();
    auto url = base ? platform::URL::string(href, *base) : platform::URL::string(href);
    if (!url) return std::nullopt;
    auto absolute = url->absoluteURL();
    if (!absolute.scheme()) return std::nullopt;
    return absolute;
}

std::shared_ptr<Navigation> WebView::tapLink(const std::string& href, bool targetBlank) {
    auto url = resolve(href);
    if (!url) return nullptr;
    if (!targetBlank) {
        webkit_detail::LoadOptions options;
        options.type = NavigationType::LinkActivated;
        options.sourceFrame = engine_->mainFrame();
        return engine_->load(URLRequest(*url), std::move(options));
    }
    // A link into a new window is decided here first, with no target frame.
    NavigationAction action;
    action.request = URLRequest(*url);
    action.navigationType = NavigationType::LinkActivated;
    action.sourceFrame = engine_->mainFrame();
    std::weak_ptr<WebView> weak = std::static_pointer_cast<WebView>(shared_from_this());
    auto decided = [weak, action](NavigationActionPolicy policy) {
        auto self = weak.lock();
        if (!self) return;
        bool allow = policy == NavigationActionPolicy::Allow;
        DeviceEvents::post("navigation.decision",
                           Value::dictionary({{"url", Value(action.request.url()->absoluteString())},
                                              {"type", Value(navigationTypeName(action.navigationType))},
                                              {"decision", Value(allow ? "allow" : "cancel")}}));
        if (allow) self->openNewWindow(action);
    };
    engineDecideAction(
        action, dispatch::OnceHandler<NavigationActionPolicy>("decidePolicyForNavigationAction", std::move(decided)));
    return nullptr;
}

std::shared_ptr<WebView> WebView::openNewWindow(const NavigationAction& action) {
    auto delegate = uiDelegateFor(UIDelegateMethod::CreateWebView);
    if (!delegate) return nullptr;
    auto created = delegate->createWebViewWithConfiguration(*this, configuration_, action, WindowFeatures{});
    if (!created) return nullptr;
    // The app may already have loaded the request into the window it made; don't fetch it twice.
    const auto& url = action.request.url();
    if (url && !created->engine_->isLoadingOrDeciding(*url)) {
        webkit_detail::LoadOptions options;
        options.type = action.navigationType;
        options.sourceFrame = action.sourceFrame;
        created->engine_->load(action.request, std::move(options));
    }
    return created;
}

std::shared_ptr<WebView> WebView::openWindow(const std::string& href, bool userGesture) {
    auto url = resolve(href);
    if (!url) return nullptr;
    if (!userGesture && !configuration_.preferences.javaScriptCanOpenWindowsAutomatically) {
        DeviceEvents::post("window.blocked", Value::dictionary({{"url", Value(url->absoluteString())}}));
        return nullptr;
    }
    NavigationAction action;
    action.request = URLRequest(*url);
    action.navigationType = NavigationType::Other;
    action.sourceFrame = engine_->mainFrame();
    return openNewWindow(action);
}

void WebView::closeWindow() {
    if (auto delegate = uiDelegateFor(UIDelegateMethod::WebViewDidClose)) delegate->webViewDidClose(*this);
}

void WebView::runAlert(const std::string& message, std::function<void()> done) {
    // A panel counts as pending until answered; one dropped unanswered stays pending.
    pendingPanels_->fetch_add(1);
    auto completion =
        dispatch::OnceHandler<>("runJavaScriptAlertPanel", [pending = pendingPanels_, done = std::move(done)] {
            pending->fetch_sub(1);
            if (done) done();
        });
    if (auto delegate = uiDelegateFor(UIDelegateMethod::RunJavaScriptAlertPanel))
        return delegate->runJavaScriptAlertPanelWithMessage(*this, message, engine_->mainFrame(), completion);
    completion();
}

void WebView::runConfirm(const std::string& message, std::function<void(bool)> result) {
    pendingPanels_->fetch_add(1);
    auto completion = dispatch::OnceHandler<bool>("runJavaScriptConfirmPanel",
                                                  [pending = pendingPanels_, result = std::move(result)](bool answer) {
                                                      pending->fetch_sub(1);
                                                      if (result) result(answer);
                                                  });
    if (auto delegate = uiDelegateFor(UIDelegateMethod::RunJavaScriptConfirmPanel))
        return delegate->runJavaScriptConfirmPanelWithMessage(*this, message, engine_->mainFrame(), completion);
    completion(false);
}

}  // namespace platform::webkit
