#pragma once
// UIDelegate: what the page asks of the app's user interface: new windows, closing its window,
// and JavaScript alert and confirm panels. Every callback runs on the main loop.
//
// Panel completions must be called exactly once (at once or later, from the main loop). A second
// call is a fault (DeviceEvents "fault") and is ignored; an uncalled one keeps the page waiting and
// shows in WebView::pendingPanelCount().
//
// Without a method (implements() false) the web view acts alone: no new window is opened, a close
// is ignored, an alert completes at once and a confirm answers false.
#include <functional>
#include <memory>
#include <string>

#include "platform/webkit/WebKitTypes.h"
#include "platform/webkit/WebViewConfiguration.h"

namespace platform::webkit {

class WebView;

enum class UIDelegateMethod {
    CreateWebView,
    WebViewDidClose,
    RunJavaScriptAlertPanel,
    RunJavaScriptConfirmPanel,
};

class UIDelegate {
public:
    virtual ~UIDelegate() = default;
    virtual bool implements(UIDelegateMethod) const { return true; }

    // A new window: return a web view made with `configuration` (the page's navigation then loads
    // in it), or null to ignore the request. The returned web view is the caller's to keep.
    virtual std::shared_ptr<WebView> createWebViewWithConfiguration(WebView&, const WebViewConfiguration&,
                                                                    const NavigationAction&, const WindowFeatures&) {
        return nullptr;
    }
    // The page closed its window (window.close()).
    virtual void webViewDidClose(WebView&) {}
    virtual void runJavaScriptAlertPanelWithMessage(WebView&, const std::string& message, const FrameInfo& frame,
                                                    std::function<void()> completionHandler) {
        completionHandler();
    }
    virtual void runJavaScriptConfirmPanelWithMessage(WebView&, const std::string& message, const FrameInfo& frame,
                                                      std::function<void(bool)> completionHandler) {
        completionHandler(false);
    }
};

}  // namespace platform::webkit
