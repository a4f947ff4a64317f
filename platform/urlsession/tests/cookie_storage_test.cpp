#include <gtest/gtest.h>

#include <thread>

#include "platform/urlsession/HTTPCookieStorage.h"

using platform::Date;
using platform::HTTPCookie;
using platform::HTTPCookieAcceptPolicy;
using platform::HTTPCookieStorage;
using platform::URL;

namespace {

URL url(const char* text) { return *URL::string(text); }

class CookieStorageTest : public ::testing::Test {
protected:
    void SetUp() override {
        storage.setDateSource([this] { return now; });
    }
    // Parses and stores what a response from `from` set.
    void respond(const char* from, std::vector<std::string> lines, const char* mainDocument = nullptr) {
        URL u = url(from);
        auto cookies = HTTPCookie::cookiesWithSetCookieLines(lines, u, now);
        storage.setCookies(cookies, u, mainDocument ? std::optional<URL>(url(mainDocument)) : std::nullopt);
    }
    std::vector<std::string> namesFor(const char* target) {
        std::vector<std::string> names;
        for (const auto& c : storage.cookiesForURL(url(target))) names.push_back(c.name() + "=" + c.value());
        return names;
    }

    Date now = Date::fromTimeIntervalSince1970(1700000000);
    HTTPCookieStorage storage;
};

using Names = std::vector<std::string>;

TEST_F(CookieStorageTest, SendsCookiesOnlyToTheirDomainAndPath) {
    respond("https://www.example.com/app/login",
            {"host=1", "dom=2; Domain=example.com; Path=/", "root=3; Path=/", "sec=4; Secure; Path=/"});
    respond("https://other.test/", {"other=5"});
    struct Case {
        const char* url;
        Names expected;
    };
    const Case cases[] = {
        {"https://www.example.com/app/x", {"host=1", "dom=2", "root=3", "sec=4"}},
        {"https://www.example.com/", {"dom=2", "root=3", "sec=4"}},
        {"http://www.example.com/app/", {"host=1", "dom=2", "root=3"}},
        {"https://api.example.com/app/", {"dom=2"}},
        {"https://example.com/", {"dom=2"}},
        {"https://badexample.com/", {}},
        {"https://other.test/x", {"other=5"}},
        {"file:///app/", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(namesFor(c.url), c.expected) << c.url;
}

TEST_F(CookieStorageTest, OrdersByPathLengthThenCreation) {
    respond("https://h.example/", {"b=1; Path=/"});
    now = now.addingTimeInterval(1);
    respond("https://h.example/", {"a=1; Path=/"});
    respond("https://h.example/", {"deep=1; Path=/x/y", "mid=1; Path=/x"});
    EXPECT_EQ(namesFor("https://h.example/x/y/z"), (Names{"deep=1", "mid=1", "b=1", "a=1"}));
    EXPECT_EQ(HTTPCookie::requestHeaderFieldsWithCookies(storage.cookiesForURL(url("https://h.example/x")))["Cookie"],
              "mid=1; b=1; a=1");
}

TEST_F(CookieStorageTest, ReplacementKeepsCreationTime) {
    respond("https://h.example/", {"first=1"});
    now = now.addingTimeInterval(1);
    respond("https://h.example/", {"second=1"});
    now = now.addingTimeInterval(1);
    respond("https://h.example/", {"first=2"});
    EXPECT_EQ(namesFor("https://h.example/"), (Names{"first=2", "second=1"}));
    // Same name on another path is another cookie.
    respond("https://h.example/", {"first=3; Path=/p"});
    EXPECT_EQ(storage.cookies().size(), 3u);
}

TEST_F(CookieStorageTest, ExpiryDeletesAndHidesCookies) {
    respond("https://h.example/", {"gone=1; Max-Age=10", "kept=1", "dies=1"});
    respond("https://h.example/", {"dies=x; Expires=Thu, 01 Jan 1970 00:00:00 GMT"});
    EXPECT_EQ(namesFor("https://h.example/"), (Names{"gone=1", "kept=1"}));
    now = now.addingTimeInterval(10);
    EXPECT_EQ(namesFor("https://h.example/"), (Names{"kept=1"}));
    EXPECT_EQ(storage.cookies().size(), 1u);
}

TEST_F(CookieStorageTest, RefusesCookiesThatDoNotBelongToTheURL) {
    auto forOther = HTTPCookie::cookiesWithSetCookieLines({"a=1"}, url("https://evil.test/"), now);
    storage.setCookies(forOther, url("https://h.example/"), std::nullopt);
    auto tld = HTTPCookie::cookieWithProperties(
        platform::Value::dictionary({{"Name", "t"}, {"Value", "1"}, {"Domain", ".com"}}), now);
    ASSERT_TRUE(tld);
    storage.setCookie(*tld);
    EXPECT_TRUE(storage.cookies().empty());
}

TEST_F(CookieStorageTest, PlainHTTPCannotReplaceOrShadowASecureCookie) {
    respond("https://www.example.com/", {"sid=good; Secure; Path=/", "pref=1; Path=/"});
    struct Row {
        const char* from;
        const char* line;
        bool taken;
    };
    const Row rows[] = {
        {"http://www.example.com/", "sid=evil; Path=/", false},
        {"http://www.example.com/app/x", "sid=evil; Path=/app", false},  // would be sent first
        {"http://sub.www.example.com/", "sid=evil; Domain=www.example.com; Path=/", false},
        {"http://www.example.com/", "pref=2; Path=/", true},  // not a Secure cookie
        {"http://www.example.com/", "other=1; Path=/", true},
        {"https://www.example.com/", "sid=better; Secure; Path=/", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.from) + " " + row.line);
        size_t before = storage.cookies().size();
        auto value = std::string(row.line).substr(0, std::string(row.line).find(';'));
        respond(row.from, {row.line});
        bool present = false;
        for (const auto& c : storage.cookies()) present |= c.name() + "=" + c.value() == value;
        EXPECT_EQ(present, row.taken);
        if (!row.taken) {
            EXPECT_EQ(storage.cookies().size(), before);
        }
    }
}

TEST_F(CookieStorageTest, AcceptPolicy) {
    storage.setCookieAcceptPolicy(HTTPCookieAcceptPolicy::Never);
    respond("https://h.example/", {"a=1"});
    EXPECT_TRUE(storage.cookies().empty());

    storage.setCookieAcceptPolicy(HTTPCookieAcceptPolicy::OnlyFromMainDocumentDomain);
    respond("https://tracker.test/", {"third=1"}, "https://www.h.example/");
    respond("https://api.h.example/", {"first=1; Domain=h.example"}, "https://www.h.example/");
    respond("https://api.h.example/", {"nomain=1"});
    EXPECT_EQ(namesFor("https://api.h.example/"), (Names{"first=1", "nomain=1"}));
    EXPECT_EQ(namesFor("https://tracker.test/"), Names{});
}

TEST_F(CookieStorageTest, DeleteAndRemoveSinceDate) {
    respond("https://h.example/", {"old=1", "other=1; Path=/x"});
    Date cut = now.addingTimeInterval(5);
    now = cut;
    respond("https://h.example/", {"new=1"});
    storage.removeCookiesSinceDate(cut);
    EXPECT_EQ(namesFor("https://h.example/x"), (Names{"other=1", "old=1"}));
    storage.deleteCookie(*HTTPCookie::parseSetCookie("old=whatever", url("https://h.example/"), now));
    EXPECT_EQ(namesFor("https://h.example/x"), (Names{"other=1"}));
    storage.removeAllCookies();
    EXPECT_TRUE(storage.cookies().empty());
}

TEST_F(CookieStorageTest, SharedJarIsOneAndSeparateJarsAreSeparate) {
    EXPECT_EQ(HTTPCookieStorage::shared(), HTTPCookieStorage::shared());
    HTTPCookieStorage other;
    respond("https://h.example/", {"a=1"});
    EXPECT_TRUE(other.cookiesForURL(url("https://h.example/")).empty());
}

TEST_F(CookieStorageTest, BoundsCookiesPerDomain) {
    std::vector<std::string> lines;
    for (int i = 0; i < 500; ++i) lines.push_back("c" + std::to_string(i) + "=1");
    respond("https://h.example/", lines);
    auto stored = storage.cookies();
    EXPECT_LT(stored.size(), 500u);
    EXPECT_EQ(stored.back().name(), "c499");  // the newest survive
}

TEST_F(CookieStorageTest, ConcurrentWritersAndReaders) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 200; ++i) {
                auto cookies = HTTPCookie::cookiesWithSetCookieLines(
                    {"t" + std::to_string(t) + "=" + std::to_string(i)}, url("https://h.example/"), Date::now());
                storage.setCookies(cookies, url("https://h.example/"), std::nullopt);
                (void)storage.cookiesForURL(url("https://h.example/"));
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(namesFor("https://h.example/").size(), 4u);
}

}  // namespace
