#include "platform/urlsession/internal/CookieGlue.h"

#include "platform/foundation/HTTPCookie.h"

namespace platform::urlsession_detail {

namespace {
bool cookiesApply(const URLSessionConfiguration& config, const URLRequest& request) {
    return config.HTTPShouldSetCookies && request.HTTPShouldHandleCookies() && config.HTTPCookieStorage &&
           request.url();
}
}  // namespace

std::optional<std::string> cookieHeaderFor(const URLSessionConfiguration& config, const URLRequest& request) {
    if (!cookiesApply(config, request)) return std::nullopt;
    auto cookies = config.HTTPCookieStorage->cookiesForURL(*request.url());
    // A page of another site started this navigation: only the cookies that allow it go.
    const auto& initiator = request.navigationInitiatorURL();
    if (initiator && !cookie_rules::isSameSite(*initiator, *request.url())) {
        bool safe = request.HTTPMethod() == "GET" || request.HTTPMethod() == "HEAD";
        std::erase_if(cookies, [safe](const HTTPCookie& cookie) { return !cookie.goesCrossSite(safe); });
    }
    if (cookies.empty()) return std::nullopt;
    auto fields = HTTPCookie::requestHeaderFieldsWithCookies(cookies);
    auto it = fields.find("Cookie");
    if (it == fields.end() || it->second.empty()) return std::nullopt;
    return it->second;
}

void storeCookies(const URLSessionConfiguration& config, const URLRequest& request, const URL& responseURL,
                  const std::vector<std::string>& setCookieValues) {
    if (setCookieValues.empty() || !cookiesApply(config, request)) return;
    if (config.HTTPCookieAcceptPolicy == HTTPCookieAcceptPolicy::Never) return;
    auto cookies = HTTPCookie::cookiesWithSetCookieLines(setCookieValues, responseURL);
    if (cookies.empty()) return;
    std::optional<URL> mainDocument;
    if (config.HTTPCookieAcceptPolicy == HTTPCookieAcceptPolicy::OnlyFromMainDocumentDomain)
        mainDocument = request.mainDocumentURL() ? request.mainDocumentURL() : std::optional<URL>(responseURL);
    config.HTTPCookieStorage->setCookies(cookies, responseURL, mainDocument);
}

}  // namespace platform::urlsession_detail
