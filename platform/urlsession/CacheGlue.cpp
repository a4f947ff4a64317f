#include "platform/urlsession/internal/CacheGlue.h"

#include <algorithm>
#include <map>
#include <string>
#include <string_view>

namespace platform::urlsession_detail {

namespace {

// Cache-Control (or Pragma) directives: lower-case name -> value (unquoted), "" when it has none.
std::map<std::string, std::string> directives(const std::optional<std::string>& header) {
    std::map<std::string, std::string> out;
    if (!header) return out;
    std::string_view rest(*header);
    while (!rest.empty()) {
        // A comma inside a quoted value does not end the directive.
        size_t end = 0;
        bool quoted = false;
        for (; end < rest.size() && (quoted || rest[end] != ','); ++end)
            if (rest[end] == '"') quoted = !quoted;
        std::string_view item = trimmingHTTPWhitespace(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
        if (item.empty()) continue;
        size_t eq = item.find('=');
        std::string name = lowercasedASCII(trimmingHTTPWhitespace(item.substr(0, eq)));
        std::string_view value =
            eq == std::string_view::npos ? std::string_view() : trimmingHTTPWhitespace(item.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        out.emplace(std::move(name), std::string(value));  // the first occurrence counts
    }
    return out;
}

// Delta-seconds: digits only; anything else is nullopt. Large values are capped (about 68 years).
std::optional<double> deltaSeconds(const std::string& text) {
    if (text.empty() || !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return std::nullopt;
    constexpr double kCap = 2147483648.0;
    double value = 0;
    for (char c : text) value = std::min(kCap, value * 10 + (c - '0'));
    return value;
}

std::optional<Date> dateField(const HTTPURLResponse& response, std::string_view name) {
    auto text = response.valueForHTTPHeaderField(name);
    Date date;
    if (!text || !Date::parseHTTPDate(*text, date)) return std::nullopt;
    return date;
}

// The request asks the server something a stored copy cannot answer (a part, or a condition).
bool asksTheServer(const URLRequest& request) {
    for (const char* name :
         {"Range", "If-Range", "If-None-Match", "If-Modified-Since", "If-Match", "If-Unmodified-Since"})
        if (request.valueForHTTPHeaderField(name)) return true;
    return false;
}

// Fresh by its own headers: its age (from its Date, or the time it was stored, plus any Age it came
// with) is below its lifetime (max-age, else Expires minus Date). No lifetime given: not fresh.
// "no-cache" on either side, or a request max-age the age exceeds, means asking the server again.
bool isFresh(const URLCache::Entry& entry, const HTTPURLResponse& response, const URLRequest& request) {
    auto asked = directives(request.valueForHTTPHeaderField("Cache-Control"));
    auto answered = directives(response.valueForHTTPHeaderField("Cache-Control"));
    if (asked.count("no-cache") || answered.count("no-cache")) return false;
    if (!request.valueForHTTPHeaderField("Cache-Control") &&
        directives(request.valueForHTTPHeaderField("Pragma")).count("no-cache"))
        return false;

    const Date stored = entry.storedAt;
    const Date date = dateField(response, "Date").value_or(stored);
    std::optional<double> lifetime;
    if (auto it = answered.find("max-age"); it != answered.end()) {
        lifetime = deltaSeconds(it->second).value_or(0);  // a malformed max-age is already stale
    } else if (response.valueForHTTPHeaderField("Expires")) {
        auto expires = dateField(response, "Expires");  // an invalid date ("0") means already expired
        lifetime = expires ? expires->timeIntervalSince(date) : 0;
    }
    if (!lifetime) return false;

    double age = std::max(0.0, stored.timeIntervalSince(date));
    if (auto given = response.valueForHTTPHeaderField("Age"))
        if (auto seconds = deltaSeconds(std::string(trimmingHTTPWhitespace(*given)))) age = std::max(age, *seconds);
    age += std::max(0.0, Date::now().timeIntervalSince(stored));
    if (auto it = asked.find("max-age"); it != asked.end())
        if (age > deltaSeconds(it->second).value_or(0)) return false;
    return age < *lifetime;
}

}  // namespace

CacheLookup lookUpCache(const URLSessionConfiguration& config, const URLRequest& request, bool readable) {
    CacheLookup out;
    const auto policy = request.cachePolicy();
    bool reads = policy == URLRequestCachePolicy::UseProtocolCachePolicy ||
                 policy == URLRequestCachePolicy::ReturnCacheDataElseLoad ||
                 policy == URLRequestCachePolicy::ReturnCacheDataDontLoad;
    if (readable && reads && config.URLCache && !asksTheServer(request))
        if (auto entry = config.URLCache->entryForRequest(request))
            if (const auto* http = dynamic_cast<const HTTPURLResponse*>(entry->cached.response.get()))
                if (policy != URLRequestCachePolicy::UseProtocolCachePolicy || isFresh(*entry, *http, request))
                    out.answer = std::move(entry->cached);
    out.unavailable = policy == URLRequestCachePolicy::ReturnCacheDataDontLoad && !out.answer;
    return out;
}

std::optional<size_t> cacheableBodyLimit(const URLSessionConfiguration& config, const URLRequest& request,
                                         const HTTPURLResponse& response) {
    if (!config.URLCache || request.HTTPMethod() != "GET" || response.statusCode() != 200) return std::nullopt;
    if (directives(request.valueForHTTPHeaderField("Cache-Control")).count("no-store") ||
        directives(response.valueForHTTPHeaderField("Cache-Control")).count("no-store"))
        return std::nullopt;
    size_t limit = config.URLCache->maximumEntrySize();
    int64_t announced = response.expectedContentLength();
    if (announced >= 0 && uint64_t(announced) > limit) return std::nullopt;
    return limit;
}

void forgetAfterUnsafeMethod(URLCache& cache, const URLRequest& request, int status) {
    const auto& method = request.HTTPMethod();
    if (method == "GET" || method == "HEAD" || method == "OPTIONS" || method == "TRACE") return;
    if (status < 200 || status >= 400 || !request.url()) return;
    cache.removeCachedResponseForRequest(URLRequest(*request.url()));
}

}  // namespace platform::urlsession_detail
