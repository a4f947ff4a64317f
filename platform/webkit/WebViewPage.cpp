// The page driver: what the page's script and its user do. Headless, the web view plays it in place of
// a script engine; with a real engine, it happens in the page itself and the engine reports it.
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/OnceHandler.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/JSON.h"
#include "platform/webkit/WebView.h"

namespace platform::webkit {

namespace {
// A JavaScript string literal holding `text`.
std::string jsString(const std::string& text) {
    // JSON writes documents (arrays, objects); the one element of an array is the literal.
    auto written = json::write(Value::array({Value(text)}));
    if (!written.ok()) return "\"\"";
    const std::string& array = written.value();
    auto open = array.find('['), close = array.rfind(']');
    return open != std::string::npos && close > open ? array.substr(open + 1, close - open - 1) : "\"\"";
}

void scriptFailed(const char* what, const std::optional<Error>& error) {
    if (error)
        DeviceEvents::post("script.failed", Value::dictionary({{"action", Value(what)},
                                                               {"message", Value(error->localizedDescription())}}));
}
}  // namespace

std::optional<platform::URL> WebView::resolve(const std::string& href) const {
    auto base = engine_->committedURL();
    auto url = base ? platform::URL::string(href, *base) : platform::URL::string(href);
    if (!url) return std::nullopt;
    auto absolute = url->absoluteURL();
    if (!absolute.scheme()) return std::nullopt;
    return absolute;
}

std::shared_ptr<Navigation> WebView::tapLink(const std::string& href, bool targetBlank) {
    dispatch::mainThread.assertOnThread();
    auto url = resolve(href);
    if (!url) return nullptr;
    if (engine_->runsScripts()) {
        // The page's own link, clicked: its target decides between this window and a new one.
        engine_->clickLink(href, [running = scriptStarted(), href](const std::optional<std::string>& missed) mutable {
            auto answered = std::move(running);
            if (missed)
                DeviceEvents::post("tap.missed",
                                   Value::dictionary({{"href", Value(href)}, {"reason", Value(*missed)}}));
        });
        return nullptr;
    }
    if (!targetBlank) {
        webkit_detail::LoadOptions options;
        options.type = NavigationType::LinkActivated;
        options.sourceFrame = engine_->mainFrame();
        return engine_->load(engine_->requestFromPage(*url), std::move(options));
    }
    // A link into a new window is decided here first, with no target frame.
    NavigationAction action;
    action.request = engine_->requestFromPage(*url);
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

void WebView::submitForm(const FormFill& fill, std::function<void(const std::optional<std::string>& problem)> done) {
    dispatch::mainThread.assertOnThread();
    engine_->submitForm(fill, std::move(done));
}

std::shared_ptr<WebView> WebView::openNewWindow(const NavigationAction& action) {
    auto delegate = uiDelegateFor(UIDelegateMethod::CreateWebView);
    if (!delegate) return nullptr;
    auto created = delegate->createWebViewWithConfiguration(*this, configuration_, action, WindowFeatures{});
    if (!created) return nullptr;
    // The app may already have loaded the request into the window it made; don't fetch it twice, nor
    // again after the app's own load ended (its screen may have decided against it and gone).
    const auto& url = action.request.url();
    if (url && created->requestedURL_ != url && !created->engine_->isLoadingOrDeciding(*url)) {
        webkit_detail::LoadOptions options;
        options.type = action.navigationType;
        options.sourceFrame = action.sourceFrame;
        created->engine_->load(action.request, std::move(options));
    }
    return created;
}

std::shared_ptr<WebView> WebView::openWindow(const std::string& href, bool userGesture) {
    dispatch::mainThread.assertOnThread();
    auto url = resolve(href);
    if (!url) return nullptr;
    if (engine_->runsScripts()) {
        // The engine asks for the window itself (create); the answer is not known here yet.
        evaluateJavaScript("window.open(" + jsString(url->absoluteString()) + "); undefined;",
                           [](const Value&, const std::optional<Error>& error) { scriptFailed("window.open", error); });
        return nullptr;
    }
    if (!userGesture && !configuration_.preferences.javaScriptCanOpenWindowsAutomatically) {
        DeviceEvents::post("window.blocked", Value::dictionary({{"url", Value(url->absoluteString())}}));
        return nullptr;
    }
    NavigationAction action;
    action.request = engine_->requestFromPage(*url);
    action.navigationType = NavigationType::Other;
    action.sourceFrame = engine_->mainFrame();
    return openNewWindow(action);
}

void WebView::closeWindow() {
    dispatch::mainThread.assertOnThread();
    if (engine_->runsScripts()) {
        // The engine closes a window it lets the page close a moment after the script: the close is
        // awaited from here when window.closed says it is coming.
        std::weak_ptr<WebView> weak = std::static_pointer_cast<WebView>(shared_from_this());
        evaluateJavaScript("window.close(); window.closed;",
                           [weak](const Value& closed, const std::optional<Error>& error) {
                               scriptFailed("window.close", error);
                               if (auto self = weak.lock(); self && !error && closed.boolOr(false))
                                   self->closing_ = self->scriptStarted();
                           });
        return;
    }
    notifyDidClose();
}

void WebView::runAlert(const std::string& message, std::function<void()> done) {
    dispatch::mainThread.assertOnThread();
    if (engine_->runsScripts()) {
        // The script goes on once the panel is answered; the engine's dialog reaches the UI delegate.
        evaluateJavaScript("alert(" + jsString(message) + "); undefined;",
                           [done = std::move(done)](const Value&, const std::optional<Error>& error) {
                               scriptFailed("alert", error);
                               if (!error && done) done();
                           });
        return;
    }
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
    dispatch::mainThread.assertOnThread();
    if (engine_->runsScripts()) {
        evaluateJavaScript("confirm(" + jsString(message) + ");",
                           [result = std::move(result)](const Value& value, const std::optional<Error>& error) {
                               scriptFailed("confirm", error);
                               if (!error && result) result(value.boolOr(false));
                           });
        return;
    }
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

// --- a real engine's requests, as UI delegate calls ---

std::shared_ptr<webkit_detail::PageBackend> WebView::engineCreateWindow(const NavigationAction& action,
                                                                        const WindowFeatures& features) {
    auto delegate = uiDelegateFor(UIDelegateMethod::CreateWebView);
    if (!delegate) return nullptr;
    auto created = delegate->createWebViewWithConfiguration(*this, configuration_, action, features);
    return created ? created->engine_ : nullptr;
}

void WebView::engineClose() {
    closing_.reset();
    notifyDidClose();
}

void WebView::notifyDidClose() {
    if (auto delegate = uiDelegateFor(UIDelegateMethod::WebViewDidClose)) delegate->webViewDidClose(*this);
}

void WebView::engineRunAlert(const std::string& message, std::function<void()> completion) {
    pendingPanels_->fetch_add(1);
    auto done = [pending = pendingPanels_, completion = std::move(completion)] {
        pending->fetch_sub(1);
        completion();
    };
    if (auto delegate = uiDelegateFor(UIDelegateMethod::RunJavaScriptAlertPanel))
        return delegate->runJavaScriptAlertPanelWithMessage(*this, message, engine_->mainFrame(), done);
    done();
}

void WebView::engineRunConfirm(const std::string& message, std::function<void(bool)> completion) {
    pendingPanels_->fetch_add(1);
    auto done = [pending = pendingPanels_, completion = std::move(completion)](bool answer) {
        pending->fetch_sub(1);
        completion(answer);
    };
    if (auto delegate = uiDelegateFor(UIDelegateMethod::RunJavaScriptConfirmPanel))
        return delegate->runJavaScriptConfirmPanelWithMessage(*this, message, engine_->mainFrame(), done);
    done(false);
}

}  // namespace platform::webkit
