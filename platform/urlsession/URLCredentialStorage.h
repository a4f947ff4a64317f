#pragma once
// URLCredentialStorage: credentials by protection space, with one default per space. Thread-safe
// (one lock). Kept in memory: this platform has no keychain, so "permanent" lasts as long as the process.
#include <map>
#include <optional>
#include <string>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/URL.h"
#include "platform/urlsession/URLAuthenticationChallenge.h"

namespace platform {

class URLCredentialStorage {
public:
    static std::shared_ptr<URLCredentialStorage> sharedCredentialStorage();

    // user -> credential, or nullopt when the space has none.
    std::optional<std::map<std::string, URLCredential>>
    credentialsForProtectionSpace(const URLProtectionSpace& space) const;
    void setCredential(const URLCredential& credential, const URLProtectionSpace& space);
    // The default, else the only credential of the space.
    std::optional<URLCredential> defaultCredentialForProtectionSpace(const URLProtectionSpace& space) const;

    // What a web view keeps beside: `credential` answered `space`'s Basic challenge for `url`, so a request
    // within the URL's folder (its path up to the last '/') on that server may send it before any challenge.
    void setCredentialForFolderOfURL(const URLCredential& credential, const URLProtectionSpace& space, const URL& url);
    // The credential kept for the deepest folder holding `url`, if any.
    std::optional<URLCredential> credentialForURL(const URL& url) const;

private:
    struct Entry {
        std::map<std::string, URLCredential> byUser;
        std::optional<std::string> defaultUser;
    };
    mutable dispatch::Mutex mutex_;
    std::map<URLProtectionSpace, Entry> spaces_ GUARDED_BY(mutex_);
    // "scheme://host:port" -> folder path -> credential
    std::map<std::string, std::map<std::string, URLCredential>> folders_ GUARDED_BY(mutex_);
};

}  // namespace platform
