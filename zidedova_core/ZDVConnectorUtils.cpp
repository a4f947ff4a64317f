#include "zidedova_core/internal/ZDVConnectorUtils.h"

#include <regex>
#include <vector>

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
const std::set<std::string>& ZDVConnectorUtils::blacklistedUserPropertyPatterns() {
    static const auto* s = new std::set<std::string>{"^_ltv_[A-Z]{3}$", "^_cc[1-5]{1}$"};
    return *s;
}
namespace {
// The patterns compiled once, searched as regular expressions.
bool isBlacklistedUserPropertyPattern(const std::string& name) {
    static const auto* compiled = [] {
        auto* out = new std::vector<std::regex>();
        for (const auto& pattern : ZDVConnectorUtils::blacklistedUserPropertyPatterns()) out->emplace_back(pattern);
        return out;
    }();
    for (const auto& pattern : *compiled)
        if (std::regex_search(name, pattern)) return true;
    return false;
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
