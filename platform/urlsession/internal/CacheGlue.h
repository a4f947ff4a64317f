#pragma once
// Internal: the session's use of its configuration's URL cache: which stored answer a starting task
// may use, and which network answers may be kept.
#include <cstddef>
#include <optional>

#include "platform/foundation/HTTPURLResponse.h"
#include "platform/foundation/URLRequest.h"
#include "platform/urlsession/URLCache.h"
#include "platform/urlsession/URLSessionConfiguration.h"

namespace platform::urlsession_detail {

// What a request's cache policy makes of the session's cache when its task starts.
struct CacheLookup {
    std::optional<CachedURLResponse> answer;  // an HTTP answer to use instead of the network
    bool unavailable = false;                 // nothing usable, and the policy forbids loading
};
// `readable` false: no stored answer fits the task (it continues a download), only the policy counts.
CacheLookup lookUpCache(const URLSessionConfiguration& config, const URLRequest& request, bool readable);

// For a final network answer to `request`: how much of its body the session keeps to propose it to
// the cache; nullopt when it cannot be stored (no cache, not a GET 200, "no-store" on either side,
// announced larger than the cache keeps).
std::optional<size_t> cacheableBodyLimit(const URLSessionConfiguration& config, const URLRequest& request,
                                         const HTTPURLResponse& response);

// A request that may change the resource (POST, PUT, DELETE, ...) and succeeded outdates the answer
// stored for its URL.
void forgetAfterUnsafeMethod(URLCache& cache, const URLRequest& request, int status);

}  // namespace platform::urlsession_detail
