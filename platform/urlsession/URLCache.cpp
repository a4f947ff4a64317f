#include "platform/urlsession/URLCache.h"

#include <string_view>

#include "platform/foundation/ASCII.h"

namespace platform {

namespace {

// GET answers only, keyed by the URL as sent: the fragment never reaches the server.
std::optional<std::string> keyFor(const URLRequest& request) {
    if (request.HTTPMethod() != "GET" || !request.url() || request.url()->isEmpty()) return std::nullopt;
    const std::string& absolute = request.url()->absoluteString();
    return absolute.substr(0, absolute.find('#'));
}

// The field names of a Vary value, as written.
std::vector<std::string> varyNames(const std::string& value) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= value.size()) {
        size_t end = value.find(',', start);
        if (end == std::string::npos) end = value.size();
        std::string_view name = trimmingHTTPWhitespace(std::string_view(value.data() + start, end - start));
        if (!name.empty()) names.emplace_back(name);
        start = end + 1;
    }
    return names;
}

size_t headerBytes(const URLResponse* response) {
    size_t n = 0;
    if (const auto* http = dynamic_cast<const HTTPURLResponse*>(response))
        for (const auto& [name, value] : http->allHeaderFields().entries()) n += name.size() + value.size();
    return n;
}

}  // namespace

URLCache::URLCache(size_t memoryCapacity) : capacity_(memoryCapacity) {}

std::shared_ptr<URLCache> URLCache::sharedURLCache() {
    static auto shared = std::make_shared<URLCache>();
    return shared;
}

void URLCache::storeCachedResponse(CachedURLResponse cached, const URLRequest& request) {
    auto key = keyFor(request);
    if (!key) return;
    Stored stored{*key, Entry{std::move(cached), Date::now()}, {}, 0};
    const auto& response = stored.entry.cached.response;
    bool keep = response && stored.entry.cached.storagePolicy != URLCacheStoragePolicy::NotAllowed;
    if (const auto* http = dynamic_cast<const HTTPURLResponse*>(response.get()))
        if (auto vary = http->valueForHTTPHeaderField("Vary"))
            for (auto& name : varyNames(*vary)) {
                if (name == "*") keep = false;
                auto value = request.valueForHTTPHeaderField(name);
                stored.cost += name.size() + (value ? value->size() : 0);
                stored.varying.emplace_back(std::move(name), std::move(value));
            }
    stored.cost += stored.key.size() + stored.entry.cached.data.size() + headerBytes(response.get());

    dispatch::MutexLock lock(mutex_);
    if (auto it = index_.find(stored.key); it != index_.end()) removeLocked(it->second);
    if (!keep || stored.cost > capacity_ / 20) return;
    trimLocked(capacity_ - stored.cost);
    usage_ += stored.cost;
    entries_.push_front(std::move(stored));
    index_[entries_.front().key] = entries_.begin();
}

std::optional<URLCache::Entry> URLCache::entryForRequest(const URLRequest& request) {
    auto key = keyFor(request);
    if (!key) return std::nullopt;
    dispatch::MutexLock lock(mutex_);
    auto it = index_.find(*key);
    if (it == index_.end()) return std::nullopt;
    for (const auto& [name, value] : it->second->varying)
        if (request.valueForHTTPHeaderField(name) != value) return std::nullopt;
    entries_.splice(entries_.begin(), entries_, it->second);
    return it->second->entry;
}

std::optional<CachedURLResponse> URLCache::cachedResponseForRequest(const URLRequest& request) {
    auto entry = entryForRequest(request);
    if (!entry) return std::nullopt;
    return std::move(entry->cached);
}

void URLCache::removeCachedResponseForRequest(const URLRequest& request) {
    auto key = keyFor(request);
    if (!key) return;
    dispatch::MutexLock lock(mutex_);
    if (auto it = index_.find(*key); it != index_.end()) removeLocked(it->second);
}

void URLCache::removeAllCachedResponses() {
    List dropped;
    dispatch::MutexLock lock(mutex_);
    dropped.swap(entries_);
    index_.clear();
    usage_ = 0;
}

size_t URLCache::memoryCapacity() const {
    dispatch::MutexLock lock(mutex_);
    return capacity_;
}

void URLCache::setMemoryCapacity(size_t bytes) {
    dispatch::MutexLock lock(mutex_);
    capacity_ = bytes;
    trimLocked(capacity_);
}

size_t URLCache::currentMemoryUsage() const {
    dispatch::MutexLock lock(mutex_);
    return usage_;
}

size_t URLCache::maximumEntrySize() const {
    dispatch::MutexLock lock(mutex_);
    return capacity_ / 20;
}

void URLCache::removeLocked(List::iterator it) {
    usage_ -= it->cost;
    index_.erase(it->key);
    entries_.erase(it);
}

void URLCache::trimLocked(size_t capacity) {
    while (usage_ > capacity && !entries_.empty()) removeLocked(std::prev(entries_.end()));
}

}  // namespace platform
