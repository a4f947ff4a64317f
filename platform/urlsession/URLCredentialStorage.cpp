#include "platform/urlsession/URLCredentialStorage.h"

namespace platform {

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

}  // namespace platform
