#pragma once
// RevocationList: an immutable X.509 CRL, given to a Trust for revocation checks. Copies share the
// OpenSSL object; any thread may read it.
#include <memory>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/security/Certificate.h"

typedef struct X509_crl_st X509_CRL;

namespace platform::security {

class RevocationList {
public:
    static Result<RevocationList> fromDER(const Bytes& der);
    // Every "X509 CRL" block of PEM text; an error when there is none or one is malformed.
    static Result<std::vector<RevocationList>> allFromPEM(std::string_view pem);
    static Result<RevocationList> fromPEM(std::string_view pem);

    std::string issuerName() const;  // RFC 2253 form

    X509_CRL* crl() const { return crl_.get(); }  // borrowed; do not modify

private:
    explicit RevocationList(std::shared_ptr<X509_CRL> crl) : crl_(std::move(crl)) {}
    std::shared_ptr<X509_CRL> crl_;
};

}  // namespace platform::security
