#include "platform/security/Certificate.h"

#include <gtest/gtest.h>

#include "platform/security/internal/OpenSSLHandles.h"
#include "testing/TestCertificates.h"

using platform::security::Bytes;
using platform::security::Certificate;
using platform::security::PublicKey;

namespace {

const tesmar_testing::TestPKI& pki() {
    static const tesmar_testing::TestPKI made = tesmar_testing::TestPKI::make("site.example.test");
    return made;
}

TEST(Certificate, RoundTripsThroughDERAndPEM) {
    Certificate leaf = pki().leaf.certificate();
    Bytes der = leaf.der();
    ASSERT_FALSE(der.empty());

    auto fromDER = Certificate::fromDER(der);
    ASSERT_TRUE(fromDER.ok()) << fromDER.error().description();
    EXPECT_EQ(*fromDER, leaf);

    auto fromPEM = Certificate::fromPEM(pki().leaf.certificatePEM);
    ASSERT_TRUE(fromPEM.ok());
    EXPECT_EQ(*fromPEM, leaf);
    EXPECT_EQ(fromPEM->pem(), pki().leaf.certificatePEM);
}

TEST(Certificate, ReadsNamesAndValidity) {
    Certificate leaf = pki().leaf.certificate();
    EXPECT_EQ(leaf.subjectSummary(), "site.example.test");
    EXPECT_EQ(leaf.issuerSummary(), "Tesmar Test Intermediate CA");
    EXPECT_EQ(leaf.subjectName(), "CN=site.example.test,O=Tesmar Tests");
    EXPECT_EQ(leaf.dnsNames(), std::vector<std::string>{"site.example.test"});
    EXPECT_FALSE(leaf.isCertificateAuthority());
    EXPECT_TRUE(pki().root.certificate().isCertificateAuthority());
    EXPECT_TRUE(pki().root.certificate().isSelfIssued());

    platform::Date now = platform::Date::now();
    EXPECT_LT(leaf.notValidBefore(), now);
    EXPECT_GT(leaf.notValidAfter(), now);
    EXPECT_LT(pki().expiredLeaf.certificate().notValidAfter(), now);
    EXPECT_NE(pki().leaf.certificate().serialNumberHex(), pki().reissuedLeaf.certificate().serialNumberHex());
}

TEST(Certificate, AllFromPEMKeepsOrder) {
    auto all = Certificate::allFromPEM(pki().leaf.certificatePEM + pki().intermediate.certificatePEM);
    ASSERT_TRUE(all.ok());
    ASSERT_EQ(all->size(), 2u);
    EXPECT_EQ((*all)[0], pki().leaf.certificate());
    EXPECT_EQ((*all)[1], pki().intermediate.certificate());
}

TEST(Certificate, RejectsBadInputWithAnError) {
    Bytes der = pki().leaf.der();
    Bytes truncated(der.begin(), der.begin() + der.size() / 2);
    Bytes trailing = der;
    trailing.push_back(0);
    std::string pem = pki().leaf.certificatePEM;
    std::string corruptPEM = pem;
    corruptPEM[40] = corruptPEM[40] == 'A' ? 'B' : 'A';
    corruptPEM.erase(60, 20);

    const std::vector<Bytes> badDER = {{},        {0x30},   {0x30, 0x82, 0xff, 0xff},
                                       truncated, trailing, Bytes(pem.begin(), pem.end())};
    for (const auto& bytes : badDER) {
        auto result = Certificate::fromDER(bytes);
        ASSERT_FALSE(result.ok()) << bytes.size();
        EXPECT_EQ(result.error().code, platform::security::kCertificateDecodeError);
        EXPECT_FALSE(result.error().localizedDescription().empty());
    }
    for (const std::string& text : {std::string(), std::string("hello"), corruptPEM,
                                    std::string("-----BEGIN CERTIFICATE-----\n!!!\n-----END CERTIFICATE-----\n")}) {
        EXPECT_FALSE(Certificate::fromPEM(text).ok()) << text;
    }
    // The cheap check of a PEM file agrees with the full parse, on good texts and bad.
    const std::string notACertificate = "-----BEGIN CERTIFICATE-----\nMAYCAQECAQI=\n-----END CERTIFICATE-----\n";
    for (const std::string& text : {std::string(), std::string("hello"), corruptPEM,
                                    std::string("-----BEGIN CERTIFICATE-----\n!!!\n-----END CERTIFICATE-----\n"),
                                    notACertificate, pem, pem + pki().intermediate.certificatePEM,
                                    pem + notACertificate, pki().leaf.privateKeyPEM + pem, pki().leaf.privateKeyPEM}) {
        EXPECT_EQ(Certificate::hasPEMCertificates(text), Certificate::allFromPEM(text).ok()) << text;
    }
    EXPECT_FALSE(platform::security::detail::OpenSSLAccess::certificateFromX509(nullptr).ok());
    // A PEM file read as bytes is still accepted where either form is allowed.
    EXPECT_TRUE(Certificate::fromDEROrPEM(Bytes(pem.begin(), pem.end())).ok());
}

TEST(Certificate, IsIssuedByNeedsTheIssuersSignature) {
    const auto& p = pki();
    auto other = tesmar_testing::TestPKI::make("site.example.test");  // same names, other keys
    struct Case {
        const char* name;
        const tesmar_testing::TestCertificate& child;
        const tesmar_testing::TestCertificate& issuer;
        bool issued;
    } cases[] = {
        {"leaf by its intermediate", p.leaf, p.intermediate, true},
        {"intermediate by the root", p.intermediate, p.root, true},
        {"root by itself", p.root, p.root, true},
        {"leaf by the root (skips a link)", p.leaf, p.root, false},
        {"intermediate by the leaf (reversed)", p.intermediate, p.leaf, false},
        {"leaf by an unrelated root", p.leaf, p.unrelatedRoot, false},
        {"leaf by a same-named intermediate with another key", p.leaf, other.intermediate, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.child.certificate().isIssuedBy(c.issuer.certificate()), c.issued) << c.name;
    }
}

TEST(PublicKey, EqualityFollowsTheKeyNotTheCertificate) {
    auto leafKey = pki().leaf.certificate().publicKey();
    auto reissuedKey = pki().reissuedLeaf.certificate().publicKey();
    auto otherKey = pki().otherHostLeaf.certificate().publicKey();
    ASSERT_TRUE(leafKey && reissuedKey && otherKey);
    EXPECT_NE(pki().leaf.certificate(), pki().reissuedLeaf.certificate());
    EXPECT_EQ(*leafKey, *reissuedKey);
    EXPECT_NE(*leafKey, *otherKey);
    EXPECT_EQ(leafKey->algorithmName(), "EC");
    EXPECT_EQ(leafKey->bits(), 256);

    auto parsed = PublicKey::fromSubjectPublicKeyInfo(leafKey->subjectPublicKeyInfo());
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ(*parsed, *leafKey);
    EXPECT_FALSE(PublicKey::fromSubjectPublicKeyInfo(Bytes{0x30, 0x03, 0x02, 0x01, 0x00}).ok());
}

}  // namespace
