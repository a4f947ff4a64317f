#pragma once
// NavigationDelegate: what a web view tells about, and asks of, the app for each main-frame
// navigation. Every callback runs on the main loop.
//
// Order of one navigation that loads:
//   decidePolicyForNavigationAction -> didStartProvisionalNavigation
//   [-> decidePolicyForNavigationAction (type other) -> didReceiveServerRedirect...]  per redirect
//   -> decidePolicyForNavigationResponse -> didCommitNavigation -> didFinishNavigation
// A failure before the commit ends with didFailProvisionalNavigation, after it with
// didFailNavigation (the error is a URL error: -1009 offline, -1004 cannot connect, -999 when a
// newer load, stopLoading or the web view's end cut it short). A navigation the delegate cancels
// (action or response) reports nothing further and sends nothing more to the server.
//
// Decision handlers must be called exactly once, from the main loop, at once or later; the
// navigation waits for them. A second call is a fault (DeviceEvents "fault") and is ignored.
//
// Each default does what the web view does for a delegate without that method (allow);
// implements() answering false for a method makes the web view behave as if it were missing.
#include <functional>
#include <memory>

#include "platform/foundation/Error.h"
#include "platform/webkit/WebKitTypes.h"

namespace platform::webkit {

class WebView;

enum class NavigationDelegateMethod {
    DecidePolicyForNavigationAction,
    DecidePolicyForNavigationResponse,
    DidStartProvisionalNavigation,
    DidReceiveServerRedirectForProvisionalNavigation,
    DidCommitNavigation,
    DidFinishNavigation,
    DidFailNavigation,
    DidFailProvisionalNavigation,
};

class NavigationDelegate {
public:
    virtual ~NavigationDelegate() = default;
    virtual bool implements(NavigationDelegateMethod) const { return true; }

    virtual void decidePolicyForNavigationAction(WebView&, const NavigationAction&,
                                                 std::function<void(NavigationActionPolicy)> decisionHandler) {
        decisionHandler(NavigationActionPolicy::Allow);
    }
    virtual void decidePolicyForNavigationResponse(WebView&, const NavigationResponse&,
                                                   std::function<void(NavigationResponsePolicy)> decisionHandler) {
        decisionHandler(NavigationResponsePolicy::Allow);
    }
    virtual void didStartProvisionalNavigation(WebView&, const std::shared_ptr<Navigation>&) {}
    virtual void didReceiveServerRedirectForProvisionalNavigation(WebView&, const std::shared_ptr<Navigation>&) {}
    virtual void didCommitNavigation(WebView&, const std::shared_ptr<Navigation>&) {}
    virtual void didFinishNavigation(WebView&, const std::shared_ptr<Navigation>&) {}
    virtual void didFailNavigation(WebView&, const std::shared_ptr<Navigation>&, const Error&) {}
    virtual void didFailProvisionalNavigation(WebView&, const std::shared_ptr<Navigation>&, const Error&) {}
};

}  // namespace platform::webkit
