#pragma once
// The test PKI: a server's PKI for a host (demo/Certificates.h) plus the odd certificates trust tests
// need (expired, not yet valid, self-signed, re-issued with the same key, another host's, an unrelated
// root). The certificate maker's names are brought in here so tests spell them tesmar_testing::...
// Nothing is cached between calls, so tests stay independent; each call is thread-safe.
#include <string>
#include <vector>

#include "demo/Certificates.h"

namespace tesmar_testing {

using TestCertificate = tesmar_demo::IssuedCertificate;
using tesmar_demo::authoritySpec;
using tesmar_demo::CertificateSpec;
using tesmar_demo::issueCertificate;
using tesmar_demo::makeKey;
using tesmar_demo::makeRevocationListPEM;
using tesmar_demo::makeSelfSigned;
using tesmar_demo::ServerFiles;
using tesmar_demo::serverSpec;
using tesmar_demo::writePEMFile;
using tesmar_demo::writeServerFiles;

// The whole test PKI for one host name: root, intermediate and leaf as ServerPKI makes them, and:
struct TestPKI : tesmar_demo::ServerPKI {
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

// An OCSP response (DER) from `issuer` about `subject` saying good or revoked, valid for a day, made by
// the openssl tool acting as the issuer's responder (its files go to `directory`). Throws
// std::runtime_error when the tool fails.
std::string makeOCSPResponseDER(const TestCertificate& issuer, const TestCertificate& subject, bool revoked,
                                const std::string& directory);

}  // namespace tesmar_testing
