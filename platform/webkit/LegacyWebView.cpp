#include "platform/webkit/LegacyWebView.h"

#include "platform/dispatch/MainLoop.h"
#include "platform/uikit/Classes.h"

namespace platform::webkit {

namespace {
LegacyNavigationType legacyType(NavigationType type) {
    switch (type) {
    case NavigationType::LinkActivated:
        return LegacyNavigationType::LinkClicked;
    case NavigationType::FormSubmitted:
        return LegacyNavigationType::FormSubmitted;
    case NavigationType::BackForward:
        return LegacyNavigationType::BackForward;
    case NavigationType::Reload:
        return LegacyNavigationType::Reload;
    case NavigationType::FormResubmitted:
        return LegacyNavigationType::FormResubmitted;
    case NavigationType::Other:
        return LegacyNavigationType::Other;
    }
    return LegacyNavigationType::Other;
}
}  // namespace

objc::Class* LegacyWebView::runtimeClass() { return uikit::subclass("UIWebView", uikit::viewClass()); }

LegacyWebView::LegacyWebView(uikit::Rect frame)
    : uikit::View(frame, runtimeClass()),
      engine_(webkit_detail::makePageBackend({WebsiteDataStore::defaultDataStore(),
                                              static_cast<webkit_detail::EngineClient*>(this), Preferences{},
                                              frame.size.width, frame.size.height})) {}

LegacyWebView::~LegacyWebView() { engine_->detach(); }

std::shared_ptr<uikit::ScrollView> LegacyWebView::scrollView() {
    if (!scrollView_) {
        scrollView_ = std::make_shared<uikit::ScrollView>(bounds());
        scrollView_->setAutoresizingMask(uikit::FlexibleWidth | uikit::FlexibleHeight);
        addSubview(scrollView_);
    }
    return scrollView_;
}

std::shared_ptr<LegacyWebViewDelegate> LegacyWebView::delegateFor(LegacyWebViewDelegateMethod method) const {
    auto d = delegate_.lock();
    return d && d->implements(method) ? d : nullptr;
}

void LegacyWebView::loadRequest(const URLRequest& request) { engine_->load(request, webkit_detail::LoadOptions{}); }

void LegacyWebView::loadHTMLString(const std::string& html, const std::optional<URL>& baseURL) {
    dispatch::mainThread.assertOnThread();
    URLRequest request;
    request.setURL(baseURL ? baseURL : URL::string("about:blank"));
    webkit_detail::LoadOptions options;
    options.html = html;
    engine_->load(std::move(request), std::move(options));
}

void LegacyWebView::reload() { engine_->reload(); }
void LegacyWebView::stopLoading() { engine_->stop(); }
void LegacyWebView::goBack() { engine_->goBy(-1); }
void LegacyWebView::goForward() { engine_->goBy(1); }

std::string LegacyWebView::stringByEvaluatingJavaScriptFromString(const std::string& script) const {
    return script == "document.title" ? engine_->title() : std::string();
}

void LegacyWebView::tapLink(const std::string& href) {
    dispatch::mainThread.assertOnThread();
    auto base = engine_->committedURL();
    auto url = base ? URL::string(href, *base) : URL::string(href);
    if (!url || !url->absoluteURL().scheme()) return;
    webkit_detail::LoadOptions options;
    options.type = NavigationType::LinkActivated;
    options.sourceFrame = engine_->mainFrame();
    engine_->load(engine_->requestFromPage(url->absoluteURL()), std::move(options));
}

void LegacyWebView::submitForm(const FormFill& fill,
                               std::function<void(const std::optional<std::string>& problem)> done) {
    dispatch::mainThread.assertOnThread();
    engine_->submitForm(fill, std::move(done));
}

void LegacyWebView::engineDecideAction(const NavigationAction& action,
                                       std::function<void(NavigationActionPolicy)> decisionHandler) {
    bool allow = true;
    if (auto d = delegateFor(LegacyWebViewDelegateMethod::ShouldStartLoadWithRequest))
        allow = d->shouldStartLoadWithRequest(*this, action.request, legacyType(action.navigationType));
    decisionHandler(allow ? NavigationActionPolicy::Allow : NavigationActionPolicy::Cancel);
}

void LegacyWebView::engineDecideResponse(const NavigationResponse&,
                                         std::function<void(NavigationResponsePolicy)> decisionHandler) {
    decisionHandler(NavigationResponsePolicy::Allow);
}

void LegacyWebView::engineDidStart(const std::shared_ptr<Navigation>&) {
    if (auto d = delegateFor(LegacyWebViewDelegateMethod::WebViewDidStartLoad)) d->webViewDidStartLoad(*this);
}

void LegacyWebView::engineDidFinish(const std::shared_ptr<Navigation>&) {
    if (auto d = delegateFor(LegacyWebViewDelegateMethod::WebViewDidFinishLoad)) d->webViewDidFinishLoad(*this);
}

void LegacyWebView::engineDidFail(const std::shared_ptr<Navigation>&, const Error& error, bool) {
    if (auto d = delegateFor(LegacyWebViewDelegateMethod::DidFailLoadWithError)) d->didFailLoadWithError(*this, error);
}

}  // namespace platform::webkit
