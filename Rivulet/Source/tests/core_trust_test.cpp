#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "Rivulet/Source/ServerTrustPolicy.h"
#include "platform/foundation/PlatformConfig.h"
#include "testing/TestCertificates.h"

using namespace rivulet;
using tesmar_testing::TestPKI;

namespace {

// Trusts the test root for the duration of a test, through the platform's extra roots.
class CoreTrust : public ::testing::Test {
protected:
    static void SetUpTestSuite() { pki = new TestPKI(TestPKI::make("site.example.test")); }
    static void TearDownTestSuite() { delete pki; }

    void SetUp() override {
        saved = platform::PlatformConfig::current();
        dir =
            std::filesystem::temp_directory_path() / ("core_trust_" + std::to_string(::getpid()) + "_" +
                                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
        const std::string rootPath =
            tesmar_testing::writePEMFile((dir / "root.pem").string(), pki->root.certificatePEM);
        platform::PlatformConfig::update([&](auto& s) { s.extraTrustedRootsPEM = {rootPath}; });
    }
    void TearDown() override {
        platform::PlatformConfig::set(saved);
        std::filesystem::remove_all(dir);
    }

    SecTrust chain(std::initializer_list<const tesmar_testing::TestCertificate*> certs) const {
        std::vector<SecCertificate> list;
        for (auto c : certs) list.push_back(c->certificate());
        return SecTrust(list);
    }
    SecTrust good() const { return chain({&pki->leaf, &pki->intermediate}); }

    static TestPKI* pki;
    platform::PlatformSettings saved;
    std::filesystem::path dir;
};
TestPKI* CoreTrust::pki = nullptr;

}  // namespace

TEST_F(CoreTrust, PolicyTable) {
    const std::string host = "site.example.test";
    auto& p = *pki;
    struct Case {
        const char* name;
        ServerTrustPolicy policy;
        SecTrust trust;
        std::string host;
        bool accepted;
    };
    const auto pinLeaf = ServerTrustPolicy::pinCertificates({p.leaf.certificate()}, false, true);
    const auto pinIntermediate = ServerTrustPolicy::pinCertificates({p.intermediate.certificate()}, false, true);
    const auto pinLeafKey = ServerTrustPolicy::pinPublicKeys({p.leaf.publicKey()}, false, true);
    const auto pinIntermediateKey = ServerTrustPolicy::pinPublicKeys({p.intermediate.publicKey()}, false, true);
    Case cases[] = {
        {"default: valid chain", ServerTrustPolicy::performDefaultEvaluation(true), good(), host, true},
        {"default: other host checked", ServerTrustPolicy::performDefaultEvaluation(true), good(), "evil.test", false},
        {"default: other host unchecked", ServerTrustPolicy::performDefaultEvaluation(false), good(), "evil.test",
         true},
        {"default: expired leaf", ServerTrustPolicy::performDefaultEvaluation(true),
         chain({&p.expiredLeaf, &p.intermediate}), host, false},
        {"default: self-signed leaf", ServerTrustPolicy::performDefaultEvaluation(true), chain({&p.selfSignedLeaf}),
         host, false},
        {"default: missing intermediate", ServerTrustPolicy::performDefaultEvaluation(true), chain({&p.leaf}), host,
         false},
        {"revocation: not revoked", ServerTrustPolicy::performRevokedEvaluation(true, 0), good(), host, true},
        {"pin cert, no chain check: leaf", pinLeaf, good(), "any.host", true},
        {"pin cert, no chain check: intermediate", pinIntermediate, good(), host, true},
        {"pin cert, no chain check: empty pins", ServerTrustPolicy::pinCertificates({}, false, true), good(), host,
         false},
        {"pin cert, no chain check: appended leaf", pinLeaf, chain({&p.selfSignedLeaf, &p.leaf}), host, false},
        {"pin cert, no chain check: appended intermediate", pinIntermediate,
         chain({&p.selfSignedLeaf, &p.intermediate}), host, false},
        {"pin cert, no chain check: reissued leaf is another cert", pinLeaf, chain({&p.reissuedLeaf, &p.intermediate}),
         host, false},
        {"pin cert, chain check: root pinned", ServerTrustPolicy::pinCertificates({p.root.certificate()}, true, true),
         good(), host, true},
        {"pin cert, chain check: intermediate pinned",
         ServerTrustPolicy::pinCertificates({p.intermediate.certificate()}, true, true), chain({&p.leaf}), host, true},
        {"pin cert, chain check: unrelated root",
         ServerTrustPolicy::pinCertificates({p.unrelatedRoot.certificate()}, true, true), good(), host, false},
        {"pin cert, chain check: appended pinned",
         ServerTrustPolicy::pinCertificates({p.leaf.certificate()}, true, true), chain({&p.selfSignedLeaf, &p.leaf}),
         host, false},
        {"pin cert, chain check: wrong host", ServerTrustPolicy::pinCertificates({p.root.certificate()}, true, true),
         good(), "evil.test", false},
        {"pin key, no chain check: leaf key", pinLeafKey, good(), "any.host", true},
        {"pin key, no chain check: reissued leaf keeps key", pinLeafKey, chain({&p.reissuedLeaf}), host, true},
        {"pin key, no chain check: intermediate key", pinIntermediateKey, good(), host, true},
        {"pin key, no chain check: appended leaf", pinLeafKey, chain({&p.selfSignedLeaf, &p.leaf}), host, false},
        {"pin key, no chain check: appended intermediate", pinIntermediateKey,
         chain({&p.otherHostLeaf, &p.unrelatedRoot, &p.intermediate}), host, true /*other leaf is really signed*/},
        {"pin key, chain check: expired with matching key",
         ServerTrustPolicy::pinPublicKeys({p.leaf.publicKey()}, true, true), chain({&p.expiredLeaf, &p.intermediate}),
         host, false},
        {"pin key, chain check: root key on verified path",
         ServerTrustPolicy::pinPublicKeys({p.root.publicKey()}, true, true), good(), host, true},
        {"pin key, chain check: unrelated key",
         ServerTrustPolicy::pinPublicKeys({p.unrelatedRoot.publicKey()}, true, true), good(), host, false},
        {"custom: sees host",
         ServerTrustPolicy::customEvaluation([](SecTrust&, const std::string& h) { return h == "ok"; }), good(), "ok",
         true},
        {"custom: throwing closure rejects",
         ServerTrustPolicy::customEvaluation(
             [](SecTrust&, const std::string&) -> bool { throw std::runtime_error("x"); }),
         good(), host, false},
        {"disabled: anything", ServerTrustPolicy::disableEvaluation(), chain({&p.selfSignedLeaf}), "x", true},
    };
    for (auto& c : cases) EXPECT_EQ(c.policy.evaluate(c.trust, c.host), c.accepted) << c.name;
}

TEST_F(CoreTrust, AppendedCertificateAttack) {
    // A leaf for the site issued by a CA the attacker controls, followed by the real pinned certificates.
    tesmar_testing::CertificateSpec caSpec;
    caSpec.commonName = "Attacker CA";
    caSpec.isCertificateAuthority = true;
    auto attackerCA = tesmar_testing::makeSelfSigned(caSpec);
    tesmar_testing::CertificateSpec leafSpec;
    leafSpec.commonName = "site.example.test";
    leafSpec.dnsNames = {"site.example.test"};
    auto attackerLeaf = tesmar_testing::issueCertificate(leafSpec, attackerCA);
    SecTrust presented({attackerLeaf.certificate(), attackerCA.certificate(), pki->leaf.certificate(),
                        pki->intermediate.certificate(), pki->root.certificate()});
    const ServerTrustPolicy policies[] = {
        ServerTrustPolicy::pinCertificates({pki->leaf.certificate()}, false, false),
        ServerTrustPolicy::pinCertificates({pki->intermediate.certificate(), pki->root.certificate()}, false, false),
        ServerTrustPolicy::pinPublicKeys({pki->leaf.publicKey(), pki->intermediate.publicKey()}, false, false),
        ServerTrustPolicy::pinCertificates({pki->root.certificate()}, true, true),
        ServerTrustPolicy::pinPublicKeys({pki->root.publicKey()}, true, true),
    };
    for (size_t i = 0; i < std::size(policies); ++i) {
        SecTrust trust = presented;
        EXPECT_FALSE(policies[i].evaluate(trust, "site.example.test")) << "policy " << i;
    }
    // An attacker CA that names the real intermediate as its issuer still has no signature from it.
    caSpec.commonName = "Tesmar Test Intermediate CA";
    auto forged = tesmar_testing::makeSelfSigned(caSpec);
    SecTrust forgedTrust({forged.certificate(), pki->intermediate.certificate()});
    EXPECT_FALSE(ServerTrustPolicy::pinCertificates({pki->intermediate.certificate()}, false, false)
                     .evaluate(forgedTrust, "site.example.test"));
}

TEST_F(CoreTrust, RevokedLeafIsRejected) {
    auto crl = platform::security::RevocationList::fromPEM(pki->revocationListRevoking(pki->leaf));
    ASSERT_TRUE(crl.ok());
    SecTrust trust = good();
    trust.setRevocationLists({*crl});
    EXPECT_FALSE(ServerTrustPolicy::performRevokedEvaluation(true, platform::security::kRevocationCRLMethod)
                     .evaluate(trust, "site.example.test"));
    SecTrust fresh = good();
    fresh.setRevocationLists({*crl});
    EXPECT_TRUE(ServerTrustPolicy::performDefaultEvaluation(true).evaluate(fresh, "site.example.test"));
}

TEST_F(CoreTrust, ManagerLookupIsExact) {
    ServerTrustPolicyManager manager({{"site.example.test", ServerTrustPolicy::disableEvaluation()}});
    EXPECT_TRUE(manager.serverTrustPolicy("site.example.test"));
    for (const char* other : {"SITE.example.test", "a.site.example.test", "example.test", ""}) {
        EXPECT_FALSE(manager.serverTrustPolicy(other)) << other;
    }
}

TEST_F(CoreTrust, CertificatesInBundle) {
    const auto writeBytes = [&](const std::string& name, const platform::security::Bytes& bytes) {
        std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    };
    writeBytes("leaf.cer", pki->leaf.der());
    writeBytes("inter.DER", pki->intermediate.der());
    writeBytes("junk.der", {1, 2, 3});
    writeBytes("root.txt", pki->root.der());
    // One DER certificate per file: PEM text and two certificates in one file are not.
    std::ofstream(dir / "chain.crt") << pki->leaf.certificatePEM << pki->intermediate.certificatePEM;
    auto two = pki->root.der();
    const auto leaf = pki->leaf.der();
    two.insert(two.end(), leaf.begin(), leaf.end());
    writeBytes("two.CER", two);
    platform::Bundle bundle(dir.string());
    auto certificates = ServerTrustPolicy::certificates(bundle);
    EXPECT_EQ(certificates.size(), 2u);
    EXPECT_EQ(ServerTrustPolicy::publicKeys(bundle).size(), 2u);

    auto emptyDir = dir / "empty";
    std::filesystem::create_directories(emptyDir);
    EXPECT_TRUE(ServerTrustPolicy::certificates(platform::Bundle(emptyDir.string())).empty());

    SecTrust trust = good();
    EXPECT_EQ(ServerTrustPolicy::certificateData(trust),
              (std::vector<platform::security::Bytes>{pki->leaf.der(), pki->intermediate.der()}));
    EXPECT_EQ(ServerTrustPolicy::publicKeys(trust).size(), 2u);
}
