#pragma once
// Internal: the rules a redirect follows, as pure functions the transfer applies and tests check.
#include <optional>

#include "platform/foundation/URL.h"
#include "platform/foundation/URLRequest.h"

namespace platform::urlsession_detail {

bool isRedirectStatus(int status);

// Scheme, host and port (default ports filled in) are all the same.
bool isSameOrigin(const URL& a, const URL& b);

// The request the next hop sends after a `status` answer to `current` pointing at `target`:
// 303 (except for HEAD), and 301 or 302 after a POST, become a GET without a body; credentials
// (Authorization, Proxy-Authorization) and a Cookie field the caller set never follow to another
// origin (a change of scheme, host or port: https to http on the same host leaks them in clear
// text); a range asked of the first resource is not asked of the next.
URLRequest redirectedRequest(const URLRequest& current, int status, const URL& target);

// Only http and https are followed: a redirect elsewhere (file:, data:, ...) is refused unsent.
bool isFollowableScheme(const URL& url);

}  // namespace platform::urlsession_detail
