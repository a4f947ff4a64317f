#pragma once
// Bundle lookups of the app core. The relevant bundles are the main bundle and the bundle that holds
// the app core; here both are the main bundle, so it is listed once. Safe from any thread.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Bundle.h"

namespace zidedova {

class ZDVBundleUtil {
public:
    using Bundles = std::vector<std::shared_ptr<platform::Bundle>>;
    static Bundles relevantBundles();
    // The first bundle, in order, that has the resource; nullopt when none has it.
    static std::optional<std::string> optionsDictionaryPath(const std::string& name, const std::string& type,
                                                            const Bundles& bundles);
    // Every "CFBundleURLSchemes" entry of every "CFBundleURLTypes" item, in bundle order, duplicates kept.
    static std::vector<std::string> relevantURLSchemes();
    static bool hasBundleIdentifier(const std::string& identifier, const Bundles& bundles);
};

}  // namespace zidedova
