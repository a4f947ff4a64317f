#include "demo/Certificates.h"

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace tesmar_demo {

namespace {

// The maker holds its OpenSSL objects itself; the platform's handles are its own business.
struct BIODeleter {
    void operator()(BIO* b) const { BIO_free(b); }
};
struct X509Deleter {
    void operator()(X509* x) const { X509_free(x); }
};
struct X509CRLDeleter {
    void operator()(X509_CRL* c) const { X509_CRL_free(c); }
};
struct EVPKeyDeleter {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using BIOPtr = std::unique_ptr<BIO, BIODeleter>;
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using CRLPtr = std::unique_ptr<X509_CRL, X509CRLDeleter>;

std::string drainOpenSSLErrors() {
    std::string text;
    while (unsigned long code = ERR_get_error()) {
        char buffer[256];
        ERR_error_string_n(code, buffer, sizeof buffer);
        if (!text.empty()) text += "; ";
        text += buffer;
    }
    return text;
}

std::string bioContents(BIO* bio) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    if (length <= 0 || !data) return {};
    return std::string(data, static_cast<size_t>(length));
}

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error("certificate: " + what + ": " + drainOpenSSLErrors());
}

void require(bool ok, const char* what) {
    if (!ok) fail(what);
}

std::string keyPEM(EVP_PKEY* key) {
    BIOPtr bio(BIO_new(BIO_s_mem()));
    require(bio && PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
            "write key PEM");
    return bioContents(bio.get());
}

std::string certificatePEM(X509* x509) {
    BIOPtr bio(BIO_new(BIO_s_mem()));
    require(bio && PEM_write_bio_X509(bio.get(), x509) == 1, "write certificate PEM");
    return bioContents(bio.get());
}

void addExtension(X509* x509, X509V3_CTX* ctx, int nid, const std::string& value) {
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, ctx, nid, value.c_str());
    require(extension != nullptr, "make extension");
    int ok = X509_add_ext(x509, extension, -1);
    X509_EXTENSION_free(extension);
    require(ok == 1, "add extension");
}

void setSerial(X509* x509, long serial) {
    BIGNUM* bn = BN_new();
    require(bn != nullptr, "serial");
    if (serial > 0) {
        BN_set_word(bn, static_cast<BN_ULONG>(serial));
    } else {
        require(BN_rand(bn, 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1, "random serial");
    }
    bool ok = BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(x509)) != nullptr;
    BN_free(bn);
    require(ok, "set serial");
}

// Builds and signs a certificate. `issuer` null means self-signed.
IssuedCertificate build(const CertificateSpec& spec, const IssuedCertificate* issuer, std::shared_ptr<EVP_PKEY> key) {
    if (!key) key = makeKey();
    X509Ptr x509(X509_new());
    require(x509 != nullptr, "X509_new");
    require(X509_set_version(x509.get(), 2) == 1, "version");
    setSerial(x509.get(), spec.serialNumber);
    require(X509_gmtime_adj(X509_getm_notBefore(x509.get()), spec.notBeforeOffset) != nullptr, "notBefore");
    require(X509_gmtime_adj(X509_getm_notAfter(x509.get()), spec.notAfterOffset) != nullptr, "notAfter");
    require(X509_set_pubkey(x509.get(), key.get()) == 1, "pubkey");

    X509_NAME* name = X509_get_subject_name(x509.get());
    require(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>("Tesmar Tests"),
                                       -1, -1, 0) == 1,
            "O");
    require(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                       reinterpret_cast<const unsigned char*>(spec.commonName.c_str()), -1, -1, 0) == 1,
            "CN");
    X509* issuerX509 = issuer ? issuer->x509.get() : x509.get();
    require(X509_set_issuer_name(x509.get(), X509_get_subject_name(issuerX509)) == 1, "issuer");

    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuerX509, x509.get(), nullptr, nullptr, 0);
    if (spec.isCertificateAuthority) {
        addExtension(x509.get(), &ctx, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(x509.get(), &ctx, NID_key_usage, "critical,keyCertSign,cRLSign,digitalSignature");
    } else {
        addExtension(x509.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(x509.get(), &ctx, NID_key_usage, "critical,digitalSignature,keyEncipherment");
        addExtension(x509.get(), &ctx, NID_ext_key_usage, "serverAuth");
    }
    addExtension(x509.get(), &ctx, NID_subject_key_identifier, "hash");
    if (issuer) addExtension(x509.get(), &ctx, NID_authority_key_identifier, "keyid:always");
    std::string alternativeNames;
    for (const auto& dns : spec.dnsNames) alternativeNames += (alternativeNames.empty() ? "DNS:" : ",DNS:") + dns;
    for (const auto& ip : spec.ipAddresses) alternativeNames += (alternativeNames.empty() ? "IP:" : ",IP:") + ip;
    if (!alternativeNames.empty()) addExtension(x509.get(), &ctx, NID_subject_alt_name, alternativeNames);
    if (!spec.crlDistributionPoint.empty())
        addExtension(x509.get(), &ctx, NID_crl_distribution_points, "URI:" + spec.crlDistributionPoint);
    if (!spec.ocspResponder.empty()) addExtension(x509.get(), &ctx, NID_info_access, "OCSP;URI:" + spec.ocspResponder);

    EVP_PKEY* signingKey = issuer ? issuer->key.get() : key.get();
    require(X509_sign(x509.get(), signingKey, EVP_sha256()) > 0, "sign");

    IssuedCertificate made;
    made.certificatePEM = certificatePEM(x509.get());
    made.privateKeyPEM = keyPEM(key.get());
    made.x509 = std::shared_ptr<X509>(x509.release(), X509Deleter{});
    made.key = std::move(key);
    return made;
}

}  // namespace

CertificateSpec authoritySpec(const std::string& name, long lifetime) {
    CertificateSpec spec;
    spec.commonName = name;
    spec.isCertificateAuthority = true;
    spec.notBeforeOffset = -90L * 24 * 3600;  // so tests may verify as of a past date
    spec.notAfterOffset = lifetime;
    return spec;
}

CertificateSpec serverSpec(const std::string& hostName) {
    CertificateSpec spec;
    spec.commonName = hostName;
    spec.dnsNames = {hostName};
    spec.ipAddresses = {"127.0.0.1"};
    return spec;
}

platform::security::Certificate IssuedCertificate::certificate() const {
    return platform::security::Certificate::fromDER(der()).value();
}

platform::security::Bytes IssuedCertificate::der() const {
    unsigned char* out = nullptr;
    int length = i2d_X509(x509.get(), &out);
    if (length <= 0) fail("certificate DER");
    platform::security::Bytes bytes(out, out + length);
    OPENSSL_free(out);
    return bytes;
}

platform::security::PublicKey IssuedCertificate::publicKey() const {
    auto key = certificate().publicKey();
    if (!key) fail("public key");
    return *key;
}

std::shared_ptr<EVP_PKEY> makeKey() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (!key) fail("EC P-256 key generation");
    return std::shared_ptr<EVP_PKEY>(key, EVPKeyDeleter{});
}

IssuedCertificate makeSelfSigned(const CertificateSpec& spec, std::shared_ptr<EVP_PKEY> key) {
    return build(spec, nullptr, std::move(key));
}

IssuedCertificate issueCertificate(const CertificateSpec& spec, const IssuedCertificate& issuer,
                                   std::shared_ptr<EVP_PKEY> key) {
    return build(spec, &issuer, std::move(key));
}

std::string makeRevocationListPEM(const IssuedCertificate& issuer, const std::vector<const IssuedCertificate*>& revoked,
                                  long validFor) {
    CRLPtr crl(X509_CRL_new());
    require(crl != nullptr, "X509_CRL_new");
    require(X509_CRL_set_version(crl.get(), 1) == 1, "CRL version");
    require(X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer.x509.get())) == 1, "CRL issuer");
    ASN1_TIME* lastUpdate = X509_gmtime_adj(nullptr, -3600);
    ASN1_TIME* nextUpdate = X509_gmtime_adj(nullptr, validFor);
    bool timesOk = lastUpdate && nextUpdate && X509_CRL_set1_lastUpdate(crl.get(), lastUpdate) == 1 &&
                   X509_CRL_set1_nextUpdate(crl.get(), nextUpdate) == 1;
    for (const IssuedCertificate* certificate : revoked) {
        if (!timesOk || !certificate) break;
        X509_REVOKED* entry = X509_REVOKED_new();
        ASN1_INTEGER* serial = ASN1_INTEGER_dup(X509_get0_serialNumber(certificate->x509.get()));
        bool serialSet = entry && serial && X509_REVOKED_set_serialNumber(entry, serial) == 1;
        ASN1_INTEGER_free(serial);
        if (!serialSet || X509_REVOKED_set_revocationDate(entry, lastUpdate) != 1 ||
            X509_CRL_add0_revoked(crl.get(), entry) != 1) {
            X509_REVOKED_free(entry);
            timesOk = false;
        }
    }
    ASN1_TIME_free(lastUpdate);
    ASN1_TIME_free(nextUpdate);
    require(timesOk, "CRL entries");

    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer.x509.get(), nullptr, nullptr, crl.get(), 0);
    X509_EXTENSION* authorityKey = X509V3_EXT_conf_nid(nullptr, &ctx, NID_authority_key_identifier, "keyid:always");
    require(authorityKey != nullptr, "CRL authority key id");
    int added = X509_CRL_add_ext(crl.get(), authorityKey, -1);
    X509_EXTENSION_free(authorityKey);
    require(added == 1, "CRL add extension");

    require(X509_CRL_sort(crl.get()) == 1, "CRL sort");
    require(X509_CRL_sign(crl.get(), issuer.key.get(), EVP_sha256()) > 0, "CRL sign");
    BIOPtr bio(BIO_new(BIO_s_mem()));
    require(bio && PEM_write_bio_X509_CRL(bio.get(), crl.get()) == 1, "CRL PEM");
    return bioContents(bio.get());
}

ServerPKI ServerPKI::make(const std::string& hostName) {
    ServerPKI pki;
    pki.hostName = hostName;
    pki.root = makeSelfSigned(authoritySpec("Tesmar Test Root CA", 3650L * 24 * 3600));
    pki.intermediate = issueCertificate(authoritySpec("Tesmar Test Intermediate CA", 365L * 24 * 3600), pki.root);
    pki.leaf = issueCertificate(serverSpec(hostName), pki.intermediate);
    return pki;
}

std::string writePEMFile(const std::string& path, const std::string& pem) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << pem;
    out.close();
    if (!out) throw std::runtime_error("certificate: cannot write " + path);
    return path;
}

ServerFiles writeServerFiles(const std::string& directory, const IssuedCertificate& leaf,
                             const std::vector<const IssuedCertificate*>& intermediates, const std::string& baseName) {
    std::filesystem::create_directories(directory);
    std::string chain = leaf.certificatePEM;
    for (const IssuedCertificate* intermediate : intermediates)
        if (intermediate) chain += intermediate->certificatePEM;
    ServerFiles files;
    files.certificateChainPath = writePEMFile(directory + "/" + baseName + "-chain.pem", chain);
    files.privateKeyPath = writePEMFile(directory + "/" + baseName + "-key.pem", leaf.privateKeyPEM);
    return files;
}

}  // namespace tesmar_demo
