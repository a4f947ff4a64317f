#include <gtest/gtest.h>

#include "platform/foundation/HTTPCookie.h"
#include "platform/foundation/URLRequest.h"

using platform::Date;
using platform::HTTPCookie;
using platform::URL;
using platform::Value;

namespace {

const Date kNow = Date::fromTimeIntervalSince1970(1700000000);

URL url(const char* text) { return *URL::string(text); }

std::optional<HTTPCookie> parse(const char* line, const char* from = "https://www.example.com/app/page") {
    return HTTPCookie::parseSetCookie(line, url(from), kNow);
}

TEST(HTTPCookieTest, ParsesNameValueAndAttributes) {
    auto c = parse(" sid = a b ; Path=/app; Secure; HttpOnly; SameSite=Lax; Max-Age=60");
    ASSERT_TRUE(c);
    EXPECT_EQ(c->name(), "sid");
    EXPECT_EQ(c->value(), "a b");
    EXPECT_EQ(c->domain(), "www.example.com");
    EXPECT_TRUE(c->isHostOnly());
    EXPECT_EQ(c->path(), "/app");
    EXPECT_TRUE(c->isSecure());
    EXPECT_TRUE(c->isHTTPOnly());
    EXPECT_EQ(c->sameSitePolicy(), "lax");
    EXPECT_FALSE(c->isSessionOnly());
    EXPECT_EQ(c->expiresDate(), kNow.addingTimeInterval(60));
}

TEST(HTTPCookieTest, IgnoredLines) {
    const char* ignored[] = {
        "",
        "novalue",
        "=v",
        "  =v",
        "a=b\r\nSet-Cookie: x=y",
        "a=b\x01",
        "a=b; Domain=other.com",
        "a=b; Domain=com",
        "a=b; Domain=.com",
        "a=b; Domain=ample.com",  // suffix without a dot boundary
        "a=b; Domain=sub.www.example.com",
    };
    for (const char* line : ignored) EXPECT_FALSE(parse(line)) << line;
    EXPECT_FALSE(HTTPCookie::parseSetCookie("a=b", url("file:///tmp/x"), kNow));
    EXPECT_FALSE(HTTPCookie::parseSetCookie("a=b", url("http://odd,host/"), kNow));
    EXPECT_FALSE(parse(("a=" + std::string(5000, 'x')).c_str()));
}

TEST(HTTPCookieTest, DomainAttribute) {
    struct Case {
        const char* line;
        const char* from;
        const char* domain;
    };
    const Case cases[] = {
        {"a=b", "https://WWW.Example.com/", "www.example.com"},
        {"a=b; Domain=example.com", "https://www.example.com/", ".example.com"},
        {"a=b; Domain=.EXAMPLE.com", "https://www.example.com/", ".example.com"},
        {"a=b; Domain=www.example.com", "https://www.example.com/", ".www.example.com"},
        {"a=b; Domain=", "https://www.example.com/", "www.example.com"},
        {"a=b; Domain=localhost", "http://localhost:8080/", "localhost"},
        {"a=b; Domain=127.0.0.1", "http://127.0.0.1/", "127.0.0.1"},
        {"a=b; Domain=example.com; Domain=www.example.com", "https://www.example.com/", ".www.example.com"},
    };
    for (const auto& c : cases) {
        auto cookie = HTTPCookie::parseSetCookie(c.line, url(c.from), kNow);
        ASSERT_TRUE(cookie) << c.line;
        EXPECT_EQ(cookie->domain(), c.domain) << c.line;
    }
    EXPECT_FALSE(HTTPCookie::parseSetCookie("a=b; Domain=0.0.1", url("http://127.0.0.1/"), kNow));
}

TEST(HTTPCookieTest, PublicSuffixesSecureOriginsAndNamePrefixes) {
    struct Case {
        const char* line;
        const char* from;
        const char* domain;  // nullptr: ignored
    };
    const Case cases[] = {
        {"a=v; Domain=co.uk", "http://shop.example.co.uk/", nullptr},
        {"a=v; Domain=.CO.UK", "http://shop.example.co.uk/", nullptr},
        {"a=v; Domain=github.io", "https://me.github.io/", nullptr},
        {"a=v; Domain=example.co.uk", "http://shop.example.co.uk/", ".example.co.uk"},
        // The suffix itself answering: the cookie stays with that host alone.
        {"a=v; Domain=github.io", "https://github.io/", "github.io"},
        {"a=v; Secure", "http://www.example.com/", nullptr},
        {"a=v; Secure", "https://www.example.com/", "www.example.com"},
        {"__Secure-a=v", "https://www.example.com/", nullptr},
        {"__Secure-a=v; Secure", "http://www.example.com/", nullptr},
        {"__secure-a=v; Secure", "http://www.example.com/", nullptr},
        {"__Secure-a=v; Secure; Domain=example.com", "https://www.example.com/", ".example.com"},
        {"__Host-a=v; Secure; Path=/", "https://www.example.com/", "www.example.com"},
        {"__Host-a=v; Secure; Path=/", "http://www.example.com/", nullptr},
        {"__Host-a=v; Secure", "https://www.example.com/app/x", nullptr},
        {"__Host-a=v; Secure; Path=/app", "https://www.example.com/", nullptr},
        {"__HOST-a=v; Secure; Path=/; Domain=www.example.com", "https://www.example.com/", nullptr},
        {"__Host-a=v; Path=/", "https://www.example.com/", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.line) + " from " + c.from);
        auto cookie = HTTPCookie::parseSetCookie(c.line, url(c.from), kNow);
        if (!c.domain) {
            EXPECT_FALSE(cookie);
            continue;
        }
        ASSERT_TRUE(cookie);
        EXPECT_EQ(cookie->domain(), c.domain);
    }
}

TEST(HTTPCookieTest, DefaultAndExplicitPath) {
    struct Case {
        const char* line;
        const char* from;
        const char* path;
    };
    const Case cases[] = {
        {"a=b", "https://h.example/", "/"},
        {"a=b", "https://h.example", "/"},
        {"a=b", "https://h.example/login", "/"},
        {"a=b", "https://h.example/app/login", "/app"},
        {"a=b", "https://h.example/app/dir/", "/app/dir"},
        {"a=b; Path=relative", "https://h.example/app/login", "/app"},
        {"a=b; Path=", "https://h.example/app/login", "/app"},
        {"a=b; Path=/x/", "https://h.example/app/login", "/x/"},
    };
    for (const auto& c : cases) {
        auto cookie = HTTPCookie::parseSetCookie(c.line, url(c.from), kNow);
        ASSERT_TRUE(cookie) << c.line;
        EXPECT_EQ(cookie->path(), c.path) << c.line << " from " << c.from;
    }
}

TEST(HTTPCookieTest, Expiry) {
    struct Case {
        const char* line;
        std::optional<Date> expires;
    };
    const Case cases[] = {
        {"a=b", std::nullopt},
        {"a=b; Expires=Wed, 09 Jun 2021 10:18:14 GMT", Date::fromTimeIntervalSince1970(1623233894)},
        {"a=b; Expires=not a date", std::nullopt},
        {"a=b; Max-Age=10; Expires=Wed, 09 Jun 2021 10:18:14 GMT", kNow.addingTimeInterval(10)},
        {"a=b; Expires=Wed, 09 Jun 2021 10:18:14 GMT; Max-Age=10", kNow.addingTimeInterval(10)},
        {"a=b; Max-Age=0", Date::distantPast()},
        {"a=b; Max-Age=-5", Date::distantPast()},
        {"a=b; Max-Age=+5", std::nullopt},
        {"a=b; Max-Age=5x", std::nullopt},
        {"a=b; Max-Age=99999999999999999999999", Date::distantFuture()},
    };
    for (const auto& c : cases) {
        auto cookie = parse(c.line);
        ASSERT_TRUE(cookie) << c.line;
        EXPECT_EQ(cookie->expiresDate(), c.expires) << c.line;
    }
    EXPECT_TRUE(parse("a=b; Max-Age=0")->isExpired(kNow));
    EXPECT_FALSE(parse("a=b; Max-Age=1")->isExpired(kNow));
}

TEST(HTTPCookieTest, ResponseHeaderFieldsSplitJoinedCookies) {
    std::map<std::string, std::string> headers{
        {"set-cookie", "a=1; Expires=Wed, 09 Jun 2031 10:18:14 GMT; Path=/, b=2, bad, c=3; Secure"},
        {"Content-Type", "text/html"}};
    auto cookies = HTTPCookie::cookiesWithResponseHeaderFields(headers, url("https://h.example/"), kNow);
    ASSERT_EQ(cookies.size(), 3u);
    EXPECT_EQ(cookies[0].name(), "a");
    EXPECT_TRUE(cookies[0].expiresDate().has_value());
    EXPECT_EQ(cookies[1].name(), "b");
    EXPECT_EQ(cookies[1].value(), "2, bad");
    EXPECT_EQ(cookies[2].name(), "c");
    EXPECT_TRUE(cookies[2].isSecure());

    platform::HTTPHeaderFields fields;
    fields.set("Set-Cookie", "x=1");
    EXPECT_EQ(HTTPCookie::cookiesWithResponseHeaderFields(fields, url("https://h.example/"), kNow).size(), 1u);
}

TEST(HTTPCookieTest, RequestHeader) {
    auto cookies = HTTPCookie::cookiesWithSetCookieLines({"a=b", "c=d"}, url("https://h.example/"), kNow);
    auto fields = HTTPCookie::requestHeaderFieldsWithCookies(cookies);
    EXPECT_EQ(fields, (std::map<std::string, std::string>{{"Cookie", "a=b; c=d"}}));
    EXPECT_TRUE(HTTPCookie::requestHeaderFieldsWithCookies({}).empty());
}

TEST(HTTPCookieTest, PropertiesRoundTrip) {
    auto cookie =
        HTTPCookie::cookieWithProperties(Value::dictionary({{"Name", "PHPSESSID"},
                                                            {"Value", "abc"},
                                                            {"Domain", ".Example.com"},
                                                            {"Path", "/"},
                                                            {"Secure", "TRUE"},
                                                            {"Expires", Date::fromTimeIntervalSince1970(1800000000)}}),
                                         kNow);
    ASSERT_TRUE(cookie);
    EXPECT_EQ(cookie->domain(), ".example.com");
    EXPECT_TRUE(cookie->isSecure());
    EXPECT_FALSE(cookie->isHTTPOnly());
    auto back = HTTPCookie::cookieWithProperties(cookie->properties(), kNow);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, *cookie);

    auto fromOrigin = HTTPCookie::cookieWithProperties(Value::dictionary({{"Name", "n"},
                                                                          {"Value", "v"},
                                                                          {"OriginURL", "https://Host.example/x"},
                                                                          {"Max-Age", "30"},
                                                                          {"Expires", Date::distantFuture()}}),
                                                       kNow);
    ASSERT_TRUE(fromOrigin);
    EXPECT_EQ(fromOrigin->domain(), "host.example");
    EXPECT_EQ(fromOrigin->path(), "/");
    EXPECT_EQ(fromOrigin->expiresDate(), kNow.addingTimeInterval(30));

    auto session = HTTPCookie::cookieWithProperties(
        Value::dictionary(
            {{"Name", "n"}, {"Value", "v"}, {"Domain", "h"}, {"Discard", "TRUE"}, {"Expires", Date::distantFuture()}}),
        kNow);
    ASSERT_TRUE(session);
    EXPECT_TRUE(session->isSessionOnly());

    const Value refused[] = {
        Value::dictionary({{"Value", "v"}, {"Domain", "h"}}),
        Value::dictionary({{"Name", "n"}, {"Domain", "h"}}),
        Value::dictionary({{"Name", "n"}, {"Value", "v"}}),
        Value::dictionary({{"Name", "n"}, {"Value", "v\r\nX: y"}, {"Domain", "h"}}),
        Value::dictionary({{"Name", "n"}, {"Value", 5}, {"Domain", "h"}}),
        Value::dictionary({{"Name", "n"}, {"Value", "v"}, {"Domain", ""}}),
        Value::array({"n", "v"}),
    };
    for (const auto& props : refused)
        EXPECT_FALSE(HTTPCookie::cookieWithProperties(props, kNow)) << props.description();
}

TEST(HTTPCookieTest, MatchesURL) {
    auto hostOnly = *parse("a=b; Path=/app", "https://www.example.com/");
    auto domain = *parse("a=b; Domain=example.com; Path=/app/", "https://www.example.com/");
    auto secure = *parse("a=b; Secure", "https://www.example.com/");
    struct Case {
        const HTTPCookie& cookie;
        const char* url;
        bool matches;
    };
    const Case cases[] = {
        {hostOnly, "https://www.example.com/app", true}, {hostOnly, "https://WWW.EXAMPLE.COM/app/x", true},
        {hostOnly, "http://www.example.com/app/", true}, {hostOnly, "https://www.example.com/apple", false},
        {hostOnly, "https://www.example.com/", false},   {hostOnly, "https://sub.www.example.com/app", false},
        {hostOnly, "https://example.com/app", false},    {domain, "https://example.com/app/", true},
        {domain, "https://a.b.example.com/app/x", true}, {domain, "https://example.com/app", false},
        {domain, "https://badexample.com/app/", false},  {domain, "https://example.com.evil.test/app/", false},
        {secure, "https://www.example.com/", true},      {secure, "http://www.example.com/", false},
    };
    for (const auto& c : cases) EXPECT_EQ(c.cookie.matchesURL(url(c.url)), c.matches) << c.url;
}

TEST(HTTPCookieTest, MatchingRules) {
    using namespace platform::cookie_rules;
    EXPECT_TRUE(domainMatches("a.example.com", "example.com"));
    EXPECT_TRUE(domainMatches("Example.COM", "example.com"));
    EXPECT_FALSE(domainMatches("xexample.com", "example.com"));
    EXPECT_FALSE(domainMatches("example.com", "a.example.com"));
    EXPECT_FALSE(domainMatches("1.2.3.4", "2.3.4"));
    EXPECT_TRUE(pathMatches("/a/b", "/a"));
    EXPECT_TRUE(pathMatches("/a/b", "/a/"));
    EXPECT_TRUE(pathMatches("/a", "/a"));
    EXPECT_FALSE(pathMatches("/ab", "/a"));
    EXPECT_FALSE(pathMatches("/", "/a"));
}

// Which pages count as the same site for SameSite cookies, and which cookies go with a request another
// site started.
TEST(HTTPCookieTest, SameSite) {
    struct Row {
        const char* a;
        const char* b;
        bool same;
    } rows[] = {
        {"https://intranet.example.com/", "https://www.Example.com:8443/x", true},
        {"https://example.com/", "http://example.com/", true},  // the scheme plays no part
        {"https://shop.example.co.uk/", "https://example.co.uk/", true},
        {"https://a.co.uk/", "https://b.co.uk/", false},
        {"https://example.com/", "https://example.org/", false},
        {"https://a.github.io/", "https://b.github.io/", false},  // a public suffix of its own
        {"http://127.0.0.1:80/", "http://127.0.0.1:8080/", true},
        {"http://127.0.0.1/", "http://127.0.0.2/", false},
        {"about:blank", "about:blank", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(platform::cookie_rules::isSameSite(url(row.a), url(row.b)), row.same) << row.a << " " << row.b;

    struct Sent {
        const char* line;
        bool safeTopLevelNavigation;
        bool goes;
    } sent[] = {
        {"s=1; SameSite=Strict", true, false},
        {"s=1; SameSite=Lax", true, true},
        {"s=1; SameSite=Lax", false, false},
        {"s=1; SameSite=None", false, true},
        {"s=1", false, true},
    };
    for (const auto& row : sent)
        EXPECT_EQ(parse(row.line)->goesCrossSite(row.safeTopLevelNavigation), row.goes) << row.line;
}

}  // namespace
