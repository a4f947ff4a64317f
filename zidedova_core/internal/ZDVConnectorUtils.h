#pragma once
// The filters of the interop connector: which origins, event names, parameters and user properties
// other SDKs may pass to measurement. The sets are made once and never change. Stateless otherwise;
// safe from any thread.
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace zidedova {

class ZDVConnectorUtils {
public:
    static const std::set<std::string>& blacklistedOrigins();
    static const std::set<std::string>& blacklistedEventNames();
    static const std::set<std::string>& blacklistedParameters();
    static const std::set<std::string>& blacklistedUserProperties();
    // Regular expressions; a user-property name in which any is found is refused.
    static const std::set<std::string>& blacklistedUserPropertyPatterns();

    static bool isOriginAllowed(const std::string& origin);
    static bool shouldLogEventWithName(const std::string& name, const platform::Value& parameters);
    static bool isUserPropertyAllowed(const std::string& name, const std::string& origin);
};

}  // namespace zidedova
