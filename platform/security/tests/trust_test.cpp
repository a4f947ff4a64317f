#include "platform/security/Trust.h"

#include <gtest/gtest.h>
#include <openssl/x509_vfy.h>

#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

#include "platform/foundation/PlatformConfig.h"
#include "testing/TestCertificates.h"

namespace {

using namespace platform::security;
using tesmar_testing::TestCertificate;
using tesmar_testing::TestPKI;

const TestPKI& pki() {
    static const TestPKI made = TestPKI::make("site.example.test");
    return made;
}

struct TrustCase {
    const char* name;
    std::vector<Certificate> chain;
    std::vector<Policy> policies;
    std::vector<Certificate> anchors;
    std::string crlPEM;
    TrustResultType expected;
    int expectedError = X509_V_OK;
};

TEST(Trust, EvaluationTable) {
    const TestPKI& p = pki();
    Certificate root = p.root.certificate();
    auto ssl = [](std::optional<std::string> host) { return std::vector<Policy>{Policy::ssl(true, std::move(host))}; };
    std::vector<Policy> revocation = {Policy::ssl(true, std::string("site.example.test")),
                                      Policy::revocation(kRevocationUseAnyAvailableMethod)};
    std::vector<Policy> requireCRL = {Policy::ssl(true, std::string("site.example.test")),
                                      Policy::revocation(kRevocationCRLMethod | kRevocationRequirePositiveResponse)};

    const std::vector<TrustCase> cases = {
        {"chain to anchor with host",
         p.chainFor(p.leaf),
         ssl("site.example.test"),
         {root},
         "",
         TrustResultType::unspecified},
        {"chain to anchor, no host check",
         p.chainFor(p.otherHostLeaf),
         ssl(std::nullopt),
         {root},
         "",
         TrustResultType::unspecified},
        {"IP address in SAN", p.chainFor(p.leaf), ssl("127.0.0.1"), {root}, "", TrustResultType::unspecified},
        {"wrong host",
         p.chainFor(p.otherHostLeaf),
         ssl("site.example.test"),
         {root},
         "",
         TrustResultType::recoverableTrustFailure,
         X509_V_ERR_HOSTNAME_MISMATCH},
        {"empty host name",
         p.chainFor(p.leaf),
         ssl(""),
         {root},
         "",
         TrustResultType::recoverableTrustFailure,
         X509_V_ERR_HOSTNAME_MISMATCH},
        {"wrong IP",
         p.chainFor(p.leaf),
         ssl("10.0.0.1"),
         {root},
         "",
         TrustResultType::recoverableTrustFailure,
         X509_V_ERR_IP_ADDRESS_MISMATCH},
        {"expired leaf",
         p.chainFor(p.expiredLeaf),
         ssl("site.example.test"),
         {root},
         "",
         TrustResultType::recoverableTrustFailure,
         X509_V_ERR_CERT_HAS_EXPIRED},
        {"untrusted root",
         p.chainFor(p.leaf),
         ssl("site.example.test"),
         {p.unrelatedRoot.certificate()},
         "",
         TrustResultType::recoverableTrustFailure,
         X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
        {"self-signed leaf",
         {p.selfSignedLeaf.certificate()},
         ssl("site.example.test"),
         {root},
         "",
         TrustResultType::recoverableTrustFailure,
         X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
        {"missing intermediate",
         {p.leaf.certificate()},
         ssl("site.example.test"),
         {root},
         "",
         TrustResultType::recoverableTrustFailure,
         X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
        {"intermediate pinned as anchor",
         p.chainFor(p.leaf),
         ssl("site.example.test"),
         {p.intermediate.certificate()},
         "",
         TrustResultType::unspecified},
        {"leaf pinned as anchor",
         {p.leaf.certificate()},
         ssl("site.example.test"),
         {p.leaf.certificate()},
         "",
         TrustResultType::unspecified},
        {"self-signed leaf pinned",
         {p.selfSignedLeaf.certificate()},
         ssl("site.example.test"),
         {p.selfSignedLeaf.certificate()},
         "",
         TrustResultType::unspecified},
        {"revoked leaf",
         p.chainFor(p.leaf),
         revocation,
         {root},
         p.revocationListRevoking(p.leaf),
         TrustResultType::fatalTrustFailure,
         X509_V_ERR_CERT_REVOKED},
        {"CRL revoking another leaf",
         p.chainFor(p.leaf),
         revocation,
         {root},
         p.revocationListRevoking(p.expiredLeaf),
         TrustResultType::unspecified},
        {"revoked leaf without revocation policy",
         p.chainFor(p.leaf),
         ssl("site.example.test"),
         {root},
         p.revocationListRevoking(p.leaf),
         TrustResultType::unspecified},
        {"no CRL, best effort", p.chainFor(p.leaf), revocation, {root}, "", TrustResultType::unspecified},
        {"no CRL, positive answer required",
         p.chainFor(p.leaf),
         requireCRL,
         {root},
         "",
         TrustResultType::recoverableTrustFailure,
         X509_V_ERR_UNABLE_TO_GET_CRL},
        {"CRL signed by a stranger",
         p.chainFor(p.leaf),
         revocation,
         {root},
         tesmar_testing::makeRevocationListPEM(p.unrelatedRoot, {&p.leaf}),
         TrustResultType::unspecified},
    };

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Trust trust(c.chain, c.policies);
        trust.setAnchorCertificates(c.anchors);
        if (!c.crlPEM.empty()) {
            auto lists = RevocationList::allFromPEM(c.crlPEM);
            ASSERT_TRUE(lists.ok());
            trust.setRevocationLists(*lists);
        }
        TrustEvaluation evaluation = trust.evaluate();
        EXPECT_EQ(evaluation.status, kTrustStatusSuccess);
        EXPECT_EQ(evaluation.result, c.expected)
            << trustResultTypeName(evaluation.result) << ": " << evaluation.errorDescription;
        EXPECT_EQ(evaluation.verifyError, c.expectedError) << evaluation.errorDescription;
        EXPECT_EQ(evaluation.isValid(), c.expected == TrustResultType::unspecified);
        if (evaluation.isValid()) {
            EXPECT_TRUE(evaluation.errorDescription.empty());
        } else {
            EXPECT_FALSE(evaluation.errorDescription.empty());
            EXPECT_EQ(evaluation.error().code, kTrustEvaluationFailedCode);
        }
    }
}

TEST(Trust, VerifyDateMovesTheValidityWindow) {
    Trust trust(pki().chainFor(pki().expiredLeaf), {Policy::ssl(true, std::string("site.example.test"))});
    trust.setAnchorCertificates({pki().root.certificate()});
    EXPECT_FALSE(trust.evaluatesValid());
    trust.setVerifyDate(platform::Date::now().addingTimeInterval(-10 * 24 * 3600));
    EXPECT_TRUE(trust.evaluatesValid());
    trust.setVerifyDate(platform::Date::now().addingTimeInterval(-40 * 24 * 3600));
    EXPECT_EQ(trust.evaluate().verifyError, X509_V_ERR_CERT_NOT_YET_VALID);
}

TEST(Trust, UnusableTrustsReportAStatus) {
    Trust empty(std::vector<Certificate>{});
    TrustEvaluation evaluation = empty.evaluate();
    EXPECT_EQ(evaluation.status, kTrustStatusParam);
    EXPECT_EQ(evaluation.result, TrustResultType::invalid);
    EXPECT_FALSE(evaluation.isValid());
    EXPECT_EQ(evaluation.error().code, kTrustStatusParam);

    auto bad = Trust::fromDER({pki().leaf.der(), {0x30, 0x01}});
    ASSERT_FALSE(bad.ok());
    EXPECT_NE(bad.error().localizedDescription().find("certificate 1"), std::string::npos);
    EXPECT_FALSE(Trust::fromX509Stack(nullptr).ok());

    Trust nulHost(pki().chainFor(pki().leaf), {Policy::ssl(true, std::string("site.example.test\0.evil", 23))});
    nulHost.setAnchorCertificates({pki().root.certificate()});
    EXPECT_NE(nulHost.evaluate().status, kTrustStatusSuccess);
    EXPECT_FALSE(nulHost.evaluatesValid());
    EXPECT_FALSE(Trust::fromStoreContext(nullptr).ok());
}

// Restores the device facts a test changes.
class ConfigGuard {
public:
    ConfigGuard() : saved_(platform::PlatformConfig::current()) {}
    ~ConfigGuard() { platform::PlatformConfig::set(saved_); }

private:
    platform::PlatformSettings saved_;
};

TEST(Trust, AnchorsOnlyExcludesSystemAndExtraRoots) {
    ConfigGuard guard;
    std::string dir = std::filesystem::temp_directory_path() / ("tesmar-trust-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    std::string rootFile = tesmar_testing::writePEMFile(dir + "/root.pem", pki().root.certificatePEM);
    platform::PlatformConfig::update([&](platform::PlatformSettings& s) {
        s.extraTrustedRootsPEM = {dir + "/missing.pem", rootFile};
    });

    Trust trust(pki().chainFor(pki().leaf), {Policy::ssl(true, std::string("site.example.test"))});
    EXPECT_TRUE(trust.evaluatesValid()) << trust.evaluate().errorDescription;  // extra root, no anchors

    trust.setAnchorCertificates({pki().unrelatedRoot.certificate()});
    EXPECT_TRUE(trust.anchorCertificatesOnly());
    EXPECT_EQ(trust.evaluate().result, TrustResultType::recoverableTrustFailure);

    trust.setAnchorCertificatesOnly(false);
    EXPECT_TRUE(trust.evaluatesValid());

    platform::PlatformConfig::update([](platform::PlatformSettings& s) { s.extraTrustedRootsPEM.clear(); });
    EXPECT_FALSE(trust.evaluatesValid());

    // A root of the system store verifies as itself unless anchors-only shuts the store out.
    auto bundle = Certificate::allFromPEM([] {
        std::ifstream in("/etc/ssl/certs/ca-certificates.crt");
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }());
    if (bundle.ok()) {
        Trust system(std::vector<Certificate>{bundle->front()});
        EXPECT_TRUE(system.evaluatesValid()) << system.evaluate().errorDescription;
        system.setAnchorCertificates({pki().root.certificate()});
        EXPECT_FALSE(system.evaluatesValid());
    }
    std::filesystem::remove_all(dir);
}

TEST(Trust, AnExtraRootFileIsReadAgainOnceItChanges) {
    ConfigGuard guard;
    std::string dir = std::filesystem::temp_directory_path() / ("tesmar-trust-swap-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string rootFile = dir + "/root.pem";
    platform::PlatformConfig::update([&](platform::PlatformSettings& s) { s.extraTrustedRootsPEM = {rootFile}; });
    Trust trust(pki().chainFor(pki().leaf), {Policy::ssl(true, std::string("site.example.test"))});

    // The same path, holding in turn the site's root, another root, nothing, and the site's root again.
    const struct {
        const char* label;
        std::optional<std::string> pem;
        bool valid;
    } steps[] = {
        {"the site's root", pki().root.certificatePEM, true},
        {"another root", pki().unrelatedRoot.certificatePEM, false},
        {"no file", std::nullopt, false},
        {"the site's root again", pki().root.certificatePEM, true},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.label);
        std::filesystem::remove(rootFile);
        if (step.pem) tesmar_testing::writePEMFile(rootFile, *step.pem);
        EXPECT_EQ(trust.evaluatesValid(), step.valid) << trust.evaluate().errorDescription;
        EXPECT_EQ(trust.evaluatesValid(), step.valid);  // and again, from what was kept
    }
    std::filesystem::remove_all(dir);
}

TEST(Trust, ExposesPresentedCertificatesAndKeys) {
    Trust trust(pki().chainFor(pki().leaf));
    ASSERT_EQ(trust.certificateCount(), 2u);
    EXPECT_EQ(trust.certificateAt(0), pki().leaf.certificate());
    EXPECT_EQ(trust.certificateAt(1), pki().intermediate.certificate());
    EXPECT_FALSE(trust.certificateAt(2).has_value());

    std::vector<PublicKey> keys = trust.publicKeys();
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0], pki().reissuedLeaf.publicKey());  // the same key, re-issued
    EXPECT_EQ(keys[1], pki().intermediate.publicKey());
    EXPECT_EQ(trust.leafPublicKey(), pki().leaf.publicKey());

    trust.setAnchorCertificates({pki().root.certificate()});
    TrustEvaluation evaluation = trust.evaluate();
    ASSERT_EQ(evaluation.chain.size(), 3u);  // leaf, intermediate, anchor
    EXPECT_EQ(evaluation.chain[2], pki().root.certificate());
}

// What the TLS layer hands over: a store context over the peer's leaf and the rest it sent.
TEST(Trust, FromStoreContextTakesLeafThenRestWithoutRepeats) {
    X509_STORE* store = X509_STORE_new();
    X509_STORE_CTX* context = X509_STORE_CTX_new();
    STACK_OF(X509)* sent = sk_X509_new_null();
    sk_X509_push(sent, pki().leaf.x509.get());
    sk_X509_push(sent, pki().intermediate.x509.get());
    ASSERT_EQ(X509_STORE_CTX_init(context, store, pki().leaf.x509.get(), sent), 1);

    auto trust = Trust::fromStoreContext(context, {Policy::ssl(true, std::string("site.example.test"))});
    auto fromStack = Trust::fromX509Stack(sent);
    X509_STORE_CTX_free(context);
    sk_X509_free(sent);
    X509_STORE_free(store);

    ASSERT_TRUE(trust.ok());
    ASSERT_EQ(trust->certificateCount(), 2u);
    EXPECT_EQ(trust->certificates(), pki().chainFor(pki().leaf));
    trust->setAnchorCertificates({pki().root.certificate()});
    EXPECT_TRUE(trust->evaluatesValid());  // outlives the context it came from
    ASSERT_TRUE(fromStack.ok());
    EXPECT_EQ(fromStack->certificates(), pki().chainFor(pki().leaf));
}

// One trust handed between threads: evaluations run while another thread changes its inputs.
TEST(Trust, SharedTrustStaysConsistentAcrossThreads) {
    Trust trust(pki().chainFor(pki().leaf), {Policy::ssl(true, std::string("site.example.test"))});
    trust.setAnchorCertificates({pki().root.certificate()});
    std::vector<std::thread> threads;
    std::vector<int> valid(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                if (t == 0) trust.setPolicies({Policy::ssl(true, std::string(i % 2 ? "site.example.test" : "x.test"))});
                if (trust.evaluate().isValid()) ++valid[t];
                EXPECT_EQ(trust.publicKeys().size(), 2u);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    trust.setPolicies({Policy::ssl(true, std::string("site.example.test"))});
    EXPECT_TRUE(trust.evaluatesValid());
}

}  // namespace
