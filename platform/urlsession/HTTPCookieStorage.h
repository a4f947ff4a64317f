#pragma once
// HTTPCookieStorage: the cookie jar URL loading reads and writes. One shared jar (shared()) and any
// number of separate ones (an ephemeral session configuration makes its own). Every method is
// thread-safe (one mutex per jar); cookies go in and out by value.
//
// Rules (RFC 6265 §5.3, §5.4): a cookie is only ever returned for URLs of its domain (exact host for a
// host-only cookie) and path, a secure cookie only for https; expired cookies are dropped as soon as
// they are seen; a cookie with the same name, domain and path replaces the stored one but keeps its
// creation time; a cookie whose domain is a bare top-level name (".com") is refused.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/HTTPCookie.h"
#include "platform/foundation/URL.h"

namespace platform {

enum class HTTPCookieAcceptPolicy {
    Always,
    Never,
    // Only cookies of the main document's domain (or of any domain when the request has no main document).
    OnlyFromMainDocumentDomain,
};

class HTTPCookieStorage {
public:
    HTTPCookieStorage();
    // The process-wide jar.
    static std::shared_ptr<HTTPCookieStorage> shared();

    void setCookieAcceptPolicy(HTTPCookieAcceptPolicy policy);

    // Stores one cookie (unless the policy is Never). An expired cookie deletes the stored one.
    void setCookie(const HTTPCookie& cookie);
    // Stores the cookies a response from `url` set, as the accept policy allows; cookies that do not
    // belong to `url`'s host are refused.
    void setCookies(const std::vector<HTTPCookie>& cookies, const std::optional<URL>& url,
                    const std::optional<URL>& mainDocumentURL);

    // Every live cookie, most specific path first, then oldest first.
    std::vector<HTTPCookie> cookies() const;
    // The cookies to send with a request to `url`, in the same order.
    std::vector<HTTPCookie> cookiesForURL(const URL& url) const;

    void deleteCookie(const HTTPCookie& cookie);  // by name, domain and path
    void removeCookiesSinceDate(Date date);       // created at or after `date`
    void removeAllCookies();

    // The wall clock the jar reads for expiry and creation times; tests install their own.
    void setDateSource(std::function<Date()> now);

private:
    struct Entry {
        HTTPCookie cookie;
        Date created;
        uint64_t sequence;  // orders cookies created in the same instant
    };
    Date nowLocked() const REQUIRES(mutex_);
    void storeLocked(const HTTPCookie& cookie) REQUIRES(mutex_);
    void purgeExpiredLocked() const REQUIRES(mutex_);
    bool shadowsSecureCookieLocked(const HTTPCookie& cookie) const REQUIRES(mutex_);
    std::vector<HTTPCookie> sortedLocked(const std::function<bool(const HTTPCookie&)>& keep) const REQUIRES(mutex_);

    mutable dispatch::Mutex mutex_;
    HTTPCookieAcceptPolicy policy_ GUARDED_BY(mutex_) = HTTPCookieAcceptPolicy::Always;
    mutable std::vector<Entry> entries_ GUARDED_BY(mutex_);
    uint64_t nextSequence_ GUARDED_BY(mutex_) = 0;
    std::function<Date()> now_ GUARDED_BY(mutex_);
};

}  // namespace platform
