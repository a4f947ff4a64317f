#include "zidedova_core/internal/ZODOziAssociationRegistration.h"

#include <map>
#include <mutex>
#include <optional>

#include "zidedova_core/ZDVException.h"
#include "zidedova_core/utilities/ZUTFormat.h"

namespace zidedova {

namespace {
// nullopt marks an entry whose creation block is running.
using Entries = std::map<std::string, std::optional<platform::ObjectHandle>>;
std::recursive_mutex gMutex;
const platform::objc::AssociationKey kKey{platform::objc::sel("registeredObjectWithHost:key:creationBlock:")};
}  // namespace

platform::ObjectHandle
ZODOziAssociationRegistration::registeredObjectWithHost(const platform::ObjectHandle& host, const std::string& key,
                                                        const std::function<platform::ObjectHandle()>& creationBlock) {
    if (!host) return nullptr;
    std::lock_guard lock(gMutex);
    auto entries = host->associatedValueAs<std::shared_ptr<Entries>>(kKey).value_or(nullptr);
    if (!entries) {
        entries = std::make_shared<Entries>();
        host->setAssociatedValue(kKey, entries);
    }
    if (auto it = entries->find(key); it != entries->end()) {
        if (!it->second)
            throw Exception("Reentering registeredObjectWithHost:key:creationBlock: not allowed",
                            ZUTFormat("host: %@ key: %@", {host->getClass()->name(), key}));
        return *it->second;
    }
    (*entries)[key] = std::nullopt;
    platform::ObjectHandle made;
    try {
        made = creationBlock ? creationBlock() : nullptr;
    } catch (...) {
        entries->erase(key);
        throw;
    }
    if (made)
        (*entries)[key] = made;
    else
        entries->erase(key);
    return made;
}

}  // namespace zidedova
