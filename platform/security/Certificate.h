#pragma once
// Certificate and PublicKey: immutable X.509 values over OpenSSL.
//
// A Certificate owns a reference to an OpenSSL certificate; copies share it (its reference count), so
// copying is cheap and a certificate may be read from any thread. Equality is byte equality of the
// DER encoding. A PublicKey is the subject public key of a certificate; two keys are equal when their
// DER-encoded SubjectPublicKeyInfo is equal, so the same key found in two different certificates
// (for example a re-issued leaf) compares equal.
//
// Bad input never crashes: the factories answer an Error (domain kOSStatusErrorDomain, code
// kCertificateDecodeError) that says what was wrong.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Error.h"

struct x509_st;
struct evp_pkey_st;

namespace platform::security {

namespace detail {
struct OpenSSLAccess;  // the security area's own way to the OpenSSL objects (internal/OpenSSLHandles.h)
}
class RevocationList;
class Trust;

using Bytes = std::vector<uint8_t>;

// Codes in kOSStatusErrorDomain for certificate and key failures.
inline constexpr int64_t kCertificateDecodeError = -26275;  // bytes are not a certificate / key / CRL
inline constexpr int64_t kCertificateParamError = -50;      // a required argument was missing

class PublicKey;

class Certificate {
public:
    // The DER encoding of exactly one certificate (trailing bytes are refused).
    static Result<Certificate> fromDER(const uint8_t* data, size_t size);
    static Result<Certificate> fromDER(const Bytes& der) { return fromDER(der.data(), der.size()); }
    // The first "CERTIFICATE" block of PEM text.
    static Result<Certificate> fromPEM(std::string_view pem);
    // Every "CERTIFICATE" block of PEM text, in order; an error when there is none or one is malformed.
    static Result<std::vector<Certificate>> allFromPEM(std::string_view pem);
    // Whether PEM text holds certificate blocks, each with the outer shape of a certificate (a sequence of
    // two sequences and a bit string), and no block that is malformed. Much cheaper than allFromPEM, which
    // also takes each certificate and its key apart: for a check of a file that is read for use later.
    static bool hasPEMCertificates(std::string_view pem);
    // DER when the bytes decode as DER, else PEM (first certificate).
    static Result<Certificate> fromDEROrPEM(const Bytes& bytes);
    Bytes der() const;
    std::string pem() const;

    // The subject's common name; the one-line subject when it has none.
    std::string subjectSummary() const;
    std::string issuerSummary() const;
    // RFC 2253 forms, e.g. "CN=Tesmar Root,O=Tesmar".
    std::string subjectName() const;
    std::string issuerName() const;
    std::string serialNumberHex() const;  // upper-case hex, no separators
    Date notValidBefore() const;
    Date notValidAfter() const;
    bool isSelfIssued() const;  // subject equals issuer
    bool isCertificateAuthority() const;
    std::vector<std::string> dnsNames() const;  // subjectAltName DNS entries

    // The subject public key; none when OpenSSL cannot decode it (unknown algorithm).
    std::optional<PublicKey> publicKey() const;

    // Whether `issuer`'s key signed this certificate, with the issuer's subject (and key identifier,
    // when both carry one) matching this certificate's issuer.
    bool isIssuedBy(const Certificate& issuer) const;

    bool operator==(const Certificate& other) const;
    bool operator!=(const Certificate& other) const { return !(*this == other); }

private:
    friend class PublicKey;
    friend class RevocationList;
    friend class Trust;
    friend struct detail::OpenSSLAccess;

    explicit Certificate(std::shared_ptr<x509_st> x509) : x509_(std::move(x509)) {}
    // Takes a new reference on an OpenSSL certificate (e.g. one from a verify callback); the caller
    // keeps its own. nullptr gives an error.
    static Result<Certificate> fromX509(x509_st* x509);
    // Borrowed; valid while any copy of this certificate lives. Do not modify.
    x509_st* x509() const { return x509_.get(); }

    std::shared_ptr<x509_st> x509_;
};

class PublicKey {
public:
    static std::optional<PublicKey> fromCertificate(const Certificate& certificate);
    // DER SubjectPublicKeyInfo, as found in a certificate.
    static Result<PublicKey> fromSubjectPublicKeyInfo(const Bytes& der);

    const Bytes& subjectPublicKeyInfo() const { return spki_; }
    std::string algorithmName() const;  // "EC", "RSA", "ED25519", ...
    int bits() const;
    bool operator==(const PublicKey& other) const { return spki_ == other.spki_; }
    bool operator!=(const PublicKey& other) const { return !(*this == other); }

private:
    friend struct detail::OpenSSLAccess;

    PublicKey(std::shared_ptr<evp_pkey_st> key, Bytes spki) : key_(std::move(key)), spki_(std::move(spki)) {}
    // Borrowed; valid while any copy of this key lives. Do not modify.
    evp_pkey_st* evpKey() const { return key_.get(); }

    std::shared_ptr<evp_pkey_st> key_;
    Bytes spki_;
};

// The DER bytes of each certificate, in order.
std::vector<Bytes> certificateData(const std::vector<Certificate>& certificates);

}  // namespace platform::security
