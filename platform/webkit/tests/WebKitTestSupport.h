#pragma once
// Shared by the web view tests: a fresh device per test, a delegate that logs what it hears as
// short lines, and a recorder of device events.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/webkit/WebKit.h"
#include "testing/TemporaryDeviceRoot.h"
#include "testing/TestHttpServer.h"

namespace webkit_test {

using namespace platform;
using namespace platform::webkit;

inline URL url(const std::string& text) { return *URL::string(text); }

inline bool runUntil(const std::function<bool()>& done, double seconds = 10) {
    return dispatch::MainLoop::shared().runUntil(done, seconds);
}

struct DeviceRoot : tesmar_testing::TemporaryDeviceRoot {
    DeviceRoot() : TemporaryDeviceRoot("webkit-test") {
        WebsiteDataStore::defaultDataStore()->cookieStorage()->removeAllCookies();
    }
    // Work the test left on the loop runs while its device is still in place.
    ~DeviceRoot() { dispatch::MainLoop::shared().runUntilIdle(); }
};

// Device events as "name url" lines (faults as "fault <kind>", failures with "<code> <domain>: <description>"),
// in order.
class EventLog {
public:
    EventLog()
        : token_(DeviceEvents::addListener([this](const std::string& name, const Value& fields) {
              if (name == "fault") {
                  const auto* kind = fields["kind"].asString();
                  lines.push_back("fault " + (kind ? *kind : std::string()));
              } else if (name == "navigation.decision") {
                  lines.push_back(name + " " + *fields["type"].asString() + " " + *fields["decision"].asString() + " " +
                                  *fields["url"].asString());
              } else if (name.rfind("page.", 0) == 0) {
                  std::string line = name + " " + *fields["url"].asString();
                  if (name == "page.fail")
                      line += " " + std::to_string(fields["code"].asInteger().value_or(0)) + " " +
                              fields["domain"].stringOr("") + ": " + fields["description"].stringOr("");
                  lines.push_back(line);
              }
          })) {}
    std::vector<std::string> lines;

private:
    DeviceEvents::Token token_;
};

// Logs "decide <type> <path>", "start", "redirect", "response <status>", "commit", "finish",
// "fail <code>", "fail-provisional <code>". Decisions come from `policy` (allow by default);
// with `deferDecisions` the handlers are kept in `pending` instead.
class RecordingNavigationDelegate : public NavigationDelegate {
public:
    std::vector<std::string> log;
    std::function<NavigationActionPolicy(const NavigationAction&)> policy;
    std::vector<NavigationAction> actions;
    bool deferDecisions = false;
    std::vector<std::function<void(NavigationActionPolicy)>> pending;
    bool finished = false;           // a navigation finished or failed
    std::optional<Error> lastError;  // of the last provisional failure

    static std::string path(const std::optional<URL>& u) { return u ? u->path() : std::string("<none>"); }

    void decidePolicyForNavigationAction(WebView&, const NavigationAction& action,
                                         std::function<void(NavigationActionPolicy)> handler) override {
        actions.push_back(action);
        log.push_back(std::string("decide ") + navigationTypeName(action.navigationType) + " " +
                      path(action.request.url()));
        if (deferDecisions) return pending.push_back(std::move(handler));
        handler(policy ? policy(action) : NavigationActionPolicy::Allow);
    }
    void decidePolicyForNavigationResponse(WebView&, const NavigationResponse& response,
                                           std::function<void(NavigationResponsePolicy)> handler) override {
        auto http = std::dynamic_pointer_cast<const HTTPURLResponse>(response.response);
        log.push_back("response " + std::to_string(http ? http->statusCode() : 0));
        handler(NavigationResponsePolicy::Allow);
    }
    void didStartProvisionalNavigation(WebView&, const std::shared_ptr<Navigation>&) override {
        log.push_back("start");
    }
    void didReceiveServerRedirectForProvisionalNavigation(WebView&, const std::shared_ptr<Navigation>&) override {
        log.push_back("redirect");
    }
    void didCommitNavigation(WebView&, const std::shared_ptr<Navigation>&) override { log.push_back("commit"); }
    void didFinishNavigation(WebView&, const std::shared_ptr<Navigation>&) override {
        log.push_back("finish");
        finished = true;
    }
    void didFailNavigation(WebView&, const std::shared_ptr<Navigation>&, const Error& e) override {
        log.push_back("fail " + std::to_string(e.code));
        finished = true;
    }
    void didFailProvisionalNavigation(WebView&, const std::shared_ptr<Navigation>&, const Error& e) override {
        log.push_back("fail-provisional " + std::to_string(e.code));
        lastError = e;
        finished = true;
    }
};

using Lines = std::vector<std::string>;

}  // namespace webkit_test
