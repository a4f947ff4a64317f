#pragma once
// Internal: the session's use of its configuration's cookie storage.
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/URLRequest.h"
#include "platform/urlsession/URLSessionConfiguration.h"

namespace platform::urlsession_detail {

// The Cookie header value for a request, when cookies apply and the storage has some for its URL.
std::optional<std::string> cookieHeaderFor(const URLSessionConfiguration& config, const URLRequest& request);
// Stores the Set-Cookie values of a response (any status, redirects included) when cookies apply.
void storeCookies(const URLSessionConfiguration& config, const URLRequest& request, const URL& responseURL,
                  const std::vector<std::string>& setCookieValues);

}  // namespace platform::urlsession_detail
