#include "platform/urlsession/URLAuthenticationChallenge.h"

#include <tuple>

namespace platform {

URLCredential::URLCredential(std::string user, std::string password, URLCredentialPersistence persistence)
    : user_(std::move(user)), password_(std::move(password)), persistence_(persistence) {}

URLCredential::URLCredential(std::shared_ptr<security::Trust> trust)
    : persistence_(URLCredentialPersistence::ForSession), trust_(std::move(trust)) {}

URLProtectionSpace::URLProtectionSpace(std::string host, int port, std::optional<std::string> protocol,
                                       std::optional<std::string> realm, std::string authenticationMethod)
    : host_(std::move(host)), port_(port), protocol_(std::move(protocol)), realm_(std::move(realm)),
      method_(std::move(authenticationMethod)) {}

bool URLProtectionSpace::operator<(const URLProtectionSpace& o) const {
    return std::tie(host_, port_, protocol_, realm_, method_) <
           std::tie(o.host_, o.port_, o.protocol_, o.realm_, o.method_);
}

bool URLProtectionSpace::operator==(const URLProtectionSpace& o) const {
    return std::tie(host_, port_, protocol_, realm_, method_) ==
           std::tie(o.host_, o.port_, o.protocol_, o.realm_, o.method_);
}

}  // namespace platform
