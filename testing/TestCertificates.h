#pragma once
// Test certificates made at test time with OpenSSL (EC P-256 keys, SHA-256 signatures): a small PKI
// of root CA -> intermediate CA -> leaf for a host, plus the odd ones trust tests need (expired,
// self-signed, re-issued with the same key, an unrelated root) and revocation lists.
//
// Everything is made in memory; writeServerFiles() puts a chain + key on disk in the form a
// cpp-httplib SSLServer(certPath, keyPath) wants (leaf first, then intermediates). Nothing here is
// cached between calls, so tests stay independent. Each call is self-contained and thread-safe.
#include <memory>
#include <string>
#include <vector>

#include "platform/security/Certificate.h"

typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace tesmar_testing {

// A certificate with its private key.
struct TestCertificate {
    std::string certificatePEM;
    std::string privateKeyPEM;  // PKCS#8, unencrypted
    std::shared_ptr<X509> x509;
    std::shared_ptr<EVP_PKEY> key;

    platform::security::Certificate certificate() const;
    platform::security::Bytes der() const;
    platform::security::PublicKey publicKey() const;
};

// What to put in a made certificate. Times are seconds relative to now (UTC).
struct CertificateSpec {
    std::string commonName;
    std::vector<std::string> dnsNames;     // subjectAltName DNS entries
    std::vector<std::string> ipAddresses;  // subjectAltName IP entries ("127.0.0.1", "::1")
    bool isCertificateAuthority = false;
    long notBeforeOffset = -3600;           // valid from an hour ago
    long notAfterOffset = 30L * 24 * 3600;  // for thirty days
    long serialNumber = 0;                  // 0: a random serial
    std::string crlDistributionPoint{};     // a URL where the issuer's CRL is served ("" for none)
    std::string ocspResponder{};            // the OCSP responder's URL ("" for none)
};

// Makes a fresh EC P-256 key.
std::shared_ptr<EVP_PKEY> makeKey();

// A self-signed certificate for `spec` (a root CA when spec.isCertificateAuthority).
TestCertificate makeSelfSigned(const CertificateSpec& spec, std::shared_ptr<EVP_PKEY> key = nullptr);
// A certificate for `spec` signed by `issuer`; reuses `key` when given (re-issue), else a new key.
TestCertificate issueCertificate(const CertificateSpec& spec, const TestCertificate& issuer,
                                 std::shared_ptr<EVP_PKEY> key = nullptr);

// A CRL (PEM) signed by `issuer`, listing `revoked` (certificates that `issuer` issued), valid from an
// hour ago for `validFor` seconds.
std::string makeRevocationListPEM(const TestCertificate& issuer, const std::vector<const TestCertificate*>& revoked,
                                  long validFor = 7L * 24 * 3600);

// The whole test PKI for one host name.
struct TestPKI {
    std::string hostName;
    // The CAs are valid from 90 days ago, the leaves from an hour ago for 30 days unless noted.
    TestCertificate root;             // "Tesmar Test Root CA"
    TestCertificate intermediate;     // "Tesmar Test Intermediate CA", issued by root
    TestCertificate leaf;             // hostName, SAN DNS hostName + IP 127.0.0.1, issued by intermediate
    TestCertificate expiredLeaf;      // as leaf, but expired a day ago
    TestCertificate notYetValidLeaf;  // as leaf, but valid only from a day from now
    TestCertificate selfSignedLeaf;   // as leaf, but self-signed
    TestCertificate reissuedLeaf;     // as leaf (same key), another serial and validity
    TestCertificate otherHostLeaf;    // for "other.example.test", issued by intermediate
    TestCertificate unrelatedRoot;    // "Tesmar Unrelated Root CA", issued nothing here

    static TestPKI make(const std::string& hostName = "localhost");

    // The presented chain of `which` leaf issued by the intermediate: leaf, intermediate.
    std::vector<platform::security::Certificate> chainFor(const TestCertificate& which) const;
    // A CRL from the intermediate revoking `revoked`.
    std::string revocationListRevoking(const TestCertificate& revoked) const;
};

struct ServerFiles {
    std::string certificateChainPath;  // leaf PEM followed by the intermediates' PEM
    std::string privateKeyPath;        // the leaf's key PEM
};

// Writes <directory>/<baseName>-chain.pem and <directory>/<baseName>-key.pem. Throws
// std::runtime_error when the files cannot be written (a test setup failure).
ServerFiles writeServerFiles(const std::string& directory, const TestCertificate& leaf,
                             const std::vector<const TestCertificate*>& intermediates,
                             const std::string& baseName = "server");

// Writes a PEM file (e.g. a root for PlatformSettings::extraTrustedRootsPEM); returns its path.
std::string writePEMFile(const std::string& path, const std::string& pem);

}  // namespace tesmar_testing
