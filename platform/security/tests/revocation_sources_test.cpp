// Revocation data the certificates name themselves: a CRL served at their distribution point by the
// test server, and the answers of a real OCSP responder (the openssl tool's).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/bn.h>
#include <openssl/x509.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "platform/dispatch/MainLoop.h"
#include "platform/security/Trust.h"
#include "testing/TestCertificates.h"
#include "testing/TestHttpServer.h"

extern char** environ;

using namespace platform;
using namespace platform::security;
using tesmar_testing::CertificateSpec;
using tesmar_testing::Reply;
using tesmar_testing::TestCertificate;
using tesmar_testing::TestHttpServer;
using tesmar_testing::TestPKI;

namespace {

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// Whether something listens on the port, found without connecting: the responder serves one
// connection at a time and gives up on a request it cannot read.
bool listening(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool taken = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 && errno == EADDRINUSE;
    ::close(fd);
    return taken;
}

std::string serialHex(const TestCertificate& c) {
    BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get_serialNumber(c.x509.get()), nullptr);
    char* hex = BN_bn2hex(bn);
    std::string out = hex;
    OPENSSL_free(hex);
    BN_free(bn);
    if (out.size() % 2) out = "0" + out;
    return out;
}

std::string subjectLine(const TestCertificate& c) {
    char* text = X509_NAME_oneline(X509_get_subject_name(c.x509.get()), nullptr, 0);
    std::string out = text;
    OPENSSL_free(text);
    return out;
}

// The openssl tool as an OCSP responder for the intermediate CA, knowing one good and one revoked leaf.
class OCSPResponder {
public:
    OCSPResponder(const std::string& directory, const TestCertificate& ca, const TestCertificate& good,
                  const TestCertificate& revoked, int port) {
        const std::string index = directory + "/index.txt", caPath = directory + "/ca.pem",
                          keyPath = directory + "/ca.key";
        std::ofstream(caPath) << ca.certificatePEM;
        std::ofstream(keyPath) << ca.privateKeyPEM;
        std::ofstream(index) << "V\t491231235959Z\t\t" << serialHex(good) << "\tunknown\t" << subjectLine(good) << "\n"
                             << "R\t491231235959Z\t230101000000Z\t" << serialHex(revoked) << "\tunknown\t"
                             << subjectLine(revoked) << "\n";
        std::ofstream(index + ".attr") << "unique_subject = no\n";
        std::vector<std::string> args = {"openssl",  "ocsp", "-index", index,   "-port", std::to_string(port),
                                         "-rsigner", caPath, "-rkey",  keyPath, "-CA",   caPath};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&pid_, "openssl", &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~OCSPResponder() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    bool started() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
};

class RevocationSourcesTest : public ::testing::Test {
public:
    void SetUp() override {
        directory = std::filesystem::temp_directory_path() / ("revocation-" + std::to_string(::getpid()));
        std::filesystem::create_directories(directory);
        ocspPort = freePort();
        const std::string ocsp = "http://127.0.0.1:" + std::to_string(ocspPort) + "/";
        const std::string crl = server.url("/intermediate.crl");
        leaf = issue("good", crl, ocsp);
        revoked = issue("revoked", crl, ocsp);
        noCRL = issue("no-crl", server.url("/missing.crl"), "");
        unreachable = issue("unreachable", "", "http://127.0.0.1:" + std::to_string(freePort()) + "/");
        server.route("GET", "/intermediate.crl",
                     Reply::text(tesmar_testing::makeRevocationListPEM(pki.intermediate, {&revoked})));
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(directory, ec);
    }
    TestCertificate issue(const std::string& name, const std::string& crl, const std::string& ocsp) {
        CertificateSpec spec;
        spec.commonName = name + ".site.example.test";
        spec.dnsNames = {spec.commonName};
        spec.crlDistributionPoint = crl;
        spec.ocspResponder = ocsp;
        return tesmar_testing::issueCertificate(spec, pki.intermediate);
    }
    TrustEvaluation evaluate(const TestCertificate& which, uint64_t flags) {
        Trust trust({which.certificate(), pki.intermediate.certificate()},
                    {Policy::ssl(true, std::nullopt), Policy::revocation(flags)});
        trust.setAnchorCertificates({pki.root.certificate()});
        trust.setAnchorCertificatesOnly(true);
        return trust.evaluate();
    }

    TestPKI pki = TestPKI::make("site.example.test");
    TestHttpServer server;
    std::filesystem::path directory;
    int ocspPort = 0;
    TestCertificate leaf, revoked, noCRL, unreachable;
};

struct Row {
    const char* name;
    TestCertificate RevocationSourcesTest::*which;
    uint64_t flags;
    TrustResultType expected;
    int error = X509_V_OK;
};

TEST_F(RevocationSourcesTest, CRLsAtTheDistributionPoints) {
    const Row rows[] = {
        {"good leaf", &RevocationSourcesTest::leaf, kRevocationCRLMethod, TrustResultType::unspecified},
        {"revoked leaf", &RevocationSourcesTest::revoked, kRevocationCRLMethod, TrustResultType::fatalTrustFailure,
         X509_V_ERR_CERT_REVOKED},
        {"revoked leaf, no network", &RevocationSourcesTest::revoked,
         kRevocationCRLMethod | kRevocationNetworkAccessDisabled, TrustResultType::unspecified},
        {"no CRL served, best effort", &RevocationSourcesTest::noCRL, kRevocationCRLMethod,
         TrustResultType::unspecified},
        {"no CRL served, positive answer required", &RevocationSourcesTest::noCRL,
         kRevocationCRLMethod | kRevocationRequirePositiveResponse, TrustResultType::recoverableTrustFailure,
         X509_V_ERR_UNABLE_TO_GET_CRL},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto evaluation = evaluate(this->*row.which, row.flags);
        EXPECT_EQ(evaluation.result, row.expected) << evaluation.errorDescription;
        EXPECT_EQ(evaluation.verifyError, row.error) << evaluation.errorDescription;
    }
}

TEST_F(RevocationSourcesTest, AnswersOfTheOCSPResponder) {
    OCSPResponder responder(directory.string(), pki.intermediate, leaf, revoked, ocspPort);
    ASSERT_TRUE(responder.started()) << "no openssl tool";
    ASSERT_TRUE(dispatch::MainLoop::shared().runUntil([&] { return listening(ocspPort); }, 20));
    const Row rows[] = {
        {"good leaf", &RevocationSourcesTest::leaf, kRevocationOCSPMethod, TrustResultType::unspecified},
        {"good leaf is a positive answer", &RevocationSourcesTest::leaf,
         kRevocationOCSPMethod | kRevocationRequirePositiveResponse, TrustResultType::unspecified},
        {"revoked leaf", &RevocationSourcesTest::revoked, kRevocationOCSPMethod, TrustResultType::fatalTrustFailure,
         X509_V_ERR_CERT_REVOKED},
        {"revoked leaf, either method", &RevocationSourcesTest::revoked, kRevocationUseAnyAvailableMethod,
         TrustResultType::fatalTrustFailure, X509_V_ERR_CERT_REVOKED},
        {"responder unreachable, best effort", &RevocationSourcesTest::unreachable, kRevocationOCSPMethod,
         TrustResultType::unspecified},
        {"responder unreachable, positive answer required", &RevocationSourcesTest::unreachable,
         kRevocationOCSPMethod | kRevocationRequirePositiveResponse, TrustResultType::recoverableTrustFailure,
         X509_V_ERR_UNABLE_TO_GET_CRL},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        auto evaluation = evaluate(this->*row.which, row.flags);
        EXPECT_EQ(evaluation.result, row.expected) << evaluation.errorDescription;
        EXPECT_EQ(evaluation.verifyError, row.error) << evaluation.errorDescription;
    }
}

}  // namespace
