#include "Rivulet/Source/ServerTrustPolicy.h"

#include <filesystem>
#include <set>

#include "platform/foundation/FileManager.h"

namespace rivulet {

namespace {

using platform::security::Policy;

// Resource files are small; anything larger is not a certificate.
constexpr size_t kMaximumCertificateFileSize = 1 << 20;

Policy sslPolicy(bool validateHost, const std::string& host) {
    return Policy::ssl(true, validateHost ? std::optional<std::string>(host) : std::nullopt);
}

// Whether `issuer`'s key signed `child` (names and key identifiers must match as well).
bool isIssuedBy(const SecCertificate& child, const SecCertificate& issuer) { return child.isIssuedBy(issuer); }

// The presented certificates the leaf reaches by signatures: the leaf, its issuer if presented, that
// one's issuer, and so on. Certificates merely sent along are not on it.
std::vector<SecCertificate> signatureLinkedPath(const SecTrust& trust) {
    std::vector<SecCertificate> presented = trust.certificates();
    std::vector<SecCertificate> path;
    if (presented.empty()) return path;
    std::vector<bool> used(presented.size(), false);
    path.push_back(presented[0]);
    used[0] = true;
    for (bool extended = true; extended;) {
        extended = false;
        for (size_t i = 0; i < presented.size(); ++i) {
            if (!used[i] && isIssuedBy(path.back(), presented[i])) {
                used[i] = true;
                path.push_back(presented[i]);
                extended = true;
                break;
            }
        }
    }
    return path;
}

bool anyKeyMatches(const std::vector<SecCertificate>& certificates, const std::vector<SecKey>& pinned) {
    for (const auto& certificate : certificates) {
        auto key = ServerTrustPolicy::publicKey(certificate);
        if (!key) continue;
        for (const auto& pin : pinned) {
            if (*key == pin) return true;
        }
    }
    return false;
}

}  // namespace

bool ServerTrustPolicy::trustIsValid(const SecTrust& trust) { return trust.evaluate().isValid(); }

bool ServerTrustPolicy::evaluate(SecTrust& serverTrust, const std::string& host) const {
    struct Visitor {
        SecTrust& trust;
        const std::string& host;

        bool operator()(const PerformDefaultEvaluation& p) const {
            trust.setPolicies({sslPolicy(p.validateHost, host)});
            return trustIsValid(trust);
        }
        bool operator()(const PerformRevokedEvaluation& p) const {
            trust.setPolicies({sslPolicy(p.validateHost, host), Policy::revocation(p.revocationFlags)});
            return trustIsValid(trust);
        }
        bool operator()(const PinCertificates& p) const {
            if (p.validateCertificateChain) {
                trust.setPolicies({sslPolicy(p.validateHost, host)});
                trust.setAnchorCertificates(p.certificates);
                trust.setAnchorCertificatesOnly(true);
                return trustIsValid(trust);
            }
            const auto serverData = certificateData(signatureLinkedPath(trust));
            const auto pinnedData = certificateData(p.certificates);
            for (const auto& server : serverData) {
                for (const auto& pinned : pinnedData) {
                    if (server == pinned) return true;
                }
            }
            return false;
        }
        bool operator()(const PinPublicKeys& p) const {
            if (p.validateCertificateChain) {
                trust.setPolicies({sslPolicy(p.validateHost, host)});
                auto evaluation = trust.evaluate();
                if (!evaluation.isValid()) return false;
                // Only keys on the verified path count, not extra certificates sent along.
                return anyKeyMatches(evaluation.chain, p.publicKeys);
            }
            return anyKeyMatches(signatureLinkedPath(trust), p.publicKeys);
        }
        bool operator()(const CustomEvaluation& p) const {
            if (!p.evaluator || !*p.evaluator) return false;
            try {
                return (*p.evaluator)(trust, host);
            } catch (...) {
                return false;  // a closure that fails to answer accepts nothing
            }
        }
        bool operator()(const DisableEvaluation&) const { return true; }
    };
    return std::visit(Visitor{serverTrust, host}, case_);
}

std::vector<SecCertificate> ServerTrustPolicy::certificates(const platform::Bundle& bundle) {
    static const std::set<std::string> kTypes = {".cer", ".CER", ".crt", ".CRT", ".der", ".DER"};
    std::set<std::string> paths;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(bundle.resourcePath(), ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (!it->is_regular_file(typeError)) continue;
        if (kTypes.count(it->path().extension().string())) paths.insert(it->path().string());
    }
    // Each file is one DER certificate; anything else in it (PEM text, several certificates) is skipped.
    std::vector<SecCertificate> certificates;
    for (const auto& path : paths) {
        auto bytes = platform::FileManager::defaultManager().contentsOfFile(path, kMaximumCertificateFileSize);
        if (!bytes) continue;
        if (auto certificate = SecCertificate::fromDER(*bytes)) certificates.push_back(std::move(*certificate));
    }
    return certificates;
}

std::vector<SecKey> ServerTrustPolicy::publicKeys(const platform::Bundle& bundle) {
    std::vector<SecKey> keys;
    for (const auto& certificate : certificates(bundle)) {
        if (auto key = publicKey(certificate)) keys.push_back(*key);
    }
    return keys;
}

std::vector<platform::security::Bytes> ServerTrustPolicy::certificateData(const SecTrust& trust) {
    return certificateData(trust.certificates());
}

std::vector<platform::security::Bytes>
ServerTrustPolicy::certificateData(const std::vector<SecCertificate>& certificates) {
    return platform::security::certificateData(certificates);
}

std::vector<SecKey> ServerTrustPolicy::publicKeys(const SecTrust& trust) { return trust.publicKeys(); }

std::optional<SecKey> ServerTrustPolicy::publicKey(const SecCertificate& certificate) {
    return certificate.publicKey();
}

std::optional<ServerTrustPolicy> ServerTrustPolicyManager::serverTrustPolicy(const std::string& host) const {
    auto it = policies.find(host);
    if (it == policies.end()) return std::nullopt;
    return it->second;
}

}  // namespace rivulet
