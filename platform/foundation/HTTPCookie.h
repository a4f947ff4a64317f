#pragma once
// HTTPCookie: one cookie as a plain, immutable value, made from a property dictionary or parsed from
// Set-Cookie header lines (RFC 6265 §5.2 and §5.3).
//
// Domain convention: a cookie that came with a Domain attribute has a domain starting with '.'
// (".example.com") and is sent to that domain and its subdomains; a host-only cookie has the bare request
// host ("www.example.com") and is sent to that host alone.
//
// Values are safe to put into a Cookie header: names and values holding control characters (CR, LF,
// NUL...) or ';' are refused at construction, as are pairs longer than 4096 bytes.
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

namespace platform {

class HTTPHeaderFields;

// Property keys of cookieWithProperties() / properties().
inline constexpr const char* kHTTPCookieName = "Name";
inline constexpr const char* kHTTPCookieValue = "Value";
inline constexpr const char* kHTTPCookieDomain = "Domain";
inline constexpr const char* kHTTPCookiePath = "Path";
inline constexpr const char* kHTTPCookieExpires = "Expires";          // a Date, or an HTTP date string
inline constexpr const char* kHTTPCookieMaximumAge = "Max-Age";       // seconds (string or number); wins over Expires
inline constexpr const char* kHTTPCookieSecure = "Secure";            // "TRUE" or a bool
inline constexpr const char* kHTTPCookieHTTPOnly = "HttpOnly";        // "TRUE" or a bool
inline constexpr const char* kHTTPCookieDiscard = "Discard";          // "TRUE": a session cookie whatever Expires says
inline constexpr const char* kHTTPCookieVersion = "Version";          // "0" or "1"
inline constexpr const char* kHTTPCookieSameSitePolicy = "SameSite";  // "lax", "strict" or "none"
inline constexpr const char* kHTTPCookieOriginURL = "OriginURL";      // a URL string: host-only domain when no Domain
inline constexpr const char* kHTTPCookieComment = "Comment";

class HTTPCookie {
public:
    // nullopt when Name or Value is missing or unsafe, or neither Domain nor OriginURL gives a domain.
    // Path defaults to "/". `now` anchors Max-Age.
    static std::optional<HTTPCookie> cookieWithProperties(const Value& properties, Date now = Date::now());

    // Every acceptable cookie of the Set-Cookie field(s) in `headers` (name matched case-insensitively),
    // as a response from `url` would set them. Cookies the URL may not set are dropped.
    // A value that joins several cookies with ", " is split between cookies (not inside Expires dates).
    static std::vector<HTTPCookie> cookiesWithResponseHeaderFields(const std::map<std::string, std::string>& headers,
                                                                   const URL& url, Date now = Date::now());
    static std::vector<HTTPCookie> cookiesWithResponseHeaderFields(const HTTPHeaderFields& headers, const URL& url,
                                                                   Date now = Date::now());
    // One Set-Cookie line per element, not split on commas: what a transfer sees line by line.
    static std::vector<HTTPCookie> cookiesWithSetCookieLines(const std::vector<std::string>& lines, const URL& url,
                                                             Date now = Date::now());
    // One Set-Cookie line; nullopt when it is ignored.
    static std::optional<HTTPCookie> parseSetCookie(std::string_view line, const URL& url, Date now = Date::now());

    // {"Cookie": "a=b; c=d"} in the given order; empty when there are no cookies.
    static std::map<std::string, std::string> requestHeaderFieldsWithCookies(const std::vector<HTTPCookie>& cookies);

    const std::string& name() const { return name_; }
    const std::string& value() const { return value_; }
    const std::string& domain() const { return domain_; }  // lower-case; see the domain convention above
    const std::string& path() const { return path_; }
    const std::optional<Date>& expiresDate() const { return expires_; }
    bool isSecure() const { return secure_; }
    bool isHTTPOnly() const { return httpOnly_; }
    bool isSessionOnly() const { return !expires_.has_value(); }
    bool isHostOnly() const { return domain_.empty() || domain_.front() != '.'; }
    const std::optional<std::string>& sameSitePolicy() const { return sameSite_; }  // "lax", "strict", "none"
    int version() const { return version_; }
    const std::optional<std::string>& comment() const { return comment_; }
    // The cookie as a property dictionary (keys above); cookieWithProperties() of it gives this cookie back.
    Value properties() const;

    bool isExpired(Date now) const { return expires_ && *expires_ <= now; }
    // Whether the cookie goes with a request that another site started: Strict ones never, Lax ones
    // only with a top-level navigation by a safe method (GET, HEAD), the rest (None, or no attribute) always.
    bool goesCrossSite(bool safeTopLevelNavigation) const;
    // RFC 6265 §5.4: domain (exact for host-only), path, and secure-only-over-https.
    bool matchesURL(const URL& url) const;

    bool operator==(const HTTPCookie&) const = default;

private:
    HTTPCookie() = default;
    std::string name_;
    std::string value_;
    std::string domain_;
    std::string path_ = "/";
    std::optional<Date> expires_;
    bool secure_ = false;
    bool httpOnly_ = false;
    std::optional<std::string> sameSite_;
    int version_ = 0;
    std::optional<std::string> comment_;
};

// The cookie matching rules, shared with the storage.
namespace cookie_rules {
// RFC 6265 §5.1.3: equal, or `host` ends with "." + `domain` and is not an IP address. Case-insensitive.
bool domainMatches(std::string_view host, std::string_view domain);
// RFC 6265 §5.1.4.
bool pathMatches(std::string_view requestPath, std::string_view cookiePath);
// RFC 6265 §5.1.4: the directory of the request path ("/" at least).
std::string defaultPath(const URL& url);
// The path a cookie is matched against: the URL's percent-encoded path, "/" when empty.
std::string requestPath(const URL& url);
bool isIPAddress(std::string_view host);
// The site of a URL: its registrable domain ("example.co.uk" for https://www.example.co.uk); a host with
// none (an IP address, a public suffix) is its own site. The scheme plays no part: a browser's engine
// sends an https page's Strict cookies with a request it starts to the same domain over http.
// nullopt for a URL without a host.
std::optional<std::string> siteOf(const URL& url);
// Both URLs have a host and the same site.
bool isSameSite(const URL& a, const URL& b);
}  // namespace cookie_rules

}  // namespace platform
