#include "platform/urlsession/URLCredentialStorage.h"

#include "platform/foundation/ASCII.h"

namespace platform {

namespace {

// The server a URL's requests go to, and the folder its path lies in.
std::pair<std::string, std::string> serverAndFolder(const URL& url) {
    auto scheme = url.scheme().value_or("");
    int port = url.port().value_or(scheme == "https" ? 443 : 80);
    std::string path = url.percentEncodedPath();
    return {scheme + "://" + lowercasedASCII(url.host().value_or("")) + ":" + std::to_string(port),
            path.substr(0, path.rfind('/') + 1)};
}

}  // namespace

std::shared_ptr<URLCredentialStorage> URLCredentialStorage::sharedCredentialStorage() {
    static auto shared = std::make_shared<URLCredentialStorage>();
    return shared;
}

std::optional<std::map<std::string, URLCredential>>
URLCredentialStorage::credentialsForProtectionSpace(const URLProtectionSpace& space) const {
    dispatch::MutexLock lock(mutex_);
    auto it = spaces_.find(space);
    if (it == spaces_.end() || it->second.byUser.empty()) return std::nullopt;
    return it->second.byUser;
}

void URLCredentialStorage::setCredential(const URLCredential& credential, const URLProtectionSpace& space) {
    // A credential that should not persist is not stored, as the platform does.
    if (!credential.user() || credential.persistence() == URLCredentialPersistence::None) return;
    dispatch::MutexLock lock(mutex_);
    auto& entry = spaces_[space];
    entry.byUser.insert_or_assign(*credential.user(), credential);
}

std::optional<URLCredential>
URLCredentialStorage::defaultCredentialForProtectionSpace(const URLProtectionSpace& space) const {
    dispatch::MutexLock lock(mutex_);
    auto it = spaces_.find(space);
    if (it == spaces_.end()) return std::nullopt;
    if (it->second.defaultUser) {
        auto c = it->second.byUser.find(*it->second.defaultUser);
        if (c != it->second.byUser.end()) return c->second;
    }
    if (it->second.byUser.size() == 1) return it->second.byUser.begin()->second;
    return std::nullopt;
}

void URLCredentialStorage::setCredentialForFolderOfURL(const URLCredential& credential, const URLProtectionSpace& space,
                                                       const URL& url) {
    if (!credential.user() || !credential.password() ||
        space.authenticationMethod() != kURLAuthenticationMethodHTTPBasic)
        return;
    auto [server, folder] = serverAndFolder(url);
    dispatch::MutexLock lock(mutex_);
    folders_[server].insert_or_assign(folder, credential);
}

std::optional<URLCredential> URLCredentialStorage::credentialForURL(const URL& url) const {
    auto [server, folder] = serverAndFolder(url);
    dispatch::MutexLock lock(mutex_);
    auto it = folders_.find(server);
    if (it == folders_.end()) return std::nullopt;
    // Every folder holding `folder` sorts at or before it, a deeper one after a shallower: walking back, the
    // first that holds it is the deepest.
    for (auto kept = it->second.upper_bound(folder); kept != it->second.begin();) {
        --kept;
        if (folder.compare(0, kept->first.size(), kept->first) == 0) return kept->second;
    }
    return std::nullopt;
}

}  // namespace platform
