#pragma once
// Certificates made at run time with OpenSSL (EC P-256 keys, SHA-256 signatures) for the local
// servers: a small PKI of root CA -> intermediate CA -> leaf for a host, any other certificate a spec
// describes, and revocation lists.
//
// Everything is made in memory; writeServerFiles() puts a chain + key on disk in the form a
// cpp-httplib SSLServer(certPath, keyPath) wants (leaf first, then intermediates). Nothing here is
// cached between calls, so servers (and tests) stay independent. Each call is self-contained and thread-safe.
#include <memory>
#include <string>
#include <vector>

#include "platform/security/Certificate.h"

typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;

namespace tesmar_demo {

// A certificate with its private key.
struct IssuedCertificate {
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
IssuedCertificate makeSelfSigned(const CertificateSpec& spec, std::shared_ptr<EVP_PKEY> key = nullptr);
// A certificate for `spec` signed by `issuer`; reuses `key` when given (re-issue), else a new key.
IssuedCertificate issueCertificate(const CertificateSpec& spec, const IssuedCertificate& issuer,
                                   std::shared_ptr<EVP_PKEY> key = nullptr);

// A CRL (PEM) signed by `issuer`, listing `revoked` (certificates that `issuer` issued), valid from an
// hour ago for `validFor` seconds.
std::string makeRevocationListPEM(const IssuedCertificate& issuer, const std::vector<const IssuedCertificate*>& revoked,
                                  long validFor = 7L * 24 * 3600);

// A certificate authority's spec named `name`, valid from 90 days ago for `lifetime` seconds.
CertificateSpec authoritySpec(const std::string& name, long lifetime);
// A server's leaf spec: `hostName` as common name and DNS name, and IP 127.0.0.1.
CertificateSpec serverSpec(const std::string& hostName);

// A server's PKI for one host name: root CA -> intermediate CA -> leaf. The CAs are valid from 90
// days ago, the leaf from an hour ago for 30 days.
struct ServerPKI {
    std::string hostName;
    IssuedCertificate root;          // "Tesmar Test Root CA"
    IssuedCertificate intermediate;  // "Tesmar Test Intermediate CA", issued by root
    IssuedCertificate leaf;          // serverSpec(hostName), issued by intermediate

    static ServerPKI make(const std::string& hostName = "localhost");
};

struct ServerFiles {
    std::string certificateChainPath;  // leaf PEM followed by the intermediates' PEM
    std::string privateKeyPath;        // the leaf's key PEM
};

// Writes <directory>/<baseName>-chain.pem and <directory>/<baseName>-key.pem. Throws
// std::runtime_error when the files cannot be written (a set-up failure).
ServerFiles writeServerFiles(const std::string& directory, const IssuedCertificate& leaf,
                             const std::vector<const IssuedCertificate*>& intermediates,
                             const std::string& baseName = "server");

// Writes a PEM file (e.g. a root for PlatformSettings::extraTrustedRootsPEM); returns its path.
std::string writePEMFile(const std::string& path, const std::string& pem);

}  // namespace tesmar_demo
