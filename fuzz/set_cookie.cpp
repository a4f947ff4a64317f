// Parses arbitrary Set-Cookie lines for a URL and stores them. Input: first line the request URL
// (a default one when it does not parse), every further line one Set-Cookie value.
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/foundation/HTTPCookie.h"
#include "platform/urlsession/HTTPCookieStorage.h"

using platform::Date;
using platform::HTTPCookie;
using platform::URL;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= input.size()) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        lines.push_back(input.substr(start, end - start));
        start = end + 1;
    }
    auto url = URL::string(lines.front());
    if (!url) url = URL::string("https://www.example.com/app/page");
    lines.erase(lines.begin());

    const Date now = Date::fromTimeIntervalSince1970(1700000000);
    auto cookies = HTTPCookie::cookiesWithSetCookieLines(lines, *url, now);
    std::map<std::string, std::string> joined;
    for (const auto& line : lines) joined["Set-Cookie"] += (joined["Set-Cookie"].empty() ? "" : ", ") + line;
    (void)HTTPCookie::cookiesWithResponseHeaderFields(joined, *url, now);

    platform::HTTPCookieStorage storage;
    storage.setDateSource([now] { return now; });
    storage.setCookies(cookies, *url, std::nullopt);
    for (const auto& cookie : storage.cookiesForURL(*url)) {
        if (!cookie.matchesURL(*url)) std::abort();
        auto back = HTTPCookie::cookieWithProperties(cookie.properties(), now);
        if (!back) std::abort();
    }
    for (const auto& [name, value] : HTTPCookie::requestHeaderFieldsWithCookies(storage.cookies()))
        if (value.find_first_of("\r\n") != std::string::npos) std::abort();
    return 0;
}
