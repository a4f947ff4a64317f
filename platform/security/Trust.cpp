#include "platform/security/Trust.h"

#include <openssl/err.h>
#include <openssl/x509_vfy.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <map>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/security/internal/OpenSSLHandles.h"
#include "platform/security/internal/RevocationSources.h"

namespace platform::security {

using namespace detail;

namespace {

constexpr const char* kSystemCertificateDirectory = "/etc/ssl/certs";

bool isIPLiteral(const std::string& host) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 || inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// The roots parsed from one extra PEM file, kept while the file holds the same text: every TLS
// handshake evaluates trust, and parsing the same roots again each time was the largest part of that.
struct ParsedRoots {
    std::string pem;
    std::vector<Certificate> roots;
};

std::vector<Certificate> extraRootsIn(const std::string& path) {
    static dispatch::Mutex mutex;
    static auto* parsed = new std::map<std::string, ParsedRoots>;  // outlives threads still verifying at exit
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    {
        dispatch::MutexLock lock(mutex);
        if (auto it = parsed->find(path); it != parsed->end() && it->second.pem == pem) return it->second.roots;
    }
    auto roots = Certificate::allFromPEM(pem);
    if (!roots) return {};
    dispatch::MutexLock lock(mutex);
    if (parsed->size() >= 64) parsed->clear();  // files come and go (tests make their own): keep few
    (*parsed)[path] = ParsedRoots{std::move(pem), *roots};
    return *roots;
}

void addExtraRoots(X509_STORE* store) {
    for (const auto& root : Trust::extraRoots())
        X509_STORE_add_cert(store, OpenSSLAccess::x509(root));  // duplicates are harmless
    drainOpenSSLErrors();
}

// Errors a user could reasonably override; everything else is fatal.
bool isRecoverable(int error) {
    switch (error) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
    case X509_V_ERR_EMAIL_MISMATCH:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_INVALID_PURPOSE:
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_CRL_NOT_YET_VALID:
    case X509_V_ERR_CERT_CHAIN_TOO_LONG:
        return true;
    default:
        return false;
    }
}

struct VerifyState {
    bool requireLeafCRL = false;
    bool leafOCSPGood = false;  // a stapled answer already vouched for the leaf
};

int verifyCallback(int ok, X509_STORE_CTX* context) {
    if (ok) return 1;
    auto* state = static_cast<VerifyState*>(X509_STORE_CTX_get_app_data(context));
    int error = X509_STORE_CTX_get_error(context);
    // Revocation is best effort: only the CRLs we were given count, and a missing one is not a failure
    // unless a positive answer for the leaf is required.
    if (error == X509_V_ERR_UNABLE_TO_GET_CRL && state &&
        !(state->requireLeafCRL && X509_STORE_CTX_get_error_depth(context) == 0)) {
        X509_STORE_CTX_set_error(context, X509_V_OK);
        return 1;
    }
    return 0;
}

// What the certificates' own revocation sources say: their CRL distribution points (the CRLs go to
// the store, for the verification to use) and their OCSP responders. A revoked certificate ends the
// evaluation; a good OCSP answer for the leaf is the positive answer a CRL would otherwise have to give.
X509* issuerIn(const std::vector<Certificate>& chain, const std::vector<Certificate>& anchors, X509* certificate) {
    for (const auto* list : {&chain, &anchors})
        for (const auto& candidate : *list)
            if (OpenSSLAccess::x509(candidate) != certificate &&
                X509_check_issued(OpenSSLAccess::x509(candidate), certificate) == X509_V_OK)
                return OpenSSLAccess::x509(candidate);
    return nullptr;
}

TrustEvaluation revokedByOCSP(const std::vector<Certificate>& chain, size_t depth, const char* source) {
    TrustEvaluation evaluation;
    evaluation.result = TrustResultType::fatalTrustFailure;
    evaluation.verifyError = X509_V_ERR_CERT_REVOKED;
    evaluation.errorDepth = int(depth);
    evaluation.errorDescription = std::string("certificate revoked (") + source + " for certificate " +
                                  std::to_string(depth) + " \"" + chain[depth].subjectSummary() + "\")";
    drainOpenSSLErrors();
    return evaluation;
}

// What the server stapled about the leaf. A good answer stands for the leaf's positive answer.
std::optional<TrustEvaluation> consultStapledAnswers(const std::vector<Certificate>& chain,
                                                     const std::vector<Certificate>& anchors,
                                                     const std::vector<Bytes>& responses, X509_STORE* store,
                                                     STACK_OF(X509) * untrusted, std::optional<time_t> at,
                                                     VerifyState& state) {
    X509* leaf = OpenSSLAccess::x509(chain[0]);
    X509* issuer = issuerIn(chain, anchors, leaf);
    if (!issuer || responses.empty()) return std::nullopt;
    std::vector<std::string> der;
    for (const auto& r : responses) der.emplace_back(r.begin(), r.end());
    switch (readStapledOCSPResponses(der, leaf, issuer, untrusted, store, at)) {
    case OCSPAnswer::revoked:
        return revokedByOCSP(chain, 0, "stapled OCSP answer");
    case OCSPAnswer::good:
        state.leafOCSPGood = true;
        state.requireLeafCRL = false;
        break;
    case OCSPAnswer::none:
        break;
    }
    drainOpenSSLErrors();
    return std::nullopt;
}

std::optional<TrustEvaluation> consultRevocationSources(const std::vector<Certificate>& chain,
                                                        const std::vector<Certificate>& anchors, uint64_t flags,
                                                        X509_STORE* store, STACK_OF(X509) * untrusted,
                                                        std::optional<time_t> at, VerifyState& state) {
    const bool any = !(flags & (kRevocationOCSPMethod | kRevocationCRLMethod));
    const bool useOCSP = any || (flags & kRevocationOCSPMethod);
    const bool useCRL = any || (flags & kRevocationCRLMethod);
    auto issuerOf = [&](X509* certificate) { return issuerIn(chain, anchors, certificate); };
    for (size_t depth = 0; depth < chain.size(); ++depth) {
        X509* certificate = OpenSSLAccess::x509(chain[depth]);
        if (useCRL)
            for (const auto& crl : fetchDistributionPointCRLs(certificate)) X509_STORE_add_crl(store, crl.get());
        X509* issuer = useOCSP && !(depth == 0 && state.leafOCSPGood) ? issuerOf(certificate) : nullptr;
        if (!issuer) continue;
        switch (askOCSPResponders(certificate, issuer, untrusted, store, at)) {
        case OCSPAnswer::revoked:
            return revokedByOCSP(chain, depth, "OCSP answer");
        case OCSPAnswer::good:
            if (depth == 0) state.requireLeafCRL = false;
            break;
        case OCSPAnswer::none:
            break;
        }
    }
    drainOpenSSLErrors();
    return std::nullopt;
}

TrustEvaluation notRun(int32_t status, const std::string& description) {
    TrustEvaluation evaluation;
    evaluation.status = status;
    evaluation.result = TrustResultType::invalid;
    evaluation.errorDescription = description;
    return evaluation;
}

}  // namespace

Policy Policy::ssl(bool server, std::optional<std::string> hostName) {
    Policy policy;
    policy.kind_ = Kind::ssl;
    policy.server_ = server;
    policy.hostName_ = std::move(hostName);
    return policy;
}

Policy Policy::revocation(uint64_t flags) {
    Policy policy;
    policy.kind_ = Kind::revocation;
    policy.flags_ = flags;
    return policy;
}

Policy Policy::basicX509() { return Policy(); }

const char* trustResultTypeName(TrustResultType type) {
    switch (type) {
    case TrustResultType::invalid:
        return "invalid";
    case TrustResultType::proceed:
        return "proceed";
    case TrustResultType::deny:
        return "deny";
    case TrustResultType::unspecified:
        return "unspecified";
    case TrustResultType::recoverableTrustFailure:
        return "recoverableTrustFailure";
    case TrustResultType::fatalTrustFailure:
        return "fatalTrustFailure";
    case TrustResultType::otherError:
        return "otherError";
    }
    return "unknown";
}

Error TrustEvaluation::error() const {
    if (isValid()) return Error(kOSStatusErrorDomain, 0);
    int64_t code = status != kTrustStatusSuccess ? status : kTrustEvaluationFailedCode;
    std::string description = errorDescription.empty() ? trustResultTypeName(result) : errorDescription;
    return Error::withDescription(kOSStatusErrorDomain, code, description);
}

Trust::Trust(std::vector<Certificate> chain, std::vector<Policy> policies)
    : chain_(std::move(chain)), policies_(std::move(policies)) {}

Trust::Trust(const Trust& other) {
    dispatch::MutexLock lock(other.mutex_);
    chain_ = other.chain_;
    policies_ = other.policies_;
    anchors_ = other.anchors_;
    anchorsOnly_ = other.anchorsOnly_;
    revocationLists_ = other.revocationLists_;
    ocspResponses_ = other.ocspResponses_;
    verifyDate_ = other.verifyDate_;
}

Trust& Trust::operator=(const Trust& other) {
    if (this == &other) return *this;
    Trust copy(other);
    dispatch::MutexLock copyLock(copy.mutex_);  // a private copy: never contended
    dispatch::MutexLock lock(mutex_);
    chain_ = std::move(copy.chain_);
    policies_ = std::move(copy.policies_);
    anchors_ = std::move(copy.anchors_);
    anchorsOnly_ = copy.anchorsOnly_;
    revocationLists_ = std::move(copy.revocationLists_);
    ocspResponses_ = std::move(copy.ocspResponses_);
    verifyDate_ = copy.verifyDate_;
    return *this;
}

Result<Trust> Trust::fromDER(const std::vector<Bytes>& chain, std::vector<Policy> policies) {
    std::vector<Certificate> certificates;
    for (size_t i = 0; i < chain.size(); ++i) {
        auto certificate = Certificate::fromDER(chain[i]);
        if (!certificate) {
            return Error::withDescription(kOSStatusErrorDomain, kCertificateDecodeError,
                                          "certificate " + std::to_string(i) + ": " +
                                              certificate.error().localizedDescription());
        }
        certificates.push_back(std::move(*certificate));
    }
    return Trust(std::move(certificates), std::move(policies));
}

Result<Trust> Trust::fromX509Stack(const stack_st_X509* chain, std::vector<Policy> policies) {
    if (!chain) return Error::withDescription(kOSStatusErrorDomain, kCertificateParamError, "no certificate chain");
    std::vector<Certificate> certificates;
    for (int i = 0; i < sk_X509_num(chain); ++i) {
        auto certificate = Certificate::fromX509(sk_X509_value(chain, i));
        if (certificate) certificates.push_back(std::move(*certificate));
    }
    return Trust(std::move(certificates), std::move(policies));
}

Result<Trust> Trust::fromStoreContext(X509_STORE_CTX* context, std::vector<Policy> policies) {
    if (!context) return Error::withDescription(kOSStatusErrorDomain, kCertificateParamError, "no store context");
    auto leaf = Certificate::fromX509(X509_STORE_CTX_get0_cert(context));
    if (!leaf) return leaf.error();
    std::vector<Certificate> certificates{*leaf};
    STACK_OF(X509)* untrusted = X509_STORE_CTX_get0_untrusted(context);
    for (int i = 0; untrusted && i < sk_X509_num(untrusted); ++i) {
        X509* x509 = sk_X509_value(untrusted, i);
        if (!x509 || X509_cmp(x509, OpenSSLAccess::x509(*leaf)) == 0) continue;  // servers list their leaf here too
        auto certificate = Certificate::fromX509(x509);
        if (certificate) certificates.push_back(std::move(*certificate));
    }
    return Trust(std::move(certificates), std::move(policies));
}

void Trust::setPolicies(std::vector<Policy> policies) {
    dispatch::MutexLock lock(mutex_);
    policies_ = std::move(policies);
}

std::vector<Policy> Trust::policies() const {
    dispatch::MutexLock lock(mutex_);
    return policies_;
}

void Trust::setAnchorCertificates(std::vector<Certificate> anchors) {
    dispatch::MutexLock lock(mutex_);
    anchors_ = std::move(anchors);
    anchorsOnly_ = true;
}

void Trust::setAnchorCertificatesOnly(bool anchorsOnly) {
    dispatch::MutexLock lock(mutex_);
    anchorsOnly_ = anchorsOnly;
}

bool Trust::anchorCertificatesOnly() const {
    dispatch::MutexLock lock(mutex_);
    return anchorsOnly_;
}

void Trust::setRevocationLists(std::vector<RevocationList> lists) {
    dispatch::MutexLock lock(mutex_);
    revocationLists_ = std::move(lists);
}

void Trust::setOCSPResponses(std::vector<Bytes> responses) {
    dispatch::MutexLock lock(mutex_);
    ocspResponses_ = std::move(responses);
}

void Trust::setVerifyDate(std::optional<Date> date) {
    dispatch::MutexLock lock(mutex_);
    verifyDate_ = date;
}

size_t Trust::certificateCount() const {
    dispatch::MutexLock lock(mutex_);
    return chain_.size();
}

std::optional<Certificate> Trust::certificateAt(size_t index) const {
    dispatch::MutexLock lock(mutex_);
    if (index >= chain_.size()) return std::nullopt;
    return chain_[index];
}

std::vector<Certificate> Trust::certificates() const {
    dispatch::MutexLock lock(mutex_);
    return chain_;
}

std::vector<PublicKey> Trust::publicKeys() const {
    std::vector<PublicKey> keys;
    for (const auto& certificate : certificates())
        if (auto key = certificate.publicKey()) keys.push_back(std::move(*key));
    return keys;
}

std::optional<PublicKey> Trust::leafPublicKey() const {
    auto leaf = certificateAt(0);
    return leaf ? leaf->publicKey() : std::nullopt;
}

void Trust::prepareExtraRoots(const std::vector<std::string>& pemFiles) {
    for (const std::string& path : pemFiles) (void)extraRootsIn(path);  // kept for the evaluations to come
    drainOpenSSLErrors();
}

std::vector<Certificate> Trust::extraRoots() {
    std::vector<Certificate> roots;
    for (const std::string& path : PlatformConfig::current().extraTrustedRootsPEM)
        for (auto& root : extraRootsIn(path)) roots.push_back(std::move(root));
    drainOpenSSLErrors();
    return roots;
}

TrustEvaluation Trust::evaluate() const {
    Trust snapshot(*this);  // evaluate without holding the lock through file reads and OpenSSL work
    dispatch::MutexLock snapshotLock(snapshot.mutex_);  // a private copy: never contended
    if (snapshot.chain_.empty()) return notRun(kTrustStatusParam, "the trust has no certificates");

    StorePtr store(X509_STORE_new());
    X509StackPtr untrusted(sk_X509_new_null());
    StoreCtxPtr context(X509_STORE_CTX_new());
    if (!store || !untrusted || !context) {
        drainOpenSSLErrors();
        return notRun(kTrustStatusInternal, "cannot allocate the verification context");
    }
    for (const auto& anchor : snapshot.anchors_) X509_STORE_add_cert(store.get(), OpenSSLAccess::x509(anchor));
    if (!snapshot.anchorsOnly_) {
        X509_STORE_load_path(store.get(), kSystemCertificateDirectory);
        addExtraRoots(store.get());
    }

    VerifyState state;
    std::optional<uint64_t> revocationFlags;
    unsigned long flags = 0;
    int purpose = 0;
    std::optional<std::string> host;
    for (const Policy& policy : snapshot.policies_) {
        switch (policy.kind()) {
        case Policy::Kind::ssl:
            purpose = policy.isServer() ? X509_PURPOSE_SSL_SERVER : X509_PURPOSE_SSL_CLIENT;
            if (policy.hostName()) host = policy.hostName();
            break;
        case Policy::Kind::revocation:
            flags |= X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL;
            revocationFlags = revocationFlags.value_or(0) | policy.revocationFlags();
            if (policy.revocationFlags() & kRevocationRequirePositiveResponse) state.requireLeafCRL = true;
            break;
        case Policy::Kind::basicX509:
            break;
        }
    }
    if (flags & X509_V_FLAG_CRL_CHECK)
        for (const auto& list : snapshot.revocationLists_) X509_STORE_add_crl(store.get(), list.crl());
    if (!snapshot.anchors_.empty()) flags |= X509_V_FLAG_PARTIAL_CHAIN;

    for (size_t i = 1; i < snapshot.chain_.size(); ++i)
        sk_X509_push(untrusted.get(), OpenSSLAccess::x509(snapshot.chain_[i]));
    std::optional<time_t> at;
    if (snapshot.verifyDate_) at = time_t(std::floor(snapshot.verifyDate_->timeIntervalSince1970()));
    const bool ocspAllowed =
        revocationFlags && (!(*revocationFlags & kRevocationCRLMethod) || (*revocationFlags & kRevocationOCSPMethod));
    if (ocspAllowed)
        if (auto revoked = consultStapledAnswers(snapshot.chain_, snapshot.anchors_, snapshot.ocspResponses_,
                                                 store.get(), untrusted.get(), at, state))
            return *revoked;
    if (revocationFlags && !(*revocationFlags & kRevocationNetworkAccessDisabled)) {
        if (auto revoked = consultRevocationSources(snapshot.chain_, snapshot.anchors_, *revocationFlags, store.get(),
                                                    untrusted.get(), at, state))
            return *revoked;
    }
    if (X509_STORE_CTX_init(context.get(), store.get(), OpenSSLAccess::x509(snapshot.chain_[0]), untrusted.get()) !=
        1) {
        drainOpenSSLErrors();
        return notRun(kTrustStatusInternal, "cannot start the verification");
    }
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
    X509_VERIFY_PARAM_set_flags(param, flags);
    if (purpose) X509_STORE_CTX_set_purpose(context.get(), purpose);
    if (host && host->empty()) {
        // Asked to match a host but given none: never let that pass as "no host check".
        TrustEvaluation evaluation;
        evaluation.result = TrustResultType::recoverableTrustFailure;
        evaluation.verifyError = X509_V_ERR_HOSTNAME_MISMATCH;
        evaluation.errorDepth = 0;
        evaluation.errorDescription = "empty host name";
        return evaluation;
    }
    if (host) {
        int hostSet = isIPLiteral(*host) ? X509_VERIFY_PARAM_set1_ip_asc(param, host->c_str())
                                         : X509_VERIFY_PARAM_set1_host(param, host->c_str(), host->size());
        if (hostSet != 1) {
            drainOpenSSLErrors();
            return notRun(kTrustStatusParam, "invalid host name \"" + *host + "\"");
        }
    }
    if (snapshot.verifyDate_)
        X509_VERIFY_PARAM_set_time(param,
                                   static_cast<time_t>(std::floor(snapshot.verifyDate_->timeIntervalSince1970())));
    X509_STORE_CTX_set_app_data(context.get(), &state);
    X509_STORE_CTX_set_verify_cb(context.get(), verifyCallback);

    int verified = X509_verify_cert(context.get());

    TrustEvaluation evaluation;
    if (STACK_OF(X509)* path = X509_STORE_CTX_get0_chain(context.get())) {
        for (int i = 0; i < sk_X509_num(path); ++i)
            if (auto certificate = Certificate::fromX509(sk_X509_value(path, i)))
                evaluation.chain.push_back(*certificate);
    }
    if (verified == 1) {
        evaluation.result = TrustResultType::unspecified;
        drainOpenSSLErrors();
        return evaluation;
    }
    int error = X509_STORE_CTX_get_error(context.get());
    if (error == X509_V_OK) error = X509_V_ERR_UNSPECIFIED;
    evaluation.verifyError = error;
    evaluation.errorDepth = X509_STORE_CTX_get_error_depth(context.get());
    evaluation.result =
        isRecoverable(error) ? TrustResultType::recoverableTrustFailure : TrustResultType::fatalTrustFailure;
    std::string subject;
    if (X509* failing = X509_STORE_CTX_get_current_cert(context.get())) {
        if (auto certificate = Certificate::fromX509(failing)) subject = certificate->subjectSummary();
    }
    evaluation.errorDescription = std::string(X509_verify_cert_error_string(error)) + " (certificate " +
                                  std::to_string(evaluation.errorDepth) +
                                  (subject.empty() ? "" : " \"" + subject + "\"") + ")";
    drainOpenSSLErrors();
    return evaluation;
}

}  // namespace platform::security
