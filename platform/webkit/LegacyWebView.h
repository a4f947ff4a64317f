#pragma once
// LegacyWebView: the older web view (runtime class "UIWebView"), on the same loading engine as
// WebView, with the older delegate: asked before every load and redirect, told when a load starts,
// finishes or fails (before or after the commit alike). No UI delegate, no windows, no panels.
//
// Main thread only; the delegate is held weakly and hears from the main loop. DeviceEvents are
// the same as WebView's ("navigation.decision", "page.start", ...).
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/uikit/View.h"
#include "platform/webkit/PageBackend.h"
#include "platform/webkit/WebsiteDataStore.h"

namespace platform::webkit {

class LegacyWebView;

enum class LegacyNavigationType : int {
    LinkClicked = 0,
    FormSubmitted = 1,
    BackForward = 2,
    Reload = 3,
    FormResubmitted = 4,
    Other = 5,
};

enum class LegacyWebViewDelegateMethod {
    ShouldStartLoadWithRequest,
    WebViewDidStartLoad,
    WebViewDidFinishLoad,
    DidFailLoadWithError,
};

class LegacyWebViewDelegate {
public:
    virtual ~LegacyWebViewDelegate() = default;
    virtual bool implements(LegacyWebViewDelegateMethod) const { return true; }
    // Answer synchronously; false cancels the load (or stops at the redirect) quietly.
    virtual bool shouldStartLoadWithRequest(LegacyWebView&, const URLRequest&, LegacyNavigationType) { return true; }
    virtual void webViewDidStartLoad(LegacyWebView&) {}
    virtual void webViewDidFinishLoad(LegacyWebView&) {}
    virtual void didFailLoadWithError(LegacyWebView&, const Error&) {}
};

class LegacyWebView : public uikit::View, private webkit_detail::EngineClient {
public:
    // Loads through the default website data store.
    explicit LegacyWebView(uikit::Rect frame = {});
    ~LegacyWebView() override;

    static objc::Class* runtimeClass();  // "UIWebView", under "UIView"

    std::shared_ptr<LegacyWebViewDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<LegacyWebViewDelegate> delegate) { delegate_ = std::move(delegate); }
    std::shared_ptr<uikit::ScrollView> scrollView();

    void loadRequest(const URLRequest& request);
    void loadHTMLString(const std::string& html, const std::optional<URL>& baseURL);
    void reload();
    void stopLoading();
    void goBack();
    void goForward();
    bool canGoBack() const { return engine_->backForwardList().backItem() != nullptr; }
    bool canGoForward() const { return engine_->backForwardList().forwardItem() != nullptr; }
    bool isLoading() const { return engine_->isLoading(); }
    // The request of the load in flight, else of the page shown.
    std::optional<URLRequest> request() const { return engine_->currentRequest(); }
    std::string title() const { return engine_->title(); }
    const std::string& pageSource() const { return engine_->pageSource(); }
    // No script engine: "document.title" answers the page's title, anything else "".
    std::string stringByEvaluatingJavaScriptFromString(const std::string& script) const;

    // Page driver: a link the user taps, resolved against the current page.
    void tapLink(const std::string& href);
    // A form the user fills in and submits, as WebView::submitForm.
    void submitForm(const FormFill& fill, std::function<void(const std::optional<std::string>& problem)> done);

private:
    void engineDecideAction(const NavigationAction&, std::function<void(NavigationActionPolicy)>) override;
    void engineDecideResponse(const NavigationResponse&, std::function<void(NavigationResponsePolicy)>) override;
    void engineDidStart(const std::shared_ptr<Navigation>&) override;
    void engineDidRedirect(const std::shared_ptr<Navigation>&) override {}
    void engineDidCommit(const std::shared_ptr<Navigation>&) override {}
    void engineDidFinish(const std::shared_ptr<Navigation>&) override;
    void engineDidFail(const std::shared_ptr<Navigation>&, const Error&, bool provisional) override;
    std::shared_ptr<LegacyWebViewDelegate> delegateFor(LegacyWebViewDelegateMethod method) const;

    std::shared_ptr<webkit_detail::PageBackend> engine_;
    std::weak_ptr<LegacyWebViewDelegate> delegate_;
    std::shared_ptr<uikit::ScrollView> scrollView_;
};

}  // namespace platform::webkit
