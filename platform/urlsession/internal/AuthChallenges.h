#pragma once
// Internal: the challenges of a WWW-Authenticate or Proxy-Authenticate field (RFC 7235):
//   challenge = auth-scheme [ 1*SP ( token68 / #auth-param ) ], several per field, comma-separated;
//   auth-param = token BWS "=" BWS ( token / quoted-string ).
// Parameter names are matched without regard to letter case; a malformed challenge ends the list
// (the ones before it are kept).
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/urlsession/URLAuthenticationChallenge.h"

namespace platform::urlsession_detail {

struct AuthChallengeHeader {
    std::string scheme;                         // as sent ("Basic", "digest", ...)
    std::map<std::string, std::string> params;  // lower-case name -> value (quoted-string unquoted)
    std::optional<std::string> token68;

    bool isScheme(std::string_view name) const;
    std::optional<std::string> param(std::string_view lowerName) const;
};

std::vector<AuthChallengeHeader> parseAuthChallenges(std::string_view field);

// "Basic " and the credential's user and password, as an Authorization field says them.
std::string basicAuthorization(const URLCredential& credential);

}  // namespace platform::urlsession_detail
