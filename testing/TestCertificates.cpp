#include "testing/TestCertificates.h"

#include <fcntl.h>
#include <openssl/bn.h>
#include <openssl/x509.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

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

std::string makeOCSPResponseDER(const TestCertificate& issuer, const TestCertificate& subject, bool revoked,
                                const std::string& directory) {
    std::filesystem::create_directories(directory);
    BIGNUM* serial = ASN1_INTEGER_to_BN(X509_get_serialNumber(subject.x509.get()), nullptr);
    char* hex = serial ? BN_bn2hex(serial) : nullptr;
    std::string serialHex = hex ? hex : "";
    OPENSSL_free(hex);
    BN_free(serial);
    if (serialHex.size() % 2) serialHex = "0" + serialHex;
    char* name = X509_NAME_oneline(X509_get_subject_name(subject.x509.get()), nullptr, 0);
    std::string subjectLine = name ? name : "";
    OPENSSL_free(name);

    const std::string index = directory + "/ocsp-index.txt",
                      ca = writePEMFile(directory + "/ocsp-ca.pem", issuer.certificatePEM),
                      key = writePEMFile(directory + "/ocsp-ca.key", issuer.privateKeyPEM),
                      cert = writePEMFile(directory + "/ocsp-subject.pem", subject.certificatePEM),
                      out = directory + "/ocsp-response.der";
    std::ofstream(index) << (revoked ? "R\t491231235959Z\t230101000000Z\t" : "V\t491231235959Z\t\t") << serialHex
                         << "\tunknown\t" << subjectLine << "\n";
    std::ofstream(index + ".attr") << "unique_subject = no\n";
    std::filesystem::remove(out);
    std::vector<std::string> args = {"openssl", "ocsp", "-index", index, "-rsigner", ca,  "-rkey",  key, "-CA", ca,
                                     "-issuer", ca,     "-cert",  cert,  "-respout", out, "-ndays", "1"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int spawned = posix_spawnp(&pid, "openssl", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (spawned != 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("test certificate: openssl ocsp failed");
    std::ifstream in(out, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    if (bytes.str().empty()) throw std::runtime_error("test certificate: openssl ocsp wrote no response");
    return bytes.str();
}

}  // namespace tesmar_testing
