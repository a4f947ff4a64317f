#include "testing/TestCertificates.h"

namespace tesmar_testing {

TestPKI TestPKI::make(const std::string& hostName) {
    TestPKI pki;
    static_cast<tesmar_demo::ServerPKI&>(pki) = tesmar_demo::ServerPKI::make(hostName);
    CertificateSpec leafSpec = serverSpec(hostName);

    CertificateSpec expired = leafSpec;
    expired.notBeforeOffset = -30L * 24 * 3600;
    expired.notAfterOffset = -24L * 3600;
    pki.expiredLeaf = issueCertificate(expired, pki.intermediate);

    CertificateSpec notYetValid = leafSpec;
    notYetValid.notBeforeOffset = 24L * 3600;
    notYetValid.notAfterOffset = 30L * 24 * 3600;
    pki.notYetValidLeaf = issueCertificate(notYetValid, pki.intermediate);

    pki.selfSignedLeaf = makeSelfSigned(leafSpec);

    CertificateSpec reissued = leafSpec;
    reissued.notBeforeOffset = -60;
    reissued.notAfterOffset = 60L * 24 * 3600;
    pki.reissuedLeaf = issueCertificate(reissued, pki.intermediate, pki.leaf.key);

    CertificateSpec otherHost;
    otherHost.commonName = "other.example.test";
    otherHost.dnsNames = {"other.example.test"};
    pki.otherHostLeaf = issueCertificate(otherHost, pki.intermediate);
    pki.unrelatedRoot = makeSelfSigned(authoritySpec("Tesmar Unrelated Root CA", 3650L * 24 * 3600));
    return pki;
}

std::vector<platform::security::Certificate> TestPKI::chainFor(const TestCertificate& which) const {
    return {which.certificate(), intermediate.certificate()};
}

std::string TestPKI::revocationListRevoking(const TestCertificate& revoked) const {
    return makeRevocationListPEM(intermediate, {&revoked});
}

}  // namespace tesmar_testing
