#include "platform/security/Certificate.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <ctime>

#include "platform/security/internal/OpenSSLHandles.h"

namespace platform::security {

namespace detail {

std::string drainOpenSSLErrors() {
    std::string text;
    unsigned long code;
    while ((code = ERR_get_error()) != 0) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty()) text += "; ";
        text += buffer;
    }
    return text;
}

BIOPtr readOnlyBIO(const void* data, size_t size) {
    if (size > static_cast<size_t>(INT32_MAX)) return nullptr;
    return BIOPtr(BIO_new_mem_buf(size ? data : "", static_cast<int>(size)));
}

std::string bioContents(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    if (length <= 0 || !data) return {};
    return std::string(data, static_cast<size_t>(length));
}

}  // namespace detail

using namespace detail;

namespace {

Error decodeError(const std::string& what) {
    std::string reason = drainOpenSSLErrors();
    return Error::withDescription(kOSStatusErrorDomain, kCertificateDecodeError,
                                  reason.empty() ? what : what + " (" + reason + ")");
}

std::string nameOneLine(const X509_NAME* name) {
    if (!name) return {};
    BIOPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) return {};
    X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    return bioContents(bio.get());
}

std::string commonName(const X509_NAME* name) {
    if (!name) return {};
    int index = X509_NAME_get_index_by_NID(name, NID_commonName, -1);
    if (index < 0) return {};
    ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(name, index));
    unsigned char* utf8 = nullptr;
    int length = ASN1_STRING_to_UTF8(&utf8, data);
    if (length < 0) return {};
    std::string result(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
    OPENSSL_free(utf8);
    return result;
}

Date dateFromASN1(const ASN1_TIME* time) {
    struct tm parts {};
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1) return Date::distantPast();
    return Date::fromTimeIntervalSince1970(static_cast<double>(timegm(&parts)));
}

}  // namespace

Result<Certificate> Certificate::fromDER(const uint8_t* data, size_t size) {
    if (!data || size == 0)
        return Error::withDescription(kOSStatusErrorDomain, kCertificateDecodeError, "empty certificate data");
    if (size > static_cast<size_t>(INT32_MAX)) return decodeError("certificate data too large");
    const unsigned char* cursor = data;
    X509Ptr x509(d2i_X509(nullptr, &cursor, static_cast<long>(size)));
    if (!x509) return decodeError("bytes are not a DER certificate");
    if (cursor != data + size) return decodeError("trailing bytes after the DER certificate");
    drainOpenSSLErrors();
    return Certificate(std::shared_ptr<X509>(x509.release(), X509Deleter{}));
}

Result<std::vector<Certificate>> Certificate::allFromPEM(std::string_view pem) {
    BIOPtr bio = readOnlyBIO(pem.data(), pem.size());
    if (!bio) return decodeError("PEM text too large");
    std::vector<Certificate> certificates;
    for (;;) {
        X509* raw = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr);
        if (!raw) {
            unsigned long last = ERR_peek_last_error();
            // Running out of blocks is the normal end; anything else is a malformed block.
            if (ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE) {
                drainOpenSSLErrors();
                break;
            }
            return decodeError("malformed PEM certificate");
        }
        certificates.push_back(Certificate(std::shared_ptr<X509>(raw, X509Deleter{})));
    }
    if (certificates.empty()) return decodeError("no PEM certificate found");
    return certificates;
}

bool Certificate::hasPEMCertificates(std::string_view pem) {
    BIOPtr bio = readOnlyBIO(pem.data(), pem.size());
    if (!bio) return false;
    size_t found = 0;
    for (;;) {
        unsigned char* der = nullptr;
        long length = 0;
        // The blocks PEM_read_bio_X509 takes, and only those: the others are skipped as it skips them.
        if (!PEM_bytes_read_bio(&der, &length, nullptr, PEM_STRING_X509, bio.get(), nullptr, nullptr)) {
            unsigned long last = ERR_peek_last_error();
            drainOpenSSLErrors();
            return found > 0 && ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE;
        }
        const unsigned char* p = der;
        ASN1_SEQUENCE_ANY* outer = d2i_ASN1_SEQUENCE_ANY(nullptr, &p, length);
        const bool shaped = outer && sk_ASN1_TYPE_num(outer) == 3 &&
                            ASN1_TYPE_get(sk_ASN1_TYPE_value(outer, 0)) == V_ASN1_SEQUENCE &&
                            ASN1_TYPE_get(sk_ASN1_TYPE_value(outer, 1)) == V_ASN1_SEQUENCE &&
                            ASN1_TYPE_get(sk_ASN1_TYPE_value(outer, 2)) == V_ASN1_BIT_STRING;
        sk_ASN1_TYPE_pop_free(outer, ASN1_TYPE_free);
        OPENSSL_free(der);
        if (!shaped) {
            drainOpenSSLErrors();
            return false;
        }
        ++found;
    }
}

Result<Certificate> Certificate::fromPEM(std::string_view pem) {
    auto all = allFromPEM(pem);
    if (!all) return all.error();
    return all.value().front();
}

Result<Certificate> Certificate::fromDEROrPEM(const Bytes& bytes) {
    auto der = fromDER(bytes);
    if (der) return der;
    auto pem = fromPEM(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (pem) return pem;
    return der.error();
}

Result<Certificate> Certificate::fromX509(X509* x509) {
    auto shared = shareX509(x509);
    if (!shared) return Error::withDescription(kOSStatusErrorDomain, kCertificateParamError, "no certificate given");
    return Certificate(std::move(shared));
}

Bytes Certificate::der() const {
    unsigned char* out = nullptr;
    int length = i2d_X509(x509_.get(), &out);
    if (length <= 0) {
        drainOpenSSLErrors();
        return {};
    }
    Bytes bytes(out, out + length);
    OPENSSL_free(out);
    return bytes;
}

std::string Certificate::pem() const {
    BIOPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_X509(bio.get(), x509_.get()) != 1) {
        drainOpenSSLErrors();
        return {};
    }
    return bioContents(bio.get());
}

std::string Certificate::subjectSummary() const {
    std::string cn = commonName(X509_get_subject_name(x509_.get()));
    return cn.empty() ? subjectName() : cn;
}

std::string Certificate::issuerSummary() const {
    std::string cn = commonName(X509_get_issuer_name(x509_.get()));
    return cn.empty() ? issuerName() : cn;
}

std::string Certificate::subjectName() const { return nameOneLine(X509_get_subject_name(x509_.get())); }
std::string Certificate::issuerName() const { return nameOneLine(X509_get_issuer_name(x509_.get())); }

std::string Certificate::serialNumberHex() const {
    BIGNUM* bn = ASN1_INTEGER_to_BN(X509_get0_serialNumber(x509_.get()), nullptr);
    if (!bn) return {};
    char* hex = BN_bn2hex(bn);
    std::string result = hex ? hex : "";
    OPENSSL_free(hex);
    BN_free(bn);
    return result;
}

Date Certificate::notValidBefore() const { return dateFromASN1(X509_get0_notBefore(x509_.get())); }
Date Certificate::notValidAfter() const { return dateFromASN1(X509_get0_notAfter(x509_.get())); }

bool Certificate::isSelfIssued() const {
    return X509_NAME_cmp(X509_get_subject_name(x509_.get()), X509_get_issuer_name(x509_.get())) == 0;
}

bool Certificate::isCertificateAuthority() const { return X509_check_ca(x509_.get()) > 0; }

std::vector<std::string> Certificate::dnsNames() const {
    std::vector<std::string> names;
    auto* general = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(x509_.get(), NID_subject_alt_name, nullptr, nullptr));
    if (!general) return names;
    for (int i = 0; i < sk_GENERAL_NAME_num(general); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(general, i);
        if (name->type != GEN_DNS) continue;
        const ASN1_IA5STRING* dns = name->d.dNSName;
        names.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(dns)),
                           static_cast<size_t>(ASN1_STRING_length(dns)));
    }
    GENERAL_NAMES_free(general);
    return names;
}

std::optional<PublicKey> Certificate::publicKey() const { return PublicKey::fromCertificate(*this); }

bool Certificate::isIssuedBy(const Certificate& issuer) const {
    bool issued = X509_check_issued(issuer.x509(), x509()) == X509_V_OK;
    if (issued) {
        EVP_PKEY* key = X509_get0_pubkey(issuer.x509());
        issued = key && X509_verify(x509(), key) == 1;
    }
    drainOpenSSLErrors();
    return issued;
}

bool Certificate::operator==(const Certificate& other) const {
    if (x509_ == other.x509_) return true;
    if (!x509_ || !other.x509_) return false;
    return der() == other.der();
}

std::optional<PublicKey> PublicKey::fromCertificate(const Certificate& certificate) {
    EVP_PKEY* key = X509_get0_pubkey(certificate.x509());
    if (!key) {
        drainOpenSSLErrors();
        return std::nullopt;
    }
    unsigned char* out = nullptr;
    int length = i2d_PUBKEY(key, &out);
    if (length <= 0) {
        drainOpenSSLErrors();
        return std::nullopt;
    }
    Bytes spki(out, out + length);
    OPENSSL_free(out);
    auto shared = shareKey(key);
    if (!shared) return std::nullopt;
    return PublicKey(std::move(shared), std::move(spki));
}

Result<PublicKey> PublicKey::fromSubjectPublicKeyInfo(const Bytes& der) {
    if (der.empty() || der.size() > static_cast<size_t>(INT32_MAX)) return decodeError("bad public key length");
    const unsigned char* cursor = der.data();
    EVPKeyPtr key(d2i_PUBKEY(nullptr, &cursor, static_cast<long>(der.size())));
    if (!key) return decodeError("bytes are not a DER SubjectPublicKeyInfo");
    if (cursor != der.data() + der.size()) return decodeError("trailing bytes after the public key");
    unsigned char* out = nullptr;
    int length = i2d_PUBKEY(key.get(), &out);
    if (length <= 0) return decodeError("public key cannot be re-encoded");
    Bytes spki(out, out + length);
    OPENSSL_free(out);
    return PublicKey(std::shared_ptr<EVP_PKEY>(key.release(), EVPKeyDeleter{}), std::move(spki));
}

std::string PublicKey::algorithmName() const {
    const char* name = EVP_PKEY_get0_type_name(key_.get());
    return name ? name : "";
}

int PublicKey::bits() const { return EVP_PKEY_get_bits(key_.get()); }

std::vector<Bytes> certificateData(const std::vector<Certificate>& certificates) {
    std::vector<Bytes> data;
    data.reserve(certificates.size());
    for (const auto& certificate : certificates) data.push_back(certificate.der());
    return data;
}

}  // namespace platform::security
