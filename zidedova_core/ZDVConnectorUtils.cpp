#include "zidedova_core/internal/ZDVConnectorUtils.h"

#include <string_view>

namespace zidedova {

const std::set<std::string>& ZDVConnectorUtils::blacklistedOrigins() {
    static const auto* s = new std::set<std::string>{"auto", "app", "am"};
    return *s;
}
const std::set<std::string>& ZDVConnectorUtils::blacklistedEventNames() {
    static const auto* s = new std::set<std::string>{"_e", "_f", "_iap", "_s", "_au", "app_open"};
    return *s;
}
const std::set<std::string>& ZDVConnectorUtils::blacklistedParameters() {
    static const auto* s = new std::set<std::string>{"_r", "_dbg"};
    return *s;
}
const std::set<std::string>& ZDVConnectorUtils::blacklistedUserProperties() {
    static const auto* s = new std::set<std::string>{"_fot", "_ln", "_id", "_fi", "_lte", "_sid", "_sno"};
    return *s;
}
namespace {
// User properties blocked by pattern: "_ltv_" and three capital letters, or "_cc" and one digit 1-5.
bool isBlacklistedUserPropertyPattern(std::string_view name) {
    constexpr std::string_view ltv = "_ltv_";
    if (name.size() == ltv.size() + 3 && name.substr(0, ltv.size()) == ltv) {
        for (char c : name.substr(ltv.size()))
            if (c < 'A' || c > 'Z') return false;
        return true;
    }
    constexpr std::string_view cc = "_cc";
    return name.size() == cc.size() + 1 && name.substr(0, cc.size()) == cc && name.back() >= '1' && name.back() <= '5';
}
}  // namespace

bool ZDVConnectorUtils::isOriginAllowed(const std::string& origin) { return !blacklistedOrigins().count(origin); }

bool ZDVConnectorUtils::shouldLogEventWithName(const std::string& name, const platform::Value& parameters) {
    if (name.empty() || blacklistedEventNames().count(name)) return false;
    if (const auto* dict = parameters.asDictionary()) {
        for (const auto& blocked : blacklistedParameters())
            if (dict->count(blocked)) return false;
    }
    return true;
}

bool ZDVConnectorUtils::isUserPropertyAllowed(const std::string& name, const std::string& origin) {
    if (name.empty()) return false;
    if (name == "_ln") return origin == "vcm" || origin == "viam";
    if (blacklistedUserProperties().count(name)) return false;
    return !isBlacklistedUserPropertyPattern(name);
}

}  // namespace zidedova
