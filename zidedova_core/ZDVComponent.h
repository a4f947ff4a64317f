#pragma once
// Components: services one SDK offers to the others by protocol, without linking to each other's classes.
// A registrant is a runtime class that conforms to "ZDVComponentRegistrant" and answers the class
// message "componentsToRegister" with a ZDVComponentList. Protocols are runtime protocols
// (zidedova::protocolNamed), instances are runtime objects.
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/objc/Runtime.h"

namespace zidedova {

class ZDVComponentContainer;

inline constexpr const char* kZDVComponentRegistrantProtocol = "ZDVComponentRegistrant";
inline constexpr const char* kZDVComponentLifecycleMaintainerProtocol = "ZDVComponentLifecycleMaintainer";

// The protocol of that name in the shared runtime, registered on first request.
const platform::objc::Protocol* protocolNamed(std::string_view name);

enum class ZDVInstantiationTiming : int64_t {
    Lazy = 0,
    AlwaysEager = 1,
    EagerInDefaultApp = 2,
};

// Sets *isCacheable (NO beforehand) to keep the instance for later look-ups.
using ZDVComponentCreationBlock =
    std::function<platform::ObjectHandle(ZDVComponentContainer& container, bool* isCacheable)>;

class ZDVDependency {
public:
    static std::shared_ptr<ZDVDependency> dependencyWithProtocol(const platform::objc::Protocol* protocol,
                                                                 bool isRequired = true);
    ZDVDependency(const platform::objc::Protocol* protocol, bool isRequired)
        : protocol_(protocol), isRequired_(isRequired) {}
    const platform::objc::Protocol* protocol() const { return protocol_; }
    bool isRequired() const { return isRequired_; }

private:
    const platform::objc::Protocol* protocol_;
    bool isRequired_;
};

// Immutable once made.
class ZDVComponent {
public:
    static std::shared_ptr<ZDVComponent> componentWithProtocol(const platform::objc::Protocol* protocol,
                                                               ZDVComponentCreationBlock creationBlock);
    static std::shared_ptr<ZDVComponent> componentWithProtocol(const platform::objc::Protocol* protocol,
                                                               ZDVInstantiationTiming timing,
                                                               std::vector<std::shared_ptr<ZDVDependency>> dependencies,
                                                               ZDVComponentCreationBlock creationBlock);

    ZDVComponent(const platform::objc::Protocol* protocol, ZDVInstantiationTiming timing,
                 std::vector<std::shared_ptr<ZDVDependency>> dependencies, ZDVComponentCreationBlock creationBlock)
        : protocol_(protocol), timing_(timing), dependencies_(std::move(dependencies)),
          creationBlock_(std::move(creationBlock)) {}

    const platform::objc::Protocol* protocol() const { return protocol_; }
    ZDVInstantiationTiming instantiationTiming() const { return timing_; }
    const std::vector<std::shared_ptr<ZDVDependency>>& dependencies() const { return dependencies_; }
    const ZDVComponentCreationBlock& creationBlock() const { return creationBlock_; }

private:
    const platform::objc::Protocol* protocol_;
    ZDVInstantiationTiming timing_;
    std::vector<std::shared_ptr<ZDVDependency>> dependencies_;
    ZDVComponentCreationBlock creationBlock_;
};

using ZDVComponentList = std::vector<std::shared_ptr<ZDVComponent>>;

}  // namespace zidedova
