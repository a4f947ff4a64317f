#include "platform/security/RevocationList.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include "platform/security/internal/OpenSSLHandles.h"

namespace platform::security {

using namespace detail;

namespace {
Error crlError(const std::string& what) {
    std::string reason = drainOpenSSLErrors();
    return Error::withDescription(kOSStatusErrorDomain, kCertificateDecodeError,
                                  reason.empty() ? what : what + " (" + reason + ")");
}
}  // namespace

Result<RevocationList> RevocationList::fromDER(const Bytes& der) {
    if (der.empty() || der.size() > static_cast<size_t>(INT32_MAX)) return crlError("bad CRL length");
    const unsigned char* cursor = der.data();
    CRLPtr crl(d2i_X509_CRL(nullptr, &cursor, static_cast<long>(der.size())));
    if (!crl) return crlError("bytes are not a DER CRL");
    if (cursor != der.data() + der.size()) return crlError("trailing bytes after the DER CRL");
    return RevocationList(std::shared_ptr<X509_CRL>(crl.release(), X509CRLDeleter{}));
}

Result<std::vector<RevocationList>> RevocationList::allFromPEM(std::string_view pem) {
    BIOPtr bio = readOnlyBIO(pem.data(), pem.size());
    if (!bio) return crlError("PEM text too large");
    std::vector<RevocationList> lists;
    for (;;) {
        X509_CRL* raw = PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr);
        if (!raw) {
            unsigned long last = ERR_peek_last_error();
            if (ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE) {
                drainOpenSSLErrors();
                break;
            }
            return crlError("malformed PEM CRL");
        }
        lists.push_back(RevocationList(std::shared_ptr<X509_CRL>(raw, X509CRLDeleter{})));
    }
    if (lists.empty()) return crlError("no PEM CRL found");
    return lists;
}

Result<RevocationList> RevocationList::fromPEM(std::string_view pem) {
    auto all = allFromPEM(pem);
    if (!all) return all.error();
    return all.value().front();
}

std::string RevocationList::issuerName() const {
    BIOPtr bio(BIO_new(BIO_s_mem()));
    if (!bio) return {};
    X509_NAME_print_ex(bio.get(), X509_CRL_get_issuer(crl_.get()), 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
    return bioContents(bio.get());
}

}  // namespace platform::security
