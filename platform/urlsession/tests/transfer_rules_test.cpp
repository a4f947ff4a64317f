// The rules a transfer applies, checked on their own: redirects, challenges, response heads.
#include <gtest/gtest.h>

#include "platform/urlsession/internal/AuthChallenges.h"
#include "platform/urlsession/internal/RedirectRules.h"
#include "platform/urlsession/internal/ResponseHead.h"

using namespace platform;
using namespace platform::urlsession_detail;

namespace {

URL u(const std::string& s) { return *URL::string(s); }

TEST(RedirectRulesTest, CredentialsAndCallerCookiesStayWithTheirOrigin) {
    struct Row {
        const char* from;
        const char* to;
        bool keeps;
    };
    const Row rows[] = {
        {"https://a.example/x", "https://a.example/y", true},
        {"https://a.example/x", "https://A.EXAMPLE:443/y", true},
        {"http://a.example/x", "http://a.example:80/y", true},
        {"https://a.example/x", "http://a.example/y", false},  // clear text on the same host
        {"https://a.example/x", "https://b.example/y", false},
        {"https://a.example/x", "https://a.example:8443/y", false},
        {"http://a.example:8080/x", "http://a.example:8081/y", false},
        {"https://a.example/x", "https://sub.a.example/y", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.from) + " -> " + row.to);
        URLRequest current(u(row.from));
        current.setValue("Basic dTpw", "Authorization");
        current.setValue("Basic cDpx", "Proxy-Authorization");
        current.setValue("session=1", "Cookie");
        current.setValue("kept", "X-Other");
        auto next = redirectedRequest(current, 302, u(row.to));
        EXPECT_EQ(next.url(), u(row.to));
        EXPECT_EQ(next.valueForHTTPHeaderField("Authorization").has_value(), row.keeps);
        EXPECT_EQ(next.valueForHTTPHeaderField("Proxy-Authorization").has_value(), row.keeps);
        EXPECT_EQ(next.valueForHTTPHeaderField("Cookie").has_value(), row.keeps);
        EXPECT_EQ(next.valueForHTTPHeaderField("X-Other"), "kept");
    }
}

TEST(RedirectRulesTest, MethodRewrites) {
    struct Row {
        int status;
        const char* method;
        const char* becomes;
        bool keepsBody;
    };
    const Row rows[] = {
        {301, "POST", "GET", false}, {302, "POST", "GET", false}, {303, "POST", "GET", false},
        {303, "PUT", "GET", false},  {303, "HEAD", "HEAD", true}, {307, "POST", "POST", true},
        {308, "PUT", "PUT", true},   {301, "PUT", "PUT", true},   {302, "DELETE", "DELETE", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.status) + " " + row.method);
        URLRequest current(u("https://a.example/form"));
        current.setHTTPMethod(row.method);
        current.setHTTPBody(Bytes{'a'});
        current.setValue("text/plain", "Content-Type");
        current.setValue("bytes=0-", "Range");
        auto next = redirectedRequest(current, row.status, u("https://a.example/next"));
        EXPECT_EQ(next.HTTPMethod(), row.becomes);
        EXPECT_EQ(next.HTTPBody().has_value(), row.keepsBody);
        EXPECT_EQ(next.valueForHTTPHeaderField("Content-Type").has_value(), row.keepsBody);
        EXPECT_FALSE(next.valueForHTTPHeaderField("Range"));
    }
    EXPECT_TRUE(isFollowableScheme(u("HTTPS://a.example/")));
    EXPECT_FALSE(isFollowableScheme(u("file:///etc/passwd")));
    EXPECT_FALSE(isFollowableScheme(u("data:text/plain,hi")));
}

TEST(AuthChallengesTest, ParsesTheGrammarNotSubstrings) {
    struct Row {
        const char* field;
        std::vector<std::string> schemes;
        std::optional<std::string> firstRealm;
    };
    const Row rows[] = {
        {"Basic realm=\"intranet\"", {"Basic"}, "intranet"},
        {"basic REALM=plain", {"basic"}, "plain"},
        {"Basic realm=\"a \\\"quoted\\\" realm\", charset=\"UTF-8\"", {"Basic"}, "a \"quoted\" realm"},
        {"Basic realm = \"spaced\"", {"Basic"}, "spaced"},
        // A parameter that merely ends in "realm=" is not the realm.
        {"Basic notrealm=\"evil\", realm=\"good\"", {"Basic"}, "good"},
        {"Basic foo=\"realm=evil\"", {"Basic"}, std::nullopt},
        {"Newauth realm=\"apps\", type=1, title=\"Login to \\\"apps\\\"\", Basic realm=\"simple\"",
         {"Newauth", "Basic"},
         "apps"},
        {"Negotiate abc123==, Basic realm=\"x\"", {"Negotiate", "Basic"}, std::nullopt},
        {"Bearer, Basic realm=x", {"Bearer", "Basic"}, std::nullopt},
        {"Basic realm=\"unterminated", {}, std::nullopt},
        {"Basic realm=\"ok\", Digest realm=", {"Basic", "Digest"}, "ok"},  // "realm=" is a token68 here
        {"", {}, std::nullopt},
        {", ,", {}, std::nullopt},
        {"=realm", {}, std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.field);
        auto parsed = parseAuthChallenges(row.field);
        std::vector<std::string> schemes;
        for (const auto& c : parsed) schemes.push_back(c.scheme);
        EXPECT_EQ(schemes, row.schemes);
        if (!parsed.empty()) {
            EXPECT_EQ(parsed[0].param("realm"), row.firstRealm);
        }
    }
    auto negotiate = parseAuthChallenges("Negotiate abc123==, Basic realm=\"x\"");
    EXPECT_EQ(negotiate.at(0).token68, "abc123==");
    EXPECT_EQ(negotiate.at(1).param("realm"), "x");
}

TEST(ResponseHeadTest, InterimAnswersTrailersAndFolds) {
    ResponseHead head;
    EXPECT_EQ(head.take("HTTP/1.1 100 Continue\r\n"), ResponseHead::Line::Status);
    EXPECT_EQ(head.take("\r\n"), ResponseHead::Line::End);
    EXPECT_EQ(head.take("HTTP/1.1 200 OK\r\n"), ResponseHead::Line::Status);
    EXPECT_EQ(head.take("X-Folded: one\r\n"), ResponseHead::Line::Field);
    EXPECT_EQ(head.take("\t two\r\n"), ResponseHead::Line::Field);
    EXPECT_EQ(head.take("Set-Cookie: a=1\r\n"), ResponseHead::Line::Field);
    EXPECT_EQ(head.take("\r\n"), ResponseHead::Line::End);
    EXPECT_EQ(head.take("X-Trailer: late\r\n"), ResponseHead::Line::Ignored);
    EXPECT_EQ(head.status(), 200);
    EXPECT_EQ(head.version(), "HTTP/1.1");
    auto fields = head.takeFields();
    EXPECT_EQ(*fields.find("x-folded"), "one two");
    EXPECT_FALSE(fields.find("X-Trailer"));
    EXPECT_EQ(head.setCookies(), std::vector<std::string>{"a=1"});

    EXPECT_TRUE(parseStatusLine("HTTP/2 204"));
    EXPECT_FALSE(parseStatusLine("HTTP/1.1 20"));
    EXPECT_FALSE(parseStatusLine("HTTP/1.1 2000 x"));
    EXPECT_FALSE(parseStatusLine("ICY 200 OK"));
}

// A field is judged on its value as joined from its folds; a CR, LF or NUL inside a line is refused.
TEST(ResponseHeadTest, FoldsAreJoinedBeforeTheFieldIsReadAndStrayLineEndsAreRefused) {
    struct Row {
        std::vector<std::string> lines;
        const char* name;
        std::optional<std::string> value;  // nullopt: the head is malformed
    };
    const Row rows[] = {
        {{"Content-Length: 3", " 4"}, "Content-Length", std::nullopt},
        {{"Content-Length: 3", "Content-Length: 3", "\t4"}, "Content-Length", std::nullopt},
        {{"Content-Length: 3,", "  3"}, "Content-Length", "3"},
        {{"Content-Length: 3", "X-After: 4"}, "Content-Length", "3"},
        {{"Set-Cookie: a=1;", " Path=/"}, "Set-Cookie", "a=1; Path=/"},
        {{std::string("L:\r\xff")}, "L", std::nullopt},
        {{"X-Value: a\r"}, "X-Value", std::nullopt},
        {{std::string("X-Value: a\0b", 12)}, "X-Value", std::nullopt},
        {{" fold before any field"}, "X", std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.lines.front());
        ResponseHead head;
        ResponseHead::Line last = head.take("HTTP/1.1 200 OK\r\n");
        for (const auto& line : row.lines)
            if (last != ResponseHead::Line::Malformed) last = head.take(line + "\r\n");
        if (last != ResponseHead::Line::Malformed) last = head.take("\r\n");
        if (!row.value) {
            EXPECT_EQ(last, ResponseHead::Line::Malformed);
            continue;
        }
        ASSERT_EQ(last, ResponseHead::Line::End) << head.problem();
        auto fields = head.takeFields();
        ASSERT_TRUE(fields.find(row.name));
        EXPECT_EQ(*fields.find(row.name), *row.value);
        if (std::string_view(row.name) == "Set-Cookie") {
            EXPECT_EQ(head.setCookies(), std::vector{*row.value});
        }
    }
}

}  // namespace
