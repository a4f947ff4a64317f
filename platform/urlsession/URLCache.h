#pragma once
// URLCache: the in-memory store of answers URL loading reuses. One shared cache (sharedURLCache(),
// what a default session configuration uses) and any number of separate ones (an ephemeral
// configuration makes its own). Memory only: nothing is written to disk, nothing outlives the process.
// Every method is thread-safe (one mutex per cache); answers go in and out by value.
//
// Entries are keyed by the request's URL (without its fragment) and hold GET answers only. An entry
// costs its body plus its header fields and key; the cache keeps the total within its memory
// capacity by dropping the least recently used entries (a lookup counts as a use). An entry costing
// more than 5% of the capacity, or whose storage policy is NotAllowed, is not stored.
//
// An answer that names request fields in Vary matches only requests whose own fields of those names
// are the same as the request it was stored for ("Vary: *" is never stored: it matches nothing).
//
// The cache only stores and finds; whether an answer is fresh enough to use is the session's call
// (see URLSession.h).
#include <cstddef>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/HTTPURLResponse.h"
#include "platform/foundation/URLRequest.h"

namespace platform {

enum class URLCacheStoragePolicy { Allowed = 0, AllowedInMemoryOnly = 1, NotAllowed = 2 };

struct CachedURLResponse {
    std::shared_ptr<const URLResponse> response;
    Bytes data;
    URLCacheStoragePolicy storagePolicy = URLCacheStoragePolicy::Allowed;
};

class URLCache {
public:
    // The capacity the shared cache starts with.
    static constexpr size_t kDefaultMemoryCapacity = 4 << 20;

    explicit URLCache(size_t memoryCapacity = kDefaultMemoryCapacity);
    // The process-wide cache.
    static std::shared_ptr<URLCache> sharedURLCache();

    // Stores `cached` as the answer to `request`. Whatever was stored for the request before is
    // dropped, even when the new answer is not kept (too large, NotAllowed, not a GET, "Vary: *").
    void storeCachedResponse(CachedURLResponse cached, const URLRequest& request);
    std::optional<CachedURLResponse> cachedResponseForRequest(const URLRequest& request);
    void removeCachedResponseForRequest(const URLRequest& request);
    void removeAllCachedResponses();

    // A stored answer with the time it was stored (what freshness is measured from).
    struct Entry {
        CachedURLResponse cached;
        Date storedAt;
    };
    std::optional<Entry> entryForRequest(const URLRequest& request);

    size_t memoryCapacity() const;
    // Shrinking drops least recently used entries until the rest fits.
    void setMemoryCapacity(size_t bytes);
    size_t currentMemoryUsage() const;
    // The largest entry the cache keeps: 5% of its capacity.
    size_t maximumEntrySize() const;

private:
    struct Stored {
        std::string key;
        Entry entry;
        // Vary: request field name -> the value the stored-for request had (nullopt: absent).
        std::vector<std::pair<std::string, std::optional<std::string>>> varying;
        size_t cost = 0;
    };
    using List = std::list<Stored>;

    void removeLocked(List::iterator it) REQUIRES(mutex_);
    void trimLocked(size_t capacity) REQUIRES(mutex_);

    mutable dispatch::Mutex mutex_;
    size_t capacity_ GUARDED_BY(mutex_);
    size_t usage_ GUARDED_BY(mutex_) = 0;
    List entries_ GUARDED_BY(mutex_);  // most recently used first
    std::unordered_map<std::string, List::iterator> index_ GUARDED_BY(mutex_);
};

}  // namespace platform
