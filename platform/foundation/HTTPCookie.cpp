#include "platform/foundation/HTTPCookie.h"

#include <arpa/inet.h>
#include <libpsl.h>

#include <cmath>
#include <limits>

#include "platform/foundation/ASCII.h"
#include "platform/foundation/URLRequest.h"

namespace platform {

namespace {

constexpr size_t kMaxNameValueSize = 4096;
constexpr size_t kMaxAttributeValueSize = 1024;

// Control characters (tab aside) and ';' would let a stored value break out of the Cookie header.
bool isSafeCookieText(std::string_view s) {
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        if ((c < 0x20 && c != '\t') || c == 0x7F || c == ';') return false;
    }
    return true;
}

// A domain as the cookie keeps it: lower-case, at most one leading '.', something after it.
std::optional<std::string> canonicalDomain(std::string_view domain) {
    std::string d = lowercasedASCII(domain);
    if (d.empty() || d == "." || d.find_first_of(" \t;,/\\") != std::string::npos || !isSafeCookieText(d))
        return std::nullopt;
    if (d.size() > 1 && d[0] == '.' && d[1] == '.') return std::nullopt;
    return d;
}

// Lower-case host of a URL, without brackets for IPv6; nullopt when the URL has none.
// The public suffix list (the distribution's copy when it is newer than the library's own).
const psl_ctx_t* publicSuffixes() {
    static const psl_ctx_t* list = [] {
        const psl_ctx_t* latest = psl_latest(nullptr);
        return latest ? latest : psl_builtin();
    }();
    return list;
}

// "co.uk", "com", "github.io": names under which unrelated parties register, so a cookie for one
// of them would reach them all. Without any list, every name is treated as one (host-only cookies).
bool isPublicSuffix(const std::string& domain) {
    const psl_ctx_t* list = publicSuffixes();
    return !list || psl_is_public_suffix2(list, domain.c_str(), PSL_TYPE_ANY | PSL_TYPE_NO_STAR_RULE);
}

bool isSecureScheme(const URL& url) {
    auto scheme = url.scheme().value_or("");
    return scheme == "https" || scheme == "wss";
}

bool startsWithIgnoringCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && equalsIgnoringASCIICase(s.substr(0, prefix.size()), prefix);
}

std::optional<std::string> requestHost(const URL& url) {
    auto host = url.host();
    if (!host || host->empty()) return std::nullopt;
    std::string h = lowercasedASCII(*host);
    if (!h.empty() && h.back() == '.') h.pop_back();  // "example.com." is the same host
    if (h.empty()) return std::nullopt;
    return h;
}

bool isTruthy(const Value& v) {
    if (auto b = v.asBool(); v.isBool() && b) return *b;
    if (const std::string* s = v.asString()) return !(s->empty() || equalsIgnoringASCIICase(*s, "FALSE") || *s == "0");
    if (v.isNumber()) return v.boolOr(false);
    return false;
}

std::optional<int64_t> parseInteger(std::string_view s) {
    if (s.empty()) return std::nullopt;
    bool negative = s.front() == '-';
    if (negative) s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        // Saturate: a huge Max-Age only means "keep for a very long time".
        if (v < std::numeric_limits<int64_t>::max() / 20) v = v * 10 + (c - '0');
    }
    return negative ? -v : v;
}

// Max-Age as an expiry: non-positive means already expired; long ages are capped at the far future.
Date expiryFromMaxAge(int64_t seconds, Date now) {
    if (seconds <= 0) return Date::distantPast();
    Date far = Date::distantFuture();
    if (static_cast<double>(seconds) >= far.timeIntervalSince(now)) return far;
    return now.addingTimeInterval(static_cast<double>(seconds));
}

// Splits a Set-Cookie value that joins several cookies with ',' (as header maps do), but not the ','
// of an Expires date: a piece starts a new cookie only when it begins with "name=".
std::vector<std::string> splitJoinedSetCookie(std::string_view value) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != ',') continue;
        size_t j = i + 1;
        while (j < value.size() && (value[j] == ' ' || value[j] == '\t')) ++j;
        size_t stop = value.find_first_of("=;,", j);
        if (stop == std::string_view::npos || value[stop] != '=' || stop == j) continue;
        std::string_view name = value.substr(j, stop - j);
        if (name.find_first_of(" \t") != std::string_view::npos) continue;
        out.emplace_back(value.substr(start, i - start));
        start = j;
    }
    out.emplace_back(value.substr(start));
    return out;
}

}  // namespace

namespace cookie_rules {

bool isIPAddress(std::string_view host) {
    std::string h(host);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, h.c_str(), buf) == 1 || inet_pton(AF_INET6, h.c_str(), buf) == 1;
}

bool domainMatches(std::string_view host, std::string_view domain) {
    if (equalsIgnoringASCIICase(host, domain)) return true;
    if (domain.empty() || host.size() <= domain.size()) return false;
    if (!equalsIgnoringASCIICase(host.substr(host.size() - domain.size()), domain)) return false;
    return host[host.size() - domain.size() - 1] == '.' && !isIPAddress(host);
}

bool pathMatches(std::string_view requestPath, std::string_view cookiePath) {
    if (requestPath == cookiePath) return true;
    if (cookiePath.empty() || requestPath.substr(0, cookiePath.size()) != cookiePath) return false;
    return cookiePath.back() == '/' || requestPath[cookiePath.size()] == '/';
}

std::string requestPath(const URL& url) {
    std::string p = url.percentEncodedPath();
    return p.empty() || p.front() != '/' ? std::string("/") : p;
}

std::string defaultPath(const URL& url) {
    std::string p = url.percentEncodedPath();
    if (p.empty() || p.front() != '/') return "/";
    size_t last = p.rfind('/');
    if (last == 0) return "/";
    return p.substr(0, last);
}

std::optional<std::string> siteOf(const URL& url) {
    auto host = requestHost(url);
    if (!host) return std::nullopt;
    const psl_ctx_t* list = publicSuffixes();
    const char* registrable = list && !isIPAddress(*host) ? psl_registrable_domain(list, host->c_str()) : nullptr;
    return registrable ? std::string(registrable) : *host;
}

bool isSameSite(const URL& a, const URL& b) {
    auto site = siteOf(a);
    return site && site == siteOf(b);
}

}  // namespace cookie_rules

std::optional<HTTPCookie> HTTPCookie::cookieWithProperties(const Value& properties, Date now) {
    const std::string* name = properties[kHTTPCookieName].asString();
    const std::string* value = properties[kHTTPCookieValue].asString();
    if (!name || !value || name->empty()) return std::nullopt;
    if (!isSafeCookieText(*name) || !isSafeCookieText(*value) || name->find('=') != std::string::npos ||
        name->size() + value->size() > kMaxNameValueSize)
        return std::nullopt;

    HTTPCookie cookie;
    cookie.name_ = *name;
    cookie.value_ = *value;

    if (const std::string* domain = properties[kHTTPCookieDomain].asString()) {
        auto d = canonicalDomain(*domain);
        if (!d) return std::nullopt;
        cookie.domain_ = *d;
    } else if (const std::string* origin = properties[kHTTPCookieOriginURL].asString()) {
        auto url = URL::string(*origin);
        auto host = url ? requestHost(*url) : std::nullopt;
        if (!host) return std::nullopt;
        cookie.domain_ = *host;
    } else {
        return std::nullopt;
    }

    if (const std::string* path = properties[kHTTPCookiePath].asString()) {
        if (path->empty() || !isSafeCookieText(*path)) return std::nullopt;
        cookie.path_ = *path;
    }

    const Value& maxAge = properties[kHTTPCookieMaximumAge];
    std::optional<int64_t> age;
    if (const std::string* s = maxAge.asString())
        age = parseInteger(trimmingHTTPWhitespace(*s));
    else if (maxAge.isNumber())
        age = maxAge.asInteger();
    if (age) {
        cookie.expires_ = expiryFromMaxAge(*age, now);
    } else if (auto date = properties[kHTTPCookieExpires].asDate()) {
        cookie.expires_ = *date;
    } else if (const std::string* s = properties[kHTTPCookieExpires].asString()) {
        Date d;
        if (Date::parseHTTPDate(*s, d)) cookie.expires_ = d;
    }
    if (const Value* discard = properties.find(kHTTPCookieDiscard); discard && isTruthy(*discard))
        cookie.expires_.reset();

    if (const Value* secure = properties.find(kHTTPCookieSecure)) cookie.secure_ = isTruthy(*secure);
    if (const Value* httpOnly = properties.find(kHTTPCookieHTTPOnly)) cookie.httpOnly_ = isTruthy(*httpOnly);
    if (const std::string* s = properties[kHTTPCookieSameSitePolicy].asString()) {
        std::string policy = lowercasedASCII(*s);
        if (policy == "lax" || policy == "strict" || policy == "none") cookie.sameSite_ = policy;
    }
    const Value& version = properties[kHTTPCookieVersion];
    if (const std::string* s = version.asString())
        cookie.version_ = *s == "1" ? 1 : 0;
    else if (version.isNumber())
        cookie.version_ = version.integerOr(0) == 1 ? 1 : 0;
    if (const std::string* s = properties[kHTTPCookieComment].asString()) cookie.comment_ = *s;
    return cookie;
}

Value HTTPCookie::properties() const {
    Value p = Value::dictionary();
    p.set(kHTTPCookieName, name_);
    p.set(kHTTPCookieValue, value_);
    p.set(kHTTPCookieDomain, domain_);
    p.set(kHTTPCookiePath, path_);
    p.set(kHTTPCookieVersion, std::to_string(version_));
    if (expires_)
        p.set(kHTTPCookieExpires, *expires_);
    else
        p.set(kHTTPCookieDiscard, "TRUE");
    if (secure_) p.set(kHTTPCookieSecure, "TRUE");
    if (httpOnly_) p.set(kHTTPCookieHTTPOnly, "TRUE");
    if (sameSite_) p.set(kHTTPCookieSameSitePolicy, *sameSite_);
    if (comment_) p.set(kHTTPCookieComment, *comment_);
    return p;
}

std::optional<HTTPCookie> HTTPCookie::parseSetCookie(std::string_view line, const URL& url, Date now) {
    auto host = requestHost(url);
    if (!host) return std::nullopt;

    size_t semi = line.find(';');
    std::string_view pair = line.substr(0, semi);
    std::string_view attributes = semi == std::string_view::npos ? std::string_view() : line.substr(semi);
    size_t eq = pair.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    std::string_view name = trimmingHTTPWhitespace(pair.substr(0, eq));
    std::string_view value = trimmingHTTPWhitespace(pair.substr(eq + 1));
    if (name.empty() || !isSafeCookieText(name) || !isSafeCookieText(value) ||
        name.size() + value.size() > kMaxNameValueSize)
        return std::nullopt;

    HTTPCookie cookie;
    cookie.name_ = std::string(name);
    cookie.value_ = std::string(value);

    std::optional<Date> expires;
    std::optional<Date> maxAgeExpiry;
    std::optional<std::string> domainAttribute;
    std::optional<std::string> pathAttribute;
    while (!attributes.empty()) {
        attributes.remove_prefix(1);  // the ';'
        size_t next = attributes.find(';');
        std::string_view av = attributes.substr(0, next);
        attributes = next == std::string_view::npos ? std::string_view() : attributes.substr(next);
        size_t aeq = av.find('=');
        std::string_view attrName = trimmingHTTPWhitespace(av.substr(0, aeq));
        std::string_view attrValue =
            aeq == std::string_view::npos ? std::string_view() : trimmingHTTPWhitespace(av.substr(aeq + 1));
        if (attrValue.size() > kMaxAttributeValueSize) continue;
        if (equalsIgnoringASCIICase(attrName, "expires")) {
            Date d;
            if (Date::parseHTTPDate(std::string(attrValue), d)) expires = d;
        } else if (equalsIgnoringASCIICase(attrName, "max-age")) {
            if (attrValue.empty() || !((attrValue[0] >= '0' && attrValue[0] <= '9') || attrValue[0] == '-')) continue;
            if (auto age = parseInteger(attrValue)) maxAgeExpiry = expiryFromMaxAge(*age, now);
        } else if (equalsIgnoringASCIICase(attrName, "domain")) {
            if (attrValue.empty()) continue;
            std::string_view d = attrValue;
            if (d.front() == '.') d.remove_prefix(1);
            std::string canonical = lowercasedASCII(d);
            if (!canonical.empty() && canonical.back() == '.') canonical.pop_back();
            domainAttribute = canonical;
        } else if (equalsIgnoringASCIICase(attrName, "path")) {
            if (attrValue.empty() || attrValue.front() != '/')
                pathAttribute.reset();
            else
                pathAttribute = std::string(attrValue);
        } else if (equalsIgnoringASCIICase(attrName, "secure")) {
            cookie.secure_ = true;
        } else if (equalsIgnoringASCIICase(attrName, "httponly")) {
            cookie.httpOnly_ = true;
        } else if (equalsIgnoringASCIICase(attrName, "samesite")) {
            std::string policy = lowercasedASCII(attrValue);
            if (policy == "lax" || policy == "strict" || policy == "none") cookie.sameSite_ = policy;
        } else if (equalsIgnoringASCIICase(attrName, "version")) {
            cookie.version_ = attrValue == "1" ? 1 : 0;
        } else if (equalsIgnoringASCIICase(attrName, "comment")) {
            if (isSafeCookieText(attrValue)) cookie.comment_ = std::string(attrValue);
        }
    }
    cookie.expires_ = maxAgeExpiry ? maxAgeExpiry : expires;

    // Secure cookies, and the names that promise one, come only from secure origins; a __Host-
    // cookie is also bound to its one host and to the whole of it.
    const bool secureOrigin = isSecureScheme(url);
    if (cookie.secure_ && !secureOrigin) return std::nullopt;
    if (startsWithIgnoringCase(cookie.name_, "__Secure-") && !(cookie.secure_ && secureOrigin)) return std::nullopt;
    if (startsWithIgnoringCase(cookie.name_, "__Host-") &&
        !(cookie.secure_ && secureOrigin && !domainAttribute && pathAttribute == "/"))
        return std::nullopt;

    if (domainAttribute && !domainAttribute->empty() && !cookie_rules::isIPAddress(*domainAttribute) &&
        isPublicSuffix(*domainAttribute)) {
        // A public suffix names no site: only the host that is itself such a name may set it, and
        // then the cookie stays with that host alone.
        if (*domainAttribute != *host) return std::nullopt;
        domainAttribute.reset();
    }
    if (domainAttribute && !domainAttribute->empty()) {
        const std::string& d = *domainAttribute;
        if (!isSafeCookieText(d) || d.find_first_of(" \t,/\\") != std::string::npos) return std::nullopt;
        if (d.find('.') == std::string::npos) {
            // A bare top-level name ("com") may only name the very host that answered.
            if (d != *host) return std::nullopt;
            cookie.domain_ = *host;
        } else {
            if (!cookie_rules::domainMatches(*host, d)) return std::nullopt;
            // An IP address only matches itself: keep such a cookie host-only.
            cookie.domain_ = cookie_rules::isIPAddress(d) ? d : "." + d;
        }
    } else {
        cookie.domain_ = *host;
    }
    // A host no cookie domain could name (one with ',' say) gets no cookies.
    if (!canonicalDomain(cookie.domain_)) return std::nullopt;
    cookie.path_ = pathAttribute ? *pathAttribute : cookie_rules::defaultPath(url);
    if (!isSafeCookieText(cookie.path_)) return std::nullopt;
    return cookie;
}

std::vector<HTTPCookie> HTTPCookie::cookiesWithSetCookieLines(const std::vector<std::string>& lines, const URL& url,
                                                              Date now) {
    std::vector<HTTPCookie> out;
    for (const auto& line : lines)
        if (auto cookie = parseSetCookie(line, url, now)) out.push_back(std::move(*cookie));
    return out;
}

std::vector<HTTPCookie> HTTPCookie::cookiesWithResponseHeaderFields(const std::map<std::string, std::string>& headers,
                                                                    const URL& url, Date now) {
    std::vector<HTTPCookie> out;
    for (const auto& [name, value] : headers) {
        if (!equalsIgnoringASCIICase(name, "Set-Cookie")) continue;
        auto more = cookiesWithSetCookieLines(splitJoinedSetCookie(value), url, now);
        out.insert(out.end(), more.begin(), more.end());
    }
    return out;
}

std::vector<HTTPCookie> HTTPCookie::cookiesWithResponseHeaderFields(const HTTPHeaderFields& headers, const URL& url,
                                                                    Date now) {
    std::vector<HTTPCookie> out;
    for (const auto& [name, value] : headers.entries()) {
        if (!equalsIgnoringASCIICase(name, "Set-Cookie")) continue;
        auto more = cookiesWithSetCookieLines(splitJoinedSetCookie(value), url, now);
        out.insert(out.end(), more.begin(), more.end());
    }
    return out;
}

std::map<std::string, std::string> HTTPCookie::requestHeaderFieldsWithCookies(const std::vector<HTTPCookie>& cookies) {
    if (cookies.empty()) return {};
    std::string header;
    for (const auto& cookie : cookies) {
        if (!header.empty()) header += "; ";
        header += cookie.name_ + "=" + cookie.value_;
    }
    return {{"Cookie", header}};
}

bool HTTPCookie::goesCrossSite(bool safeTopLevelNavigation) const {
    if (sameSite_ == "strict") return false;
    return sameSite_ != "lax" || safeTopLevelNavigation;
}

bool HTTPCookie::matchesURL(const URL& url) const {
    auto host = requestHost(url);
    if (!host) return false;
    if (isHostOnly()) {
        if (*host != domain_) return false;
    } else if (!cookie_rules::domainMatches(*host, std::string_view(domain_).substr(1))) {
        return false;
    }
    if (!cookie_rules::pathMatches(cookie_rules::requestPath(url), path_)) return false;
    if (secure_) {
        auto scheme = url.scheme();
        if (scheme != "https" && scheme != "wss") return false;
    }
    return true;
}

}  // namespace platform
