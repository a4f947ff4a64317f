// The headless engine's Referer, Origin and Sec-Fetch-*: what the requests of a page's links, forms and
// windows tell the server about the page they came from, as the page's referrer policy allows, and again at
// each redirect.
#include <array>
#include <utility>

#include "platform/foundation/ASCII.h"
#include "platform/foundation/HTTPCookie.h"
#include "platform/webkit/PageEngine.h"

namespace platform::webkit::webkit_detail {

namespace {

bool isHTTP(const URL& url) {
    auto scheme = url.scheme();
    return scheme == "http" || scheme == "https";
}

// "scheme://host" with the port when it is not the scheme's own; nullopt but for http and https.
std::optional<std::string> originOf(const URL& url) {
    auto parts = URLComponents::fromURL(url, true);
    if (!isHTTP(url) || !parts || !parts->percentEncodedHost()) return std::nullopt;
    std::string scheme = *url.scheme();
    std::string origin = scheme + "://" + lowercasedASCII(*parts->percentEncodedHost());
    if (auto port = parts->port(); port && *port != (scheme == "https" ? 443 : 80))
        origin += ":" + std::to_string(*port);
    return origin;
}

// The whole URL but its user, password and fragment.
std::optional<std::string> withoutCredentialsAndFragment(const URL& url) {
    auto origin = originOf(url);
    auto parts = URLComponents::fromURL(url, true);
    if (!origin || !parts) return std::nullopt;
    std::string path = parts->percentEncodedPath();
    std::string text = *origin + (path.empty() ? "/" : path);
    if (auto query = parts->percentEncodedQuery()) text += "?" + *query;
    return text;
}

}  // namespace

std::optional<ReferrerPolicy> referrerPolicyIn(const std::optional<std::string>& header) {
    static const std::array<std::pair<const char*, ReferrerPolicy>, 8> names = {{
        {"no-referrer", ReferrerPolicy::NoReferrer},
        {"no-referrer-when-downgrade", ReferrerPolicy::NoReferrerWhenDowngrade},
        {"same-origin", ReferrerPolicy::SameOrigin},
        {"origin", ReferrerPolicy::Origin},
        {"strict-origin", ReferrerPolicy::StrictOrigin},
        {"origin-when-cross-origin", ReferrerPolicy::OriginWhenCrossOrigin},
        {"strict-origin-when-cross-origin", ReferrerPolicy::StrictOriginWhenCrossOrigin},
        {"unsafe-url", ReferrerPolicy::UnsafeURL},
    }};
    // A list of tokens: the last one known wins, so newer policies can come after a fallback.
    std::optional<ReferrerPolicy> policy;
    const std::string text = header.value_or("");
    std::string_view rest = text;
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        auto token = trimmingHTTPWhitespace(rest.substr(0, comma));
        for (const auto& [name, named] : names)
            if (equalsIgnoringASCIICase(token, name)) policy = named;
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return policy;
}

ReferrerPolicy referrerPolicyOf(const std::optional<std::string>& header) {
    return referrerPolicyIn(header).value_or(ReferrerPolicy::StrictOriginWhenCrossOrigin);
}

std::optional<std::string> referrerFor(const URL& page, const URL& target, ReferrerPolicy policy) {
    auto whole = withoutCredentialsAndFragment(page);
    auto origin = originOf(page);
    if (!whole || !origin) return std::nullopt;  // a page that came from nowhere tells nothing
    bool sameOrigin = origin == originOf(target);
    bool downgrade = page.scheme() == "https" && target.scheme() != "https";
    std::string originOnly = *origin + "/";
    switch (policy) {
    case ReferrerPolicy::NoReferrer:
        return std::nullopt;
    case ReferrerPolicy::NoReferrerWhenDowngrade:
        return downgrade ? std::nullopt : whole;
    case ReferrerPolicy::SameOrigin:
        return sameOrigin ? whole : std::nullopt;
    case ReferrerPolicy::Origin:
        return originOnly;
    case ReferrerPolicy::StrictOrigin:
        return downgrade ? std::nullopt : std::optional<std::string>(originOnly);
    case ReferrerPolicy::OriginWhenCrossOrigin:
        return sameOrigin ? whole : originOnly;
    case ReferrerPolicy::UnsafeURL:
        return whole;
    case ReferrerPolicy::StrictOriginWhenCrossOrigin:
        break;
    }
    if (sameOrigin) return whole;
    return downgrade ? std::nullopt : std::optional<std::string>(originOnly);
}

std::optional<std::string> originFor(const URL& page, const URL& target, ReferrerPolicy policy) {
    auto origin = originOf(page);
    if (!origin) return std::nullopt;
    // The real engine hides it only under these two; a downgrade under the strict policies still sends it.
    if (policy == ReferrerPolicy::NoReferrer) return "null";
    if (policy == ReferrerPolicy::SameOrigin && origin != originOf(target)) return "null";
    return origin;
}

void addPageHeaders(URLRequest& request, const URL& page, ReferrerPolicy policy) {
    if (!request.url()) return;
    request.setValue(referrerFor(page, *request.url(), policy), "Referer");
    const auto& method = request.HTTPMethod();
    if (method != "GET" && method != "HEAD")
        if (auto origin = originFor(page, *request.url(), policy)) request.setValue(*origin, "Origin");
}

void carryPageHeaders(const URLRequest& previous, URLRequest& next, ReferrerPolicy policy) {
    if (!previous.url() || !next.url()) return;
    // The Referer the last hop sent is cut again for the next one: what a hop left out stays out.
    if (auto sent = previous.valueForHTTPHeaderField("Referer"))
        if (auto from = URL::string(*sent)) next.setValue(referrerFor(*from, *next.url(), policy), "Referer");
    // A redirect that turned the request into a GET sends no Origin; one to another origin cannot vouch
    // for it any more. A hop's own policy leaves it as it was.
    if (!next.valueForHTTPHeaderField("Origin")) return;
    if (next.HTTPMethod() == "GET" || next.HTTPMethod() == "HEAD")
        next.setValue(std::nullopt, "Origin");
    else if (originOf(*previous.url()) != originOf(*next.url()))
        next.setValue("null", "Origin");
}

void setFetchMetadata(URLRequest& request, NavigationType type, bool redirected) {
    if (!request.url()) return;
    request.setValue("document", "Sec-Fetch-Dest");
    request.setValue("navigate", "Sec-Fetch-Mode");
    // The browser's own loads (the app's, a reload, a move in the history) come from no page; a redirect
    // says the furthest its chain has gone from the page that started it.
    const auto& initiator = request.navigationInitiatorURL();
    auto before = redirected ? request.valueForHTTPHeaderField("Sec-Fetch-Site") : std::nullopt;
    const bool ownLoad = type == NavigationType::Reload || type == NavigationType::FormResubmitted ||
                         type == NavigationType::BackForward || !initiator;
    std::string site = "none";
    if (!ownLoad && before != "none") {
        const URL& target = *request.url();
        if (originOf(*initiator) && originOf(*initiator) == originOf(target))
            site = "same-origin";
        else if (initiator->scheme() == target.scheme() && cookie_rules::isSameSite(*initiator, target))
            site = "same-site";
        else
            site = "cross-site";
        if (before == "cross-site" || (before == "same-site" && site == "same-origin")) site = *before;
    }
    request.setValue(site, "Sec-Fetch-Site");
}

}  // namespace platform::webkit::webkit_detail
