#include "platform/urlsession/HTTPCookieStorage.h"

#include <algorithm>

namespace platform {

namespace {

// Enough for any real site; keeps a hostile server from growing the jar without bound.
constexpr size_t kMaxCookies = 3000;
constexpr size_t kMaxCookiesPerDomain = 180;

bool isSecureScheme(const URL& url) {
    auto scheme = url.scheme().value_or("");
    return scheme == "https" || scheme == "wss";
}

std::string bareDomain(const HTTPCookie& cookie) {
    return cookie.isHostOnly() ? cookie.domain() : cookie.domain().substr(1);
}

bool sameKey(const HTTPCookie& a, const HTTPCookie& b) {
    return a.name() == b.name() && a.domain() == b.domain() && a.path() == b.path();
}

// ".com", ".": a domain cookie for a whole top-level name.
bool isTopLevelDomainCookie(const HTTPCookie& cookie) {
    if (cookie.isHostOnly()) return cookie.domain().empty();
    std::string bare = bareDomain(cookie);
    return bare.empty() || bare.find('.') == std::string::npos;
}

}  // namespace

HTTPCookieStorage::HTTPCookieStorage() = default;

std::shared_ptr<HTTPCookieStorage> HTTPCookieStorage::shared() {
    static const std::shared_ptr<HTTPCookieStorage> storage = std::make_shared<HTTPCookieStorage>();
    return storage;
}

void HTTPCookieStorage::setCookieAcceptPolicy(HTTPCookieAcceptPolicy policy) {
    dispatch::MutexLock lock(mutex_);
    policy_ = policy;
}

void HTTPCookieStorage::setDateSource(std::function<Date()> now) {
    dispatch::MutexLock lock(mutex_);
    now_ = std::move(now);
}

Date HTTPCookieStorage::nowLocked() const { return now_ ? now_() : Date::now(); }

void HTTPCookieStorage::storeLocked(const HTTPCookie& cookie) {
    if (isTopLevelDomainCookie(cookie)) return;
    Date now = nowLocked();
    auto existing =
        std::find_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return sameKey(e.cookie, cookie); });
    if (cookie.isExpired(now)) {
        if (existing != entries_.end()) entries_.erase(existing);
        return;
    }
    if (existing != entries_.end()) {
        existing->cookie = cookie;
        return;
    }
    purgeExpiredLocked();
    // Make room by dropping the oldest cookie of the same domain, then the oldest overall.
    std::string domain = bareDomain(cookie);
    auto oldestWhere = [this](auto pred) REQUIRES(mutex_) {
        auto oldest = entries_.end();
        for (auto it = entries_.begin(); it != entries_.end(); ++it)
            if (pred(*it) && (oldest == entries_.end() || it->sequence < oldest->sequence)) oldest = it;
        return oldest;
    };
    size_t sameDomain =
        std::count_if(entries_.begin(), entries_.end(), [&](const Entry& e) { return bareDomain(e.cookie) == domain; });
    if (sameDomain >= kMaxCookiesPerDomain) {
        auto victim = oldestWhere([&](const Entry& e) { return bareDomain(e.cookie) == domain; });
        if (victim != entries_.end()) entries_.erase(victim);
    } else if (entries_.size() >= kMaxCookies) {
        auto victim = oldestWhere([](const Entry&) { return true; });
        if (victim != entries_.end()) entries_.erase(victim);
    }
    entries_.push_back(Entry{cookie, now, nextSequence_++});
}

void HTTPCookieStorage::setCookie(const HTTPCookie& cookie) {
    dispatch::MutexLock lock(mutex_);
    if (policy_ == HTTPCookieAcceptPolicy::Never) return;
    storeLocked(cookie);
}

void HTTPCookieStorage::setCookies(const std::vector<HTTPCookie>& cookies, const std::optional<URL>& url,
                                   const std::optional<URL>& mainDocumentURL) {
    std::optional<std::string> host;
    if (url) host = url->host();
    std::optional<std::string> mainHost;
    if (mainDocumentURL) mainHost = mainDocumentURL->host();

    dispatch::MutexLock lock(mutex_);
    if (policy_ == HTTPCookieAcceptPolicy::Never) return;
    for (const auto& cookie : cookies) {
        std::string domain = bareDomain(cookie);
        if (url) {
            if (!host || host->empty()) continue;
            bool belongs = cookie.isHostOnly()
                               ? cookie_rules::domainMatches(*host, domain) && domain.size() == host->size()
                               : cookie_rules::domainMatches(*host, domain);
            if (!belongs) continue;
        }
        if (policy_ == HTTPCookieAcceptPolicy::OnlyFromMainDocumentDomain && mainHost) {
            bool firstParty =
                cookie_rules::domainMatches(*mainHost, domain) || cookie_rules::domainMatches(domain, *mainHost);
            if (!firstParty) continue;
        }
        if (url && !isSecureScheme(*url) && !cookie.isSecure() && shadowsSecureCookieLocked(cookie)) continue;
        storeLocked(cookie);
    }
}

// A plain-http answer may not replace, or shadow with a path inside its reach, a Secure cookie of
// the same name that an https answer set for a domain either side of it.
bool HTTPCookieStorage::shadowsSecureCookieLocked(const HTTPCookie& cookie) const {
    const std::string domain = bareDomain(cookie);
    for (const auto& e : entries_) {
        if (!e.cookie.isSecure() || e.cookie.name() != cookie.name()) continue;
        const std::string existing = bareDomain(e.cookie);
        if (!cookie_rules::domainMatches(existing, domain) && !cookie_rules::domainMatches(domain, existing)) continue;
        if (cookie_rules::pathMatches(cookie.path(), e.cookie.path())) return true;
    }
    return false;
}

void HTTPCookieStorage::purgeExpiredLocked() const {
    Date now = nowLocked();
    std::erase_if(entries_, [&](const Entry& e) { return e.cookie.isExpired(now); });
}

std::vector<HTTPCookie> HTTPCookieStorage::sortedLocked(const std::function<bool(const HTTPCookie&)>& keep) const {
    purgeExpiredLocked();
    std::vector<const Entry*> picked;
    for (const auto& e : entries_)
        if (keep(e.cookie)) picked.push_back(&e);
    std::stable_sort(picked.begin(), picked.end(), [](const Entry* a, const Entry* b) {
        if (a->cookie.path().size() != b->cookie.path().size())
            return a->cookie.path().size() > b->cookie.path().size();
        if (a->created != b->created) return a->created < b->created;
        return a->sequence < b->sequence;
    });
    std::vector<HTTPCookie> out;
    out.reserve(picked.size());
    for (const Entry* e : picked) out.push_back(e->cookie);
    return out;
}

std::vector<HTTPCookie> HTTPCookieStorage::cookies() const {
    dispatch::MutexLock lock(mutex_);
    return sortedLocked([](const HTTPCookie&) { return true; });
}

std::vector<HTTPCookie> HTTPCookieStorage::cookiesForURL(const URL& url) const {
    dispatch::MutexLock lock(mutex_);
    return sortedLocked([&](const HTTPCookie& c) { return c.matchesURL(url); });
}

void HTTPCookieStorage::deleteCookie(const HTTPCookie& cookie) {
    dispatch::MutexLock lock(mutex_);
    std::erase_if(entries_, [&](const Entry& e) { return sameKey(e.cookie, cookie); });
}

void HTTPCookieStorage::removeCookiesSinceDate(Date date) {
    dispatch::MutexLock lock(mutex_);
    std::erase_if(entries_, [&](const Entry& e) { return e.created >= date; });
}

void HTTPCookieStorage::removeAllCookies() {
    dispatch::MutexLock lock(mutex_);
    entries_.clear();
}

}  // namespace platform
