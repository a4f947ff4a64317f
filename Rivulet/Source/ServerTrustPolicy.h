#pragma once
// Server trust policies: how the chain a server presents in a TLS server-trust challenge is judged for
// one host, and the per-host table of them.
//
// evaluate() changes the policies (and, for chain-validated certificate pinning, the anchors) of the
// Trust it is given; those changes last as long as that Trust. Nothing is cached between evaluations.
// Nothing throws: any failure makes the answer false or the item absent.
//
// Pinning without chain validation still requires the pinned certificate (or key) to be the
// presented leaf's, or to belong to a certificate that the leaf links to by signatures within the
// presented chain: a certificate merely appended to a chain proves nothing, since anyone can send the
// real site's public certificate behind their own leaf.
//
// Policies are immutable; copies share the pinned certificates, keys and the closure. Evaluation runs
// where the challenge handlers run (the URL session's delegate queue); a custom closure is called there.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/security/Certificate.h"
#include "platform/security/Trust.h"

namespace rivulet {

using SecTrust = platform::security::Trust;
using SecCertificate = platform::security::Certificate;
using SecKey = platform::security::PublicKey;

class ServerTrustPolicy {
public:
    struct PerformDefaultEvaluation {
        bool validateHost = true;
    };
    struct PerformRevokedEvaluation {
        bool validateHost = true;
        uint64_t revocationFlags = platform::security::kRevocationUseAnyAvailableMethod;
    };
    struct PinCertificates {
        std::vector<SecCertificate> certificates;
        bool validateCertificateChain = true;
        bool validateHost = true;
    };
    struct PinPublicKeys {
        std::vector<SecKey> publicKeys;
        bool validateCertificateChain = true;
        bool validateHost = true;
    };
    using Evaluator = std::function<bool(SecTrust& serverTrust, const std::string& host)>;
    struct CustomEvaluation {
        std::shared_ptr<const Evaluator> evaluator;
    };
    struct DisableEvaluation {};

    using Case = std::variant<PerformDefaultEvaluation, PerformRevokedEvaluation, PinCertificates, PinPublicKeys,
                              CustomEvaluation, DisableEvaluation>;

    static ServerTrustPolicy performDefaultEvaluation(bool validateHost) {
        return ServerTrustPolicy(PerformDefaultEvaluation{validateHost});
    }
    static ServerTrustPolicy performRevokedEvaluation(bool validateHost, uint64_t revocationFlags) {
        return ServerTrustPolicy(PerformRevokedEvaluation{validateHost, revocationFlags});
    }
    static ServerTrustPolicy pinCertificates(std::vector<SecCertificate> certificates, bool validateCertificateChain,
                                             bool validateHost) {
        return ServerTrustPolicy(PinCertificates{std::move(certificates), validateCertificateChain, validateHost});
    }
    static ServerTrustPolicy pinPublicKeys(std::vector<SecKey> publicKeys, bool validateCertificateChain,
                                           bool validateHost) {
        return ServerTrustPolicy(PinPublicKeys{std::move(publicKeys), validateCertificateChain, validateHost});
    }
    static ServerTrustPolicy customEvaluation(Evaluator evaluator) {
        return ServerTrustPolicy(CustomEvaluation{std::make_shared<const Evaluator>(std::move(evaluator))});
    }
    static ServerTrustPolicy disableEvaluation() { return ServerTrustPolicy(DisableEvaluation{}); }

    explicit ServerTrustPolicy(Case c) : case_(std::move(c)) {}
    const Case& value() const { return case_; }

    // True when the server trust is accepted for `host`.
    bool evaluate(SecTrust& serverTrust, const std::string& host) const;

    // Valid: evaluated with status 0 and result proceed or unspecified.
    static bool trustIsValid(const SecTrust& trust);

    // Certificates among a bundle's resources (".cer", ".crt", ".der" in either case, top level only);
    // unreadable files and bytes that are not a certificate are skipped.
    static std::vector<SecCertificate> certificates(const platform::Bundle& bundle);
    static std::vector<SecKey> publicKeys(const platform::Bundle& bundle);
    // The DER bytes of each certificate of the trust, in the trust's order.
    static std::vector<platform::security::Bytes> certificateData(const SecTrust& trust);
    static std::vector<platform::security::Bytes> certificateData(const std::vector<SecCertificate>& certificates);
    static std::vector<SecKey> publicKeys(const SecTrust& trust);
    static std::optional<SecKey> publicKey(const SecCertificate& certificate);

private:
    Case case_;
};

// Host name -> policy, fixed at construction. Lookups are exact and case-sensitive (no wildcards, no
// parent domains). Subclasses may replace serverTrustPolicy(forHost:) with their own matching; callers
// always go through that virtual lookup. Read without a lock from any thread.
class ServerTrustPolicyManager {
public:
    explicit ServerTrustPolicyManager(std::map<std::string, ServerTrustPolicy> policies)
        : policies(std::move(policies)) {}
    virtual ~ServerTrustPolicyManager() = default;

    // The policy stored under exactly `host`, or none.
    virtual std::optional<ServerTrustPolicy> serverTrustPolicy(const std::string& host) const;

    const std::map<std::string, ServerTrustPolicy> policies;
};

}  // namespace rivulet
