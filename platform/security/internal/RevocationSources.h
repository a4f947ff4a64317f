#pragma once
// Internal: where a trust evaluation finds revocation data beyond the CRLs it was given: the CRL
// distribution points and the OCSP responders the certificates name (plain http, as their authors
// publish them). Fetches are synchronous, bounded in size and time, and follow the platform's
// network switch and connect-to mapping. Any thread.
#include <openssl/x509.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/security/internal/OpenSSLHandles.h"

namespace platform::security::detail {

// The http URLs of the certificate's CRL distribution points and of its OCSP responders.
std::vector<std::string> crlDistributionPoints(X509* certificate);
std::vector<std::string> ocspResponders(X509* certificate);

// The CRLs served at the certificate's distribution points (DER or PEM); those that cannot be
// fetched or read are left out.
std::vector<CRLPtr> fetchDistributionPointCRLs(X509* certificate);

enum class OCSPAnswer { good, revoked, none };

// Asks the certificate's OCSP responders about it. Only an answer signed for its issuer (checked
// against `store` and `untrusted`) and current at `at` counts; anything else is `none`.
OCSPAnswer askOCSPResponders(X509* certificate, X509* issuer, STACK_OF(X509) * untrusted, X509_STORE* store,
                             std::optional<time_t> at);

// What the OCSP answers the server stapled to its TLS handshake (DER) say of the certificate, judged
// as the responders' are, without asking anyone.
OCSPAnswer readStapledOCSPResponses(const std::vector<std::string>& responses, X509* certificate, X509* issuer,
                                    STACK_OF(X509) * untrusted, X509_STORE* store, std::optional<time_t> at);

}  // namespace platform::security::detail
