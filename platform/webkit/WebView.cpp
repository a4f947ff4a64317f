#include "platform/webkit/WebView.h"

#include "platform/dispatch/MainLoop.h"
#include "platform/uikit/Classes.h"
#include "platform/webkit/WebsiteDataStore.h"

namespace platform::webkit {

const char* navigationTypeName(NavigationType type) {
    switch (type) {
    case NavigationType::LinkActivated:
        return "linkActivated";
    case NavigationType::FormSubmitted:
        return "formSubmitted";
    case NavigationType::BackForward:
        return "backForward";
    case NavigationType::Reload:
        return "reload";
    case NavigationType::FormResubmitted:
        return "formResubmitted";
    case NavigationType::Other:
        return "other";
    }
    return "other";
}

objc::Class* WebView::runtimeClass() { return uikit::subclass("WKWebView", uikit::viewClass()); }

WebView::WebView(uikit::Rect frame, WebViewConfiguration configuration)
    : uikit::View(frame, runtimeClass()), configuration_(std::move(configuration)) {
    if (!configuration_.websiteDataStore) configuration_.websiteDataStore = WebsiteDataStore::defaultDataStore();
    engine_ = webkit_detail::makePageBackend({configuration_.websiteDataStore,
                                              static_cast<webkit_detail::EngineClient*>(this),
                                              configuration_.preferences, frame.size.width, frame.size.height});
}

WebView::~WebView() { engine_->detach(); }

std::shared_ptr<uikit::ScrollView> WebView::scrollView() {
    if (!scrollView_) {
        scrollView_ = std::make_shared<uikit::ScrollView>(bounds());
        scrollView_->setAutoresizingMask(uikit::FlexibleWidth | uikit::FlexibleHeight);
        addSubview(scrollView_);
    }
    return scrollView_;
}

std::shared_ptr<NavigationDelegate> WebView::delegateFor(NavigationDelegateMethod method) const {
    auto delegate = navigationDelegate_.lock();
    return delegate && delegate->implements(method) ? delegate : nullptr;
}

std::shared_ptr<webkit::UIDelegate> WebView::uiDelegateFor(UIDelegateMethod method) const {
    auto delegate = uiDelegate_.lock();
    return delegate && delegate->implements(method) ? delegate : nullptr;
}

std::shared_ptr<Navigation> WebView::loadRequest(const URLRequest& request) {
    dispatch::mainThread.assertOnThread();
    requestedURL_ = request.url();
    return engine_->load(request, webkit_detail::LoadOptions{});
}

std::shared_ptr<Navigation> WebView::loadHTMLString(const std::string& html,
                                                    const std::optional<platform::URL>& baseURL) {
    dispatch::mainThread.assertOnThread();
    URLRequest request;
    request.setURL(baseURL ? baseURL : platform::URL::string("about:blank"));
    webkit_detail::LoadOptions options;
    options.html = html;
    return engine_->load(std::move(request), std::move(options));
}

std::shared_ptr<Navigation> WebView::reload() { return engine_->reload(); }
std::shared_ptr<Navigation> WebView::goBack() { return engine_->goBy(-1); }
std::shared_ptr<Navigation> WebView::goForward() { return engine_->goBy(1); }
void WebView::stopLoading() { engine_->stop(); }

void WebView::evaluateJavaScript(const std::string& script,
                                 std::function<void(const Value&, const std::optional<Error>&)> completion) {
    engine_->evaluateJavaScript(script, [running = scriptStarted(), completion = std::move(completion)](
                                            const Value& value, const std::optional<Error>& error) mutable {
        auto answered = std::move(running);
        if (completion) completion(value, error);
    });
}

std::shared_ptr<void> WebView::scriptStarted() {
    pendingScripts_->fetch_add(1);
    return std::shared_ptr<void>(nullptr, [pending = pendingScripts_](void*) { pending->fetch_sub(1); });
}

void WebView::takeSnapshot(
    std::function<void(const std::optional<Snapshot>&, const std::optional<Error>&)> completion) {
    dispatch::mainThread.assertOnThread();
    engine_->snapshotPNG(std::move(completion));
}

// --- the engine's calls, as delegate callbacks ---

void WebView::engineDecideAction(const NavigationAction& action,
                                 std::function<void(NavigationActionPolicy)> decisionHandler) {
    if (auto d = delegateFor(NavigationDelegateMethod::DecidePolicyForNavigationAction))
        return d->decidePolicyForNavigationAction(*this, action, std::move(decisionHandler));
    decisionHandler(NavigationActionPolicy::Allow);
}

void WebView::engineDecideResponse(const NavigationResponse& response,
                                   std::function<void(NavigationResponsePolicy)> decisionHandler) {
    if (auto d = delegateFor(NavigationDelegateMethod::DecidePolicyForNavigationResponse))
        return d->decidePolicyForNavigationResponse(*this, response, std::move(decisionHandler));
    decisionHandler(NavigationResponsePolicy::Allow);
}

void WebView::engineDidStart(const std::shared_ptr<Navigation>& navigation) {
    if (auto d = delegateFor(NavigationDelegateMethod::DidStartProvisionalNavigation))
        d->didStartProvisionalNavigation(*this, navigation);
}

void WebView::engineDidRedirect(const std::shared_ptr<Navigation>& navigation) {
    if (auto d = delegateFor(NavigationDelegateMethod::DidReceiveServerRedirectForProvisionalNavigation))
        d->didReceiveServerRedirectForProvisionalNavigation(*this, navigation);
}

void WebView::engineDidCommit(const std::shared_ptr<Navigation>& navigation) {
    if (auto d = delegateFor(NavigationDelegateMethod::DidCommitNavigation)) d->didCommitNavigation(*this, navigation);
}

void WebView::engineDidFinish(const std::shared_ptr<Navigation>& navigation) {
    if (auto d = delegateFor(NavigationDelegateMethod::DidFinishNavigation)) d->didFinishNavigation(*this, navigation);
}

void WebView::engineDidFail(const std::shared_ptr<Navigation>& navigation, const Error& error, bool provisional) {
    if (provisional) {
        if (auto d = delegateFor(NavigationDelegateMethod::DidFailProvisionalNavigation))
            d->didFailProvisionalNavigation(*this, navigation, error);
    } else if (auto d = delegateFor(NavigationDelegateMethod::DidFailNavigation)) {
        d->didFailNavigation(*this, navigation, error);
    }
}

}  // namespace platform::webkit
