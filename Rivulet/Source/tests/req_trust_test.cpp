// Per-host trust policies through the manager, on real TLS connections to the test server.
#include "Rivulet/Source/tests/req_support.h"
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
        {"pinned unrelated root", ServerTrustPolicy::pinCertificates({pki.unrelatedRoot.certificate()}, true, true), false},
        {"pinned key of another leaf", ServerTrustPolicy::pinPublicKeys({pki.otherHostLeaf.publicKey()}, false, true), false},
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
