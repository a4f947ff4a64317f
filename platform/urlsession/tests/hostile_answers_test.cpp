// Servers that lie: every answer below comes from a raw socket, byte for byte as scripted.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <map>

#include "platform/foundation/DeviceEvents.h"
#include "platform/urlsession/internal/AuthChallenges.h"
#include "platform/urlsession/tests/SessionTestSupport.h"
#include "testing/HostileHttpServer.h"

using namespace urlsession_test;
using tesmar_testing::HostileHttpServer;

namespace {

std::string manyHeaders(size_t count) {
    std::vector<std::string> fields{"Content-Length: 2"};
    for (size_t i = 0; i < count; ++i) fields.push_back("X-H" + std::to_string(i) + ": v");
    return HostileHttpServer::answer("HTTP/1.1 200 OK", fields, "ok");
}

class HostileAnswerTest : public ::testing::Test {
protected:
    DeviceRoot device;
};

TEST_F(HostileAnswerTest, LyingHeadsFailAsBadServerResponse) {
    struct Row {
        const char* name;
        std::string answer;
        int code;  // 0: success
        std::string body{};
    };
    const std::vector<Row> rows = {
        {"two different lengths",
         HostileHttpServer::answer("HTTP/1.1 200 OK", {"Content-Length: 10", "Content-Length: 3"}, "0123456789"),
         -1011},
        {"a list of different lengths",
         HostileHttpServer::answer("HTTP/1.1 200 OK", {"Content-Length: 10, 3"}, "0123456789"), -1011},
        {"a length that is not a number", HostileHttpServer::answer("HTTP/1.1 200 OK", {"Content-Length: 1e3"}, "x"),
         -1011},
        {"the same length twice is one length",
         HostileHttpServer::answer("HTTP/1.1 200 OK", {"Content-Length: 3", "content-length: 3"}, "abc"), 0, "abc"},
        {"garbage for a status line", "HELLO THERE\r\n\r\nbody", -1011},
        {"a status that is not a number", HostileHttpServer::answer("HTTP/1.1 2x0 OK", {"Content-Length: 0"}), -1011},
        {"a status out of range", HostileHttpServer::answer("HTTP/1.1 999 Odd", {"Content-Length: 0"}), -1011},
        {"a header line over our limit",
         HostileHttpServer::answer("HTTP/1.1 200 OK", {"X-Long: " + std::string(70 * 1024, 'a'), "Content-Length: 0"}),
         -1011},
        {"a header line over curl's own limit",
         HostileHttpServer::answer("HTTP/1.1 200 OK", {"X-Long: " + std::string(300 * 1024, 'a'), "Content-Length: 0"}),
         -1011},
        {"a length folded into another number",
         HostileHttpServer::answer("HTTP/1.1 200 OK", {"Content-Length: 3", " 4"}, "abc"), -1011},
        {"a header name with a space",
         HostileHttpServer::answer("HTTP/1.1 200 OK", {"Bad Name: x", "Content-Length: 0"}), -1011},
    };
    auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::ephemeralSessionConfiguration());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        HostileHttpServer server([&](const HostileHttpServer::Request&) { return row.answer; });
        auto r = fetch(session, URLRequest(url(server.url("/"))));
        if (row.code == 0) {
            ASSERT_FALSE(r.error) << r.error->description();
            EXPECT_EQ(r.body, row.body);
            EXPECT_EQ(r.response->valueForHTTPHeaderField("Content-Length"), std::to_string(row.body.size()));
        } else {
            ASSERT_TRUE(r.error);
            EXPECT_EQ(r.error->domain, "NSURLErrorDomain");
            EXPECT_EQ(r.error->code, row.code);
        }
    }
    session->invalidateAndCancel();
}

TEST_F(HostileAnswerTest, ManyHeadersAreAllKeptAndJoinedByName) {
    constexpr size_t kCount = 16000;
    HostileHttpServer server(
        [&](const HostileHttpServer::Request&) { return manyHeaders(kCount).insert(17, "Vary: a\r\nvary: b\r\n"); });
    auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::ephemeralSessionConfiguration());
    auto r = fetch(session, URLRequest(url(server.url("/"))));
    ASSERT_FALSE(r.error) << r.error->description();
    EXPECT_EQ(r.body, "ok");
    EXPECT_EQ(r.response->allHeaderFields().size(), kCount + 2);
    EXPECT_EQ(r.response->valueForHTTPHeaderField("X-H15999"), "v");
    EXPECT_EQ(r.response->valueForHTTPHeaderField("VARY"), "a, b");
    session->invalidateAndCancel();
}

TEST_F(HostileAnswerTest, AnInflatingBodyStopsAtTheSessionMaximumWithWhatWasDeliveredKept) {
    constexpr size_t kInflated = 8 << 20;
    const std::string bomb = HostileHttpServer::gzipOfZeros(kInflated);
    ASSERT_LT(bomb.size(), 64u * 1024);
    HostileHttpServer server([&](const HostileHttpServer::Request&) {
        return HostileHttpServer::answer(
            "HTTP/1.1 200 OK", {"Content-Encoding: gzip", "Content-Length: " + std::to_string(bomb.size())}, bomb);
    });
    auto config = URLSessionConfiguration::ephemeralSessionConfiguration();
    EXPECT_EQ(config.maximumDataTaskBodyLength, int64_t(64) << 20);
    config.maximumDataTaskBodyLength = 1 << 20;

    // A completion handler: the body is never collected past the maximum.
    auto plain = URLSession::sessionWithConfiguration(config);
    auto r = fetch(plain, URLRequest(url(server.url("/"))));
    ASSERT_TRUE(r.error);
    EXPECT_EQ(r.error->code, int(URLErrorCode::DataLengthExceedsMaximum));
    plain->invalidateAndCancel();

    // A delegate: what it received stays received, within the maximum.
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->countOnly = true;
    auto withDelegate = URLSession::sessionWithConfiguration(config, delegate, nullptr);
    withDelegate->dataTaskWithURL(url(server.url("/")))->resume();
    ASSERT_TRUE(delegate->waitForPrefix("complete "));
    EXPECT_EQ(delegate->snapshot().back(), "complete -1103");
    {
        std::lock_guard lock(delegate->m_);
        EXPECT_GT(delegate->received, 0u);
        EXPECT_LE(delegate->received, size_t(1) << 20);
    }

    // A download goes to disk: no maximum.
    auto task = withDelegate->downloadTaskWithURL(url(server.url("/")));
    task->resume();
    ASSERT_TRUE(delegate->waitForCount("finished", 1));
    EXPECT_EQ(delegate->downloadedSize, int64_t(kInflated));
    withDelegate->invalidateAndCancel();
}

// A web view's request line spells its escapes as the real engine's does; other requests go as given.
TEST_F(HostileAnswerTest, AWebViewsRequestLineSpellsEscapesAsTheRealEngine) {
    HostileHttpServer server([](const HostileHttpServer::Request&) {
        return HostileHttpServer::answer("HTTP/1.1 200 OK", {"Content-Length: 2"}, "ok");
    });
    struct Row {
        const char* path;
        bool page;
        const char* target;
    } rows[] = {
        {"/p%7e%41%2D%2e%5F%2f/x?q=%7E%c3%a9%20+", true, "/p~A-._%2F/x?q=~%C3%A9%20+"},
        {"/p%7e?q=%7E%c3%a9", false, "/p%7e?q=%7E%c3%a9"},
    };
    auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::ephemeralSessionConfiguration());
    for (const auto& row : rows) {
        URLRequest request(url(server.url(row.path)));
        if (row.page) request.setMainDocumentURL(request.url());
        auto r = fetch(session, request);
        ASSERT_FALSE(r.error) << r.error->description();
        EXPECT_EQ(server.requests().back().target, row.target) << row.path;
    }
}

TEST_F(HostileAnswerTest, RedirectsCarryCredentialsAndCallerCookiesOnlyWithinTheOrigin) {
    HostileHttpServer other([](const HostileHttpServer::Request&) {
        return HostileHttpServer::answer("HTTP/1.1 200 OK", {"Content-Length: 5"}, "other");
    });
    std::mutex targetMutex;  // the server thread reads what the test sets
    std::string target;
    HostileHttpServer first([&](const HostileHttpServer::Request& r) {
        std::lock_guard lock(targetMutex);
        if (r.target == "/start")
            return HostileHttpServer::answer("HTTP/1.1 302 Found", {"Location: " + target, "Content-Length: 0"});
        return HostileHttpServer::answer("HTTP/1.1 200 OK", {"Content-Length: 4"}, "same");
    });
    struct Row {
        std::string name;
        std::string location;
        bool keeps;
    };
    const std::vector<Row> rows = {
        {"same origin", first.url("/next"), true},
        {"same host, other port", other.url("/next"), false},
        {"other host", "http://localhost:" + std::to_string(other.port()) + "/next", false},
    };
    auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::ephemeralSessionConfiguration());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        {
            std::lock_guard lock(targetMutex);
            target = row.location;
        }
        size_t before = first.requests().size() + other.requests().size();
        URLRequest request(url(first.url("/start")));
        request.setValue("Basic dXNlcjpzZWNyZXQ=", "Authorization");
        request.setValue("Basic cHJveHk6c2VjcmV0", "Proxy-Authorization");
        request.setValue("session=caller", "Cookie");
        auto r = fetch(session, request);
        ASSERT_FALSE(r.error) << r.error->description();
        auto all = first.requests();
        for (const auto& more : other.requests()) all.push_back(more);
        ASSERT_EQ(all.size(), before + 2);
        const auto followed = (row.keeps ? first.requests() : other.requests()).back();
        EXPECT_EQ(followed.target, "/next");
        EXPECT_EQ(followed.header("Authorization").has_value(), row.keeps);
        EXPECT_EQ(followed.header("Proxy-Authorization").has_value(), row.keeps);
        EXPECT_EQ(followed.header("Cookie").has_value(), row.keeps);
    }
    session->invalidateAndCancel();
}

TEST_F(HostileAnswerTest, ARedirectOutOfHTTPIsNotFollowedEvenWhenTheDelegateAllowsIt) {
    for (const char* location : {"file:///etc/passwd", "data:text/plain,hi", "ftp://127.0.0.1/x"}) {
        SCOPED_TRACE(location);
        HostileHttpServer server([&](const HostileHttpServer::Request&) {
            return HostileHttpServer::answer("HTTP/1.1 302 Found",
                                             {std::string("Location: ") + location, "Content-Length: 0"});
        });
        std::mutex m;
        std::vector<std::string> requested;  // every request the process announced
        auto token = DeviceEvents::addListener([&](const std::string& name, const Value& fields) {
            std::lock_guard lock(m);
            if (name == "http.request") requested.push_back(fields["url"].stringOr(""));
        });
        auto delegate = std::make_shared<RecordingDelegate>();
        auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::ephemeralSessionConfiguration(),
                                                            delegate, nullptr);
        session->dataTaskWithURL(url(server.url("/")))->resume();
        ASSERT_TRUE(delegate->waitForPrefix("complete "));
        EXPECT_EQ(delegate->snapshot().back(), "complete -1002");
        EXPECT_EQ(server.requests().size(), 1u);
        {
            std::lock_guard lock(m);
            EXPECT_EQ(requested, std::vector<std::string>{server.url("/")});
        }
        session->invalidateAndCancel();
    }
}

// Answers HTTP challenges with a fixed credential and notes what it was asked.
class ChallengeDelegate : public RecordingDelegate {
public:
    void didReceiveTaskChallenge(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
                                 const URLAuthenticationChallenge& c, ChallengeCompletion done) override {
        std::string line =
            "challenge " + c.protectionSpace.realm().value_or("(none)") + " " + std::to_string(c.previousFailureCount);
        if (c.protectionSpace.authenticationMethod() != kURLAuthenticationMethodHTTPBasic)
            line += " " + c.protectionSpace.authenticationMethod();
        log(line);
        if (c.previousFailureCount > 0)
            return done(URLSessionAuthChallengeDisposition::RejectProtectionSpace, std::nullopt);
        done(URLSessionAuthChallengeDisposition::UseCredential,
             URLCredential("user", password, URLCredentialPersistence::None));
    }
    std::string password = "secret";
};

TEST_F(HostileAnswerTest, ChallengesAreReadByTheirGrammarAndASecondFailureEndsThem) {
    struct Row {
        std::string field;
        std::string expected;  // the first challenge line the delegate logs
    };
    const std::vector<Row> rows = {
        {"Basic notrealm=\"evil\", realm=\"good\"", "challenge good 0"},
        {"Newauth realm=\"apps\", Basic realm=\"basic, with comma\"", "challenge basic, with comma 0"},
        {"basic REALM=plain", "challenge plain 0"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.field);
        HostileHttpServer server([&](const HostileHttpServer::Request&) {
            return HostileHttpServer::answer("HTTP/1.1 401 Unauthorized",
                                             {"WWW-Authenticate: " + row.field, "Content-Length: 4"}, "nope");
        });
        auto delegate = std::make_shared<ChallengeDelegate>();
        auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::ephemeralSessionConfiguration(),
                                                            delegate, nullptr);
        session->dataTaskWithURL(url(server.url("/")))->resume();
        ASSERT_TRUE(delegate->waitForPrefix("complete "));
        auto events = delegate->snapshot();
        ASSERT_GE(events.size(), 3u);
        EXPECT_EQ(events[0], row.expected);
        EXPECT_EQ(events[1].substr(events[1].size() - 2), " 1");  // asked again after one failure
        EXPECT_EQ(events.back(), "complete 0");                   // rejected: the 401 is the answer
        auto requests = server.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_FALSE(requests[0].header("Authorization"));
        EXPECT_EQ(requests[1].header("Authorization"), "Basic dXNlcjpzZWNyZXQ=");
        session->invalidateAndCancel();
    }
}

std::string md5Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < length; ++i) out += {hex[digest[i] >> 4], hex[digest[i] & 15]};
    return out;
}

// A server that checks RFC 7616 digests (MD5, qop auth) of user "user", password "secret".
std::string digestServer(const HostileHttpServer::Request& r) {
    const std::string realm = "staff", nonce = "n0nce";
    auto challenge = HostileHttpServer::answer("HTTP/1.1 401 Unauthorized",
                                               {"WWW-Authenticate: Basic realm=\"staff\", Digest realm=\"" + realm +
                                                    "\", nonce=\"" + nonce + "\", qop=\"auth\", algorithm=MD5",
                                                "Content-Length: 4"},
                                               "nope");
    auto field = r.header("Authorization");
    if (!field || field->rfind("Digest ", 0) != 0) return challenge;
    std::map<std::string, std::string> p;
    for (auto& c : platform::urlsession_detail::parseAuthChallenges(*field))
        if (c.isScheme("Digest")) p = c.params;
    const std::string ha1 = md5Hex("user:" + realm + ":secret");
    const std::string ha2 = md5Hex(r.method + ":" + p["uri"]);
    const std::string expected =
        md5Hex(ha1 + ":" + nonce + ":" + p["nc"] + ":" + p["cnonce"] + ":" + p["qop"] + ":" + ha2);
    if (p["username"] != "user" || p["response"] != expected || p["uri"] != r.target) return challenge;
    return HostileHttpServer::answer("HTTP/1.1 200 OK", {"Content-Length: 7"}, "welcome");
}

TEST_F(HostileAnswerTest, DigestChallengesAreAnsweredByCurlWithTheDelegatesCredential) {
    struct Row {
        const char* password;
        std::string last;  // the delegate's last event
        std::string body;
    };
    const std::vector<Row> rows = {{"secret", "complete 0", "welcome"}, {"wrong", "complete 0", "nope"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.password);
        HostileHttpServer server(digestServer);
        auto delegate = std::make_shared<ChallengeDelegate>();
        delegate->password = row.password;
        auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::ephemeralSessionConfiguration(),
                                                            delegate, nullptr);
        session->dataTaskWithURL(url(server.url("/private?x=1")))->resume();
        ASSERT_TRUE(delegate->waitForPrefix("complete "));
        auto events = delegate->snapshot();
        EXPECT_EQ(events.front(), "challenge staff 0 NSURLAuthenticationMethodHTTPDigest");
        EXPECT_EQ(events.back(), row.last);
        EXPECT_EQ(delegate->body, row.body);
        for (const auto& request : server.requests()) {
            auto field = request.header("Authorization").value_or("");
            EXPECT_EQ(field.find("secret"), std::string::npos);
            EXPECT_NE(field.rfind("Basic", 0), 0u) << "the password went out in Basic";
        }
        if (std::string(row.password) == "wrong") {  // asked again once, then refused
            EXPECT_EQ(events[1], "challenge staff 1 NSURLAuthenticationMethodHTTPDigest");
        }
        session->invalidateAndCancel();
    }
}

}  // namespace
