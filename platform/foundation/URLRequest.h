#pragma once
// URLRequest: what a URL load asks for (URL, method, headers, body or body stream, cache policy,
// time-out, cookie handling). A plain value type: copies are independent (a body stream is shared,
// since a stream can only be read once anyway). Not synchronised.
//
// Header field names compare case-insensitively; the first spelling set is the one kept.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/foundation/ASCII.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

namespace platform {

class InputStream;  // platform/foundation/Stream.h

enum class URLRequestCachePolicy : int {
    UseProtocolCachePolicy = 0,
    ReloadIgnoringLocalCacheData = 1,
    ReturnCacheDataElseLoad = 2,
    ReturnCacheDataDontLoad = 3,
    ReloadIgnoringLocalAndRemoteCacheData = 4,
    ReloadRevalidatingCacheData = 5,
};

// An ordered, case-insensitive header map (name as first set -> value).
class HTTPHeaderFields {
public:
    using Entry = std::pair<std::string, std::string>;
    const std::string* find(std::string_view name) const;
    void set(std::string name, std::string value);  // replaces (an empty name is ignored)
    void add(std::string name, std::string value);  // appends ", value" to an existing field
    bool erase(std::string_view name);
    const std::vector<Entry>& entries() const { return entries_; }
    bool empty() const { return entries_.empty(); }
    size_t size() const { return entries_.size(); }
    Value asValue() const;  // a dictionary name -> value
    // Fields in arrival order, same-named ones (any letter case) joined with ", " in the place of the
    // first: linear in the number of fields, for answers with very many of them.
    static HTTPHeaderFields combining(std::vector<Entry> fields);
    bool operator==(const HTTPHeaderFields&) const = default;

private:
    std::vector<Entry> entries_;
};

class URLRequest {
public:
    URLRequest() = default;
    explicit URLRequest(URL url, URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy,
                        double timeoutInterval = 60.0);

    const std::optional<URL>& url() const { return url_; }
    void setURL(std::optional<URL> url) { url_ = std::move(url); }

    const std::string& HTTPMethod() const { return method_; }
    void setHTTPMethod(std::string method) { method_ = method.empty() ? "GET" : std::move(method); }

    // Header fields: value(forHTTPHeaderField:) and friends.
    std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const;
    void setValue(std::optional<std::string> value, std::string name);  // nullopt removes the field
    const HTTPHeaderFields& allHTTPHeaderFields() const { return headers_; }
    void setAllHTTPHeaderFields(HTTPHeaderFields fields) { headers_ = std::move(fields); }

    // Body: bytes or a stream; setting one clears the other.
    const std::optional<Bytes>& HTTPBody() const { return body_; }
    void setHTTPBody(std::optional<Bytes> body);
    const std::shared_ptr<InputStream>& HTTPBodyStream() const { return bodyStream_; }
    void setHTTPBodyStream(std::shared_ptr<InputStream> stream);

    URLRequestCachePolicy cachePolicy() const { return cachePolicy_; }
    void setCachePolicy(URLRequestCachePolicy p) { cachePolicy_ = p; }
    double timeoutInterval() const { return timeoutInterval_; }
    void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
    bool HTTPShouldHandleCookies() const { return shouldHandleCookies_; }
    void setHTTPShouldHandleCookies(bool b) { shouldHandleCookies_ = b; }
    const std::optional<URL>& mainDocumentURL() const { return mainDocumentURL_; }
    void setMainDocumentURL(std::optional<URL> url) { mainDocumentURL_ = std::move(url); }
    // A web page's top-level navigation: the page that started it, whose site decides which SameSite
    // cookies go with it (and with each of its redirects). None for the app's own requests: every
    // cookie goes.
    const std::optional<URL>& navigationInitiatorURL() const { return navigationInitiatorURL_; }
    void setNavigationInitiatorURL(std::optional<URL> url) { navigationInitiatorURL_ = std::move(url); }

    // "<URLRequest> { URL: ... }"-like one-liner for logs.
    std::string description() const;

private:
    std::optional<URL> url_;
    std::string method_ = "GET";
    HTTPHeaderFields headers_;
    std::optional<Bytes> body_;
    std::shared_ptr<InputStream> bodyStream_;
    URLRequestCachePolicy cachePolicy_ = URLRequestCachePolicy::UseProtocolCachePolicy;
    double timeoutInterval_ = 60.0;
    bool shouldHandleCookies_ = true;
    std::optional<URL> mainDocumentURL_;
    std::optional<URL> navigationInitiatorURL_;
};

}  // namespace platform
