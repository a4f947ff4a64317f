#pragma once
// Trust: X.509 chain evaluation over OpenSSL, for server-trust challenges and certificate pinning.
//
// A Trust holds the chain a peer presented (leaf first), the policies to judge it by, optional anchor
// certificates, revocation lists and an optional verification time. evaluate() builds a path from the
// leaf to a trusted anchor and applies the policies; it may be called again after changing any input
// and nothing is cached between calls.
//
// Trusted anchors:
//  - no anchors set: the system store (/etc/ssl/certs) plus every PEM file named in
//    PlatformConfig::current().extraTrustedRootsPEM (read at each evaluation; unreadable ones skipped);
//  - setAnchorCertificates(list): only those certificates, unless setAnchorCertificatesOnly(false) adds
//    the system store and extra roots back. An anchor may be an intermediate or even the leaf itself
//    (partial chains are accepted when anchors are set), which is what certificate pinning needs.
//
// Result kinds: a chain that verifies gives `unspecified` (the usual success). Failures:
//  - recoverableTrustFailure: expired or not-yet-valid certificates, a host name or IP mismatch, an
//    untrusted or missing root (including self-signed leaves), a certificate not fit for the policy's
//    purpose, a CRL required but missing or out of date. A user could reasonably choose to trust these.
//  - fatalTrustFailure: a revoked certificate, a bad signature, a malformed certificate or extension,
//    an invalid CA or path length, and every other verification error.
// `status` is 0 whenever the evaluation ran, whatever its result; it is non-zero only when it could not
// run at all (no certificates, OpenSSL failure), and then the result is `invalid`.
// Valid (isValid()) means status 0 and result proceed or unspecified.
//
// Revocation: a revocation policy checks every certificate of the path against the CRLs given with
// setRevocationLists() and, unless the flags include kRevocationNetworkAccessDisabled, against what
// the certificates name themselves: the CRLs at their distribution points (kRevocationCRLMethod) and
// the answers of their OCSP responders (kRevocationOCSPMethod; neither method flag means both). Those
// fetches are plain http, synchronous and bounded (a few seconds each). A revoked certificate is a
// fatal failure. A certificate with no CRL and no OCSP answer passes, except the leaf when the flags
// include kRevocationRequirePositiveResponse (then it is a recoverable failure: fail closed). OCSP
// answers given with setOCSPResponses() (what a server stapled to its TLS handshake) are read for the
// leaf first, network access or not: a good one is the leaf's positive answer and its responders are
// then not asked; a revoked one is a fatal failure.
//
// Threads: every method locks the trust, so one Trust may be shared between threads (e.g. handed from
// the TLS verify callback to a delegate queue). Copies are independent.
//
// From a TLS verify callback (SSL_CTX_set_cert_verify_callback, e.g. inside libcurl's SSL context hook):
//     int verify(X509_STORE_CTX* ctx, void*) {
//         auto trust = Trust::fromStoreContext(ctx);          // presented chain, leaf first
//         if (!trust) return 0;
//         trust->setPolicies({Policy::ssl(true, host)});
//         bool accepted = askDelegateOrPolicy(*trust);        // may call evaluate() any number of times
//         X509_STORE_CTX_set_error(ctx, accepted ? X509_V_OK : X509_V_ERR_APPLICATION_VERIFICATION);
//         return accepted ? 1 : 0;
//     }
// The Trust keeps its own references to the certificates, so it may outlive the callback.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Error.h"
#include "platform/security/Certificate.h"
#include "platform/security/RevocationList.h"

typedef struct x509_store_ctx_st X509_STORE_CTX;
struct stack_st_X509;

namespace platform::security {

// Revocation policy flags.
inline constexpr uint64_t kRevocationOCSPMethod = 1u << 0;
inline constexpr uint64_t kRevocationCRLMethod = 1u << 1;
inline constexpr uint64_t kRevocationRequirePositiveResponse = 1u << 3;
inline constexpr uint64_t kRevocationNetworkAccessDisabled = 1u << 4;
inline constexpr uint64_t kRevocationUseAnyAvailableMethod = kRevocationOCSPMethod | kRevocationCRLMethod;

// Status codes (kOSStatusErrorDomain) of a trust that could not be made or evaluated.
inline constexpr int32_t kTrustStatusSuccess = 0;
inline constexpr int32_t kTrustStatusParam = -50;             // no certificates
inline constexpr int32_t kTrustStatusInternal = -26276;       // OpenSSL could not run the evaluation
inline constexpr int64_t kTrustEvaluationFailedCode = -9807;  // Error code of a failed evaluation

// One rule a chain must satisfy. Immutable value.
class Policy {
public:
    enum class Kind { ssl, revocation, basicX509 };

    // TLS: the path must be fit for server (or client) authentication; with a host name the leaf must
    // also match it (DNS name, or IP address when the host is an IP literal). An empty host name
    // matches nothing; a host name OpenSSL refuses (e.g. with a NUL byte) stops the evaluation.
    static Policy ssl(bool server = true, std::optional<std::string> hostName = std::nullopt);
    // Revocation checking as `flags` (kRevocation...) say.
    static Policy revocation(uint64_t flags);
    // A plain X.509 path check (no purpose, no host).
    static Policy basicX509();

    Kind kind() const { return kind_; }
    bool isServer() const { return server_; }
    const std::optional<std::string>& hostName() const { return hostName_; }
    uint64_t revocationFlags() const { return flags_; }

private:
    Kind kind_ = Kind::basicX509;
    bool server_ = true;
    std::optional<std::string> hostName_;
    uint64_t flags_ = 0;
};

enum class TrustResultType : int {
    invalid = 0,
    proceed = 1,
    deny = 3,
    unspecified = 4,
    recoverableTrustFailure = 5,
    fatalTrustFailure = 6,
    otherError = 7,
};

const char* trustResultTypeName(TrustResultType type);

struct TrustEvaluation {
    int32_t status = kTrustStatusSuccess;
    TrustResultType result = TrustResultType::invalid;
    int verifyError = 0;             // OpenSSL X509_V_ERR_* of the failure, 0 on success
    int errorDepth = -1;             // index in the path of the failing certificate (0 = leaf), -1 when none
    std::string errorDescription;    // empty on success
    std::vector<Certificate> chain;  // the path built, leaf to anchor (possibly partial on failure)

    bool isValid() const {
        return status == kTrustStatusSuccess &&
               (result == TrustResultType::proceed || result == TrustResultType::unspecified);
    }
    // The failure as an Error (kOSStatusErrorDomain); a success gives an Error with code 0.
    Error error() const;
};

class Trust {
public:
    explicit Trust(std::vector<Certificate> chain, std::vector<Policy> policies = {Policy::basicX509()});
    Trust(const Trust& other);
    Trust& operator=(const Trust& other);

    // A chain of DER certificates, leaf first; an error naming the index of the first bad one.
    static Result<Trust> fromDER(const std::vector<Bytes>& chain, std::vector<Policy> policies = {Policy::basicX509()});
    // The certificates of an OpenSSL stack, in stack order (leaf first); the stack is not consumed.
    static Result<Trust> fromX509Stack(const stack_st_X509* chain,
                                       std::vector<Policy> policies = {Policy::basicX509()});
    // What a TLS verify callback is given: the peer's leaf (X509_STORE_CTX_get0_cert) followed by the
    // rest of the chain it sent (X509_STORE_CTX_get0_untrusted, the leaf not repeated).
    static Result<Trust> fromStoreContext(X509_STORE_CTX* context,
                                          std::vector<Policy> policies = {Policy::basicX509()});

    void setPolicies(std::vector<Policy> policies);  // replaces; empty means basic X.509
    std::vector<Policy> policies() const;

    // Makes `anchors` the trusted anchors and turns anchors-only on.
    void setAnchorCertificates(std::vector<Certificate> anchors);
    void setAnchorCertificatesOnly(bool anchorsOnly);
    bool anchorCertificatesOnly() const;

    void setRevocationLists(std::vector<RevocationList> lists);
    // DER OCSP responses about the leaf, as a server stapled them (replaces earlier ones).
    void setOCSPResponses(std::vector<Bytes> responses);
    // Evaluate as of `date` instead of now (tests, or checking a past signature); nullopt is now.
    void setVerifyDate(std::optional<Date> date);

    TrustEvaluation evaluate() const;
    bool evaluatesValid() const { return evaluate().isValid(); }

    // Reads and parses extra trusted roots (PEM files PlatformConfig is to name) as the first evaluation
    // would, which then finds them parsed (they are kept while their files hold the same text). For a
    // device to call on a worker while it boots, so that its first TLS handshake does not wait for them.
    // Any thread.
    static void prepareExtraRoots(const std::vector<std::string>& pemFiles);
    // The extra trusted roots PlatformConfig::current() names, as evaluations find them (parsed once while
    // their files hold the same text; unreadable ones skipped): for a caller that trusts those alone
    // (setAnchorCertificates). Any thread.
    static std::vector<Certificate> extraRoots();

    // The presented certificates, leaf first.
    size_t certificateCount() const;
    std::optional<Certificate> certificateAt(size_t index) const;
    std::vector<Certificate> certificates() const;
    // The public key of each presented certificate that has one, in order.
    std::vector<PublicKey> publicKeys() const;
    // The leaf's public key.
    std::optional<PublicKey> leafPublicKey() const;

private:
    mutable dispatch::Mutex mutex_;
    std::vector<Certificate> chain_ GUARDED_BY(mutex_);
    std::vector<Policy> policies_ GUARDED_BY(mutex_);
    std::vector<Certificate> anchors_ GUARDED_BY(mutex_);
    bool anchorsOnly_ GUARDED_BY(mutex_) = false;
    std::vector<RevocationList> revocationLists_ GUARDED_BY(mutex_);
    std::vector<Bytes> ocspResponses_ GUARDED_BY(mutex_);
    std::optional<Date> verifyDate_ GUARDED_BY(mutex_);
};

}  // namespace platform::security
