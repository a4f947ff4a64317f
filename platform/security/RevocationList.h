#pragma once
// RevocationList: an immutable X.509 CRL, given to a Trust for revocation checks. Copies share the
// OpenSSL object; any thread may read it.
#include <memory>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/security/Certificate.h"

struct X509_crl_st;

namespace platform::security {

class RevocationList {
public:
    static Result<RevocationList> fromDER(const Bytes& der);
    // Every "X509 CRL" block of PEM text; an error when there is none or one is malformed.
    static Result<std::vector<RevocationList>> allFromPEM(std::string_view pem);
    static Result<RevocationList> fromPEM(std::string_view pem);

    std::string issuerName() const;  // RFC 2253 form

private:
    friend class Trust;

    explicit RevocationList(std::shared_ptr<X509_crl_st> crl) : crl_(std::move(crl)) {}
    X509_crl_st* crl() const { return crl_.get(); }  // borrowed; do not modify
    std::shared_ptr<X509_crl_st> crl_;
};

}  // namespace platform::security
