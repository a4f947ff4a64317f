// The web-view screen's navigation policy and session-cookie check.
#include "app/Console.h"
#include "app/Network.h"
#include "app/Strings.h"
#include "app/ViewController.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/URL.h"

namespace Tesmar {

using platform::URL;
using Policy = webkit::NavigationActionPolicy;

void getCookies(webkit::WebView&, const std::optional<std::string>& domain,
                std::function<void(std::vector<platform::HTTPCookie>)> completion) {
    if (!platform::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({11, 0, 0})) return;
    auto store = webkit::WebsiteDataStore::defaultDataStore()->httpCookieStore();
    store->getAllCookies([domain, completion = std::move(completion)](std::vector<platform::HTTPCookie> cookies) {
        if (!domain) {
            completion(std::move(cookies));
            return;
        }
        std::vector<platform::HTTPCookie> matching;
        for (auto& cookie : cookies)
            if (cookie.domain().find(*domain) != std::string::npos) matching.push_back(std::move(cookie));
        completion(std::move(matching));
    });
}

void ViewController::checkSessionCookie(const std::vector<platform::HTTPCookie>& cookies) {
    for (const auto& cookie : cookies)
        if (cookie.name() == sessionCookieName) Network::registerDevice(cookies);
}

bool ViewController::urlMatchesList(const URL& url, const std::vector<std::string>& list) {
    const std::string& text = url.absoluteString();
    for (const auto& entry : list)
        if (text.find(entry) != std::string::npos) return true;
    return false;
}

void ViewController::openInBrowser(const URL& url) {
    const std::string& text = url.absoluteString();
    if (text.find("http") == std::string::npos) return;
    auto parsed = URL::string(text);
    if (!parsed) return;
    auto app = uikit::Application::shared();
    if (app && app->canOpenURL(*parsed)) app->openURL(url);
}

void ViewController::openSystemURL(const URL& url) {
    if (auto app = uikit::Application::shared()) app->openURL(url, platform::Value::dictionary(), nullptr);
}

void ViewController::decidePolicyForNavigationAction(webkit::WebView&, const webkit::NavigationAction& action,
                                                     std::function<void(Policy)> decisionHandler) {
    // A pop below may release this screen while it decides.
    auto self = shared_from_this();
    if (wkWebView) getCookies(*wkWebView, std::nullopt, &ViewController::checkSessionCookie);

    const auto& maybeURL = action.request.url();
    if (!maybeURL) {
        decisionHandler(Policy::Cancel);
        return;
    }
    const URL& url = *maybeURL;
    bool tapped = action.navigationType == webkit::NavigationType::LinkActivated;

    if (tapped) {
        const auto& homeHost = configService->baseUrlHomeHost();
        if (homeHost && !homeHost->empty()) {
            auto host = url.host();
            bool external = !host || host->find(*homeHost) == std::string::npos;
            if (external) {
                auto app = uikit::Application::shared();
                if (url.absoluteString().find("mailto:") != std::string::npos && app && app->canOpenURL(url)) {
                    openSystemURL(url);
                    handedToSystem_ = url;
                    decisionHandler(Policy::Allow);
                    return;
                }
                if (urlMatchesList(url, Strings::BaseUrls::list())) {
                    decisionHandler(Policy::Allow);
                    return;
                }
                openInBrowser(url);
                decisionHandler(Policy::Cancel);
                return;
            }
        }
    }

    debugPrint("URL: " + platform::withoutURLPasswords(url.absoluteString()));
    debugPrint("HOST: " + url.host().value_or("NoHostError"));
    debugPrint(std::string("USER CLICKED: ") + (tapped ? "true" : "false"));
    debugPrint(std::string(73, '-'));

    if (urlMatchesList(url, Strings::ExternalLinks::list())) {
        if (auto nav = navigationController()) nav->popViewController(true);
        openInBrowser(url);
        decisionHandler(Policy::Cancel);
        return;
    }
    decisionHandler(Policy::Allow);
}

}  // namespace Tesmar
