#include "zidedova_core/ZDVBundleUtil.h"

namespace zidedova {

ZDVBundleUtil::Bundles ZDVBundleUtil::relevantBundles() { return {platform::Bundle::mainBundle()}; }

std::optional<std::string> ZDVBundleUtil::optionsDictionaryPath(const std::string& name, const std::string& type,
                                                                const Bundles& bundles) {
    for (const auto& bundle : bundles) {
        if (!bundle) continue;
        if (auto path = bundle->pathForResource(name, type)) return path;
    }
    return std::nullopt;
}

std::vector<std::string> ZDVBundleUtil::relevantURLSchemes() {
    std::vector<std::string> out;
    for (const auto& bundle : relevantBundles()) {
        const auto* types = bundle->objectForInfoDictionaryKey("CFBundleURLTypes");
        if (!types || !types->isArray()) continue;
        for (const auto& item : *types->asArray()) {
            const auto* schemes = item.find("CFBundleURLSchemes");
            if (!schemes || !schemes->isArray()) continue;
            for (const auto& scheme : *schemes->asArray())
                if (const std::string* s = scheme.asString()) out.push_back(*s);
        }
    }
    return out;
}

bool ZDVBundleUtil::hasBundleIdentifier(const std::string& identifier, const Bundles& bundles) {
    for (const auto& bundle : bundles)
        if (bundle && bundle->bundleIdentifier() == identifier) return true;
    return false;
}

}  // namespace zidedova
