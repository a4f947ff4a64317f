// Per-host trust policies through the manager, on real TLS connections to the test server.
#include "Rivulet/Source/tests/req_support.h"
#include "platform/urlsession/URLError.h"
#include "testing/TestCertificates.h"

using namespace req_test;

namespace {
constexpr const char* kHost = "intranet.tesmar.test";
}

TEST(RequestTrust, PinningAcceptsAndRejectsThroughTheManager) {
    DeviceRoot device;
    auto pki = tesmar_testing::TestPKI::make(kHost);
    auto files = tesmar_testing::writeServerFiles(device.path(), pki.leaf, {&pki.intermediate});
    TestHttpServer server(files.certificateChainPath, files.privateKeyPath);
    server.route("GET", "/", Reply::text("secret"));
    const int port = server.port();
    platform::PlatformConfig::update([&](platform::PlatformSettings& s) {
        s.connectTo[std::string(kHost) + ":" + std::to_string(port)] = "127.0.0.1:" + std::to_string(port);
    });
    const std::string url = "https://" + std::string(kHost) + ":" + std::to_string(port) + "/";

    struct Case {
        std::string name;
        std::optional<ServerTrustPolicy> policy;
        bool accepted;
    };
    std::vector<Case> cases = {
        {"pinned leaf", ServerTrustPolicy::pinCertificates({pki.leaf.certificate()}, false, true), true},
        {"pinned root as anchor", ServerTrustPolicy::pinCertificates({pki.root.certificate()}, true, true), true},
        {"pinned unrelated root", ServerTrustPolicy::pinCertificates({pki.unrelatedRoot.certificate()}, true, true),
         false},
        {"pinned key of another leaf", ServerTrustPolicy::pinPublicKeys({pki.otherHostLeaf.publicKey()}, false, true),
         false},
        {"disabled evaluation", ServerTrustPolicy::disableEvaluation(), true},
        {"no policy: the platform's default refuses an unknown root", std::nullopt, false},
    };
    for (const auto& c : cases) {
        std::map<std::string, ServerTrustPolicy> policies;
        if (c.policy) policies.emplace(kHost, *c.policy);
        auto manager = SessionManager::make(platform::URLSessionConfiguration::ephemeralSessionConfiguration(),
                                            std::make_shared<SessionDelegate>(),
                                            std::make_shared<ServerTrustPolicyManager>(policies));
        std::optional<DataResponse<std::string>> got;
        manager->request(url)->responseString([&](DataResponse<std::string> r) { got = std::move(r); });
        ASSERT_TRUE(waitFor([&] { return got.has_value(); })) << c.name;
        if (c.accepted) {
            ASSERT_TRUE(got->value()) << c.name << ": " << got->error()->description();
            EXPECT_EQ(*got->value(), "secret") << c.name;
        } else {
            ASSERT_TRUE(got->error()) << c.name;
            EXPECT_EQ(got->error()->bridged().domain, platform::kURLErrorDomain) << c.name;
        }
    }
    EXPECT_EQ(server.requestCount(), 3u);
}

// An owner's session-level challenge closure decides server trust for the manager's requests, in place
// of the task delegate and the trust policies. Rows: a pin that refuses every server (over a trusted
// chain, with a policy that accepts any), and a closure that trusts the server it is shown, answering
// through its completion (over a root the device does not know, with no policy).
TEST(RequestTrust, ASessionLevelChallengeClosureDecidesServerTrust) {
    DeviceRoot device;
    auto pki = tesmar_testing::TestPKI::make(kHost);
    auto files = tesmar_testing::writeServerFiles(device.path(), pki.leaf, {&pki.intermediate});
    auto root = tesmar_testing::writePEMFile(device.path() + "/root.pem", pki.root.certificatePEM);
    TestHttpServer server(files.certificateChainPath, files.privateKeyPath);
    server.route("GET", "/", Reply::text("secret"));
    const int port = server.port();
    const std::string url = "https://" + std::string(kHost) + ":" + std::to_string(port) + "/";
    using platform::URLSessionAuthChallengeDisposition;
    for (const bool refuse : {true, false}) {
        SCOPED_TRACE(refuse ? "a pin refusing every server" : "trusting the server shown");
        platform::PlatformConfig::update([&](platform::PlatformSettings& s) {
            s.extraTrustedRootsPEM = refuse ? std::vector<std::string>{root} : std::vector<std::string>{};
            s.connectTo[std::string(kHost) + ":" + std::to_string(port)] = "127.0.0.1:" + std::to_string(port);
        });
        auto delegate = std::make_shared<SessionDelegate>();
        std::atomic<int> asked{0};
        if (refuse) {
            delegate->setSessionDidReceiveChallenge([&](const auto&, const platform::URLAuthenticationChallenge&) {
                asked++;
                return ChallengeAnswer{URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, std::nullopt};
            });
        } else {
            delegate->setSessionDidReceiveChallengeWithCompletion(
                [&](const auto&, const platform::URLAuthenticationChallenge& challenge,
                    platform::ChallengeCompletion completion) {
                    asked++;
                    completion(URLSessionAuthChallengeDisposition::UseCredential,
                               platform::URLCredential(challenge.protectionSpace.serverTrust()));
                });
        }
        // Without the closure each row would go the other way.
        std::map<std::string, ServerTrustPolicy> policies;
        if (refuse) policies.emplace(kHost, ServerTrustPolicy::disableEvaluation());
        auto manager = SessionManager::make(platform::URLSessionConfiguration::ephemeralSessionConfiguration(),
                                            delegate, std::make_shared<ServerTrustPolicyManager>(policies));
        std::optional<DataResponse<std::string>> got;
        manager->request(url)->responseString([&](DataResponse<std::string> r) { got = std::move(r); });
        ASSERT_TRUE(waitFor([&] { return got.has_value(); }));
        EXPECT_EQ(asked.load(), 1);
        if (refuse) {
            ASSERT_TRUE(got->error());
            const platform::Error* error = got->error()->platformError();
            ASSERT_TRUE(error) << got->error()->description();
            EXPECT_EQ(error->code, int64_t(platform::URLErrorCode::Cancelled));
        } else {
            ASSERT_TRUE(got->value()) << got->error()->description();
            EXPECT_EQ(*got->value(), "secret");
        }
    }
    EXPECT_EQ(server.requestCount(), 1u);
}

// TLS failures the platform names reach the response as they are: the manager's caller can tell a
// certificate not yet valid from a server that wants a client certificate.
TEST(RequestTrust, TLSFailuresReachTheResponseAsThePlatformsURLErrors) {
    DeviceRoot device;
    auto pki = tesmar_testing::TestPKI::make(kHost);
    auto root = tesmar_testing::writePEMFile(device.path() + "/root.pem", pki.root.certificatePEM);
    struct Case {
        std::string name;
        const tesmar_testing::TestCertificate* leaf;
        bool requireClientCertificate;
        platform::URLErrorCode expected;
    };
    for (const auto& c :
         {Case{"leaf valid from tomorrow", &pki.notYetValidLeaf, false,
               platform::URLErrorCode::ServerCertificateNotYetValid},
          Case{"client certificate required", &pki.leaf, true, platform::URLErrorCode::ClientCertificateRejected}}) {
        auto files = tesmar_testing::writeServerFiles(device.path(), *c.leaf, {&pki.intermediate});
        TestHttpServer::Options options;
        options.certificateChainPath = files.certificateChainPath;
        options.privateKeyPath = files.privateKeyPath;
        if (c.requireClientCertificate) options.clientCertificateAuthorityPath = root;
        TestHttpServer server(options);
        server.route("GET", "/", Reply::text("secret"));
        const int port = server.port();
        platform::PlatformConfig::update([&](platform::PlatformSettings& s) {
            s.extraTrustedRootsPEM = {root};
            s.connectTo[std::string(kHost) + ":" + std::to_string(port)] = "127.0.0.1:" + std::to_string(port);
        });
        const std::string url = "https://" + std::string(kHost) + ":" + std::to_string(port) + "/";
        auto manager = SessionManager::make(platform::URLSessionConfiguration::ephemeralSessionConfiguration());
        std::optional<DataResponse<std::string>> got;
        manager->request(url)->responseString([&](DataResponse<std::string> r) { got = std::move(r); });
        ASSERT_TRUE(waitFor([&] { return got.has_value(); })) << c.name;
        ASSERT_TRUE(got->error()) << c.name;
        const platform::Error* error = got->error()->platformError();
        ASSERT_TRUE(error) << c.name << ": " << got->error()->description();
        EXPECT_EQ(error->domain, platform::kURLErrorDomain) << c.name;
        EXPECT_EQ(error->code, int64_t(c.expected)) << c.name << ": " << error->description();
        EXPECT_EQ(error->userInfo[platform::kURLErrorFailingURLStringErrorKey].stringOr(""), url) << c.name;
        EXPECT_EQ(server.requestCount(), 0u) << c.name;
    }
}

// The revocation policy reads the OCSP answer the server staples to the handshake. With network access
// off, it is the only revocation data there is: a revoked answer refuses the leaf, a good one is the
// positive answer the policy requires, and without one the policy fails closed.
TEST(RequestTrust, RevocationPolicyReadsTheServersStapledOCSPAnswer) {
    DeviceRoot device;
    auto pki = tesmar_testing::TestPKI::make(kHost);
    auto root = tesmar_testing::writePEMFile(device.path() + "/root.pem", pki.root.certificatePEM);
    using namespace platform::security;
    const uint64_t offline =
        kRevocationOCSPMethod | kRevocationNetworkAccessDisabled | kRevocationRequirePositiveResponse;
    struct Case {
        std::string name;
        uint64_t flags;
        std::optional<bool> stapledRevoked;  // none: nothing stapled
        bool accepted;
    };
    for (const auto& c :
         {Case{"offline, stapled: revoked", offline, true, false}, Case{"offline, stapled: good", offline, false, true},
          Case{"offline, nothing stapled", offline, std::nullopt, false},
          // The leaf names no responder or CRL: best effort would pass it but for the staple.
          Case{"best effort, stapled: revoked", kRevocationUseAnyAvailableMethod, true, false},
          Case{"CRLs only: the staple is not read", kRevocationCRLMethod, true, true}}) {
        auto files = tesmar_testing::writeServerFiles(device.path(), pki.leaf, {&pki.intermediate});
        TestHttpServer::Options options;
        options.certificateChainPath = files.certificateChainPath;
        options.privateKeyPath = files.privateKeyPath;
        if (c.stapledRevoked)
            options.stapledOCSPResponse =
                tesmar_testing::makeOCSPResponseDER(pki.intermediate, pki.leaf, *c.stapledRevoked, device.path());
        TestHttpServer server(options);
        server.route("GET", "/", Reply::text("secret"));
        const int port = server.port();
        platform::PlatformConfig::update([&](platform::PlatformSettings& s) {
            s.extraTrustedRootsPEM = {root};
            s.connectTo[std::string(kHost) + ":" + std::to_string(port)] = "127.0.0.1:" + std::to_string(port);
        });
        auto manager = SessionManager::make(
            platform::URLSessionConfiguration::ephemeralSessionConfiguration(), std::make_shared<SessionDelegate>(),
            std::make_shared<ServerTrustPolicyManager>(std::map<std::string, ServerTrustPolicy>{
                {kHost, ServerTrustPolicy::performRevokedEvaluation(true, c.flags)}}));
        std::optional<DataResponse<std::string>> got;
        manager->request("https://" + std::string(kHost) + ":" + std::to_string(port) + "/")
            ->responseString([&](DataResponse<std::string> r) { got = std::move(r); });
        ASSERT_TRUE(waitFor([&] { return got.has_value(); })) << c.name;
        if (c.accepted) {
            ASSERT_TRUE(got->value()) << c.name << ": " << got->error()->description();
            EXPECT_EQ(*got->value(), "secret") << c.name;
        } else {
            ASSERT_TRUE(got->error()) << c.name;
            EXPECT_EQ(server.requestCount(), 0u) << c.name;
        }
    }
}
