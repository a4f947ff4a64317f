#include "platform/urlsession/internal/RedirectRules.h"

namespace platform::urlsession_detail {

namespace {

int portOf(const URL& url) {
    if (auto port = url.port()) return *port;
    auto scheme = url.scheme().value_or("");
    if (scheme == "https" || scheme == "wss") return 443;
    if (scheme == "http" || scheme == "ws") return 80;
    return -1;
}

}  // namespace

bool isRedirectStatus(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool isSameOrigin(const URL& a, const URL& b) {
    auto schemeA = a.scheme().value_or(""), schemeB = b.scheme().value_or("");
    return equalsIgnoringASCIICase(schemeA, schemeB) &&
           equalsIgnoringASCIICase(a.host().value_or(""), b.host().value_or("")) && portOf(a) == portOf(b);
}

bool isFollowableScheme(const URL& url) {
    auto scheme = url.scheme().value_or("");
    return equalsIgnoringASCIICase(scheme, "http") || equalsIgnoringASCIICase(scheme, "https");
}

URLRequest redirectedRequest(const URLRequest& current, int status, const URL& target) {
    URLRequest next = current;
    next.setURL(target);
    const auto& method = current.HTTPMethod();
    if ((status == 303 && method != "HEAD") || ((status == 301 || status == 302) && method == "POST")) {
        next.setHTTPMethod("GET");
        next.setHTTPBody(std::nullopt);
        next.setHTTPBodyStream(nullptr);
        next.setValue(std::nullopt, "Content-Type");
        next.setValue(std::nullopt, "Content-Length");
    }
    if (!current.url() || !isSameOrigin(*current.url(), target)) {
        next.setValue(std::nullopt, "Authorization");
        next.setValue(std::nullopt, "Proxy-Authorization");
        next.setValue(std::nullopt, "Cookie");
    }
    next.setValue(std::nullopt, "Range");
    next.setValue(std::nullopt, "If-Range");
    return next;
}

}  // namespace platform::urlsession_detail
