#include "platform/foundation/Error.h"

namespace platform {

Error::Error(std::string d, int64_t c, Value info) : domain(std::move(d)), code(c), userInfo(std::move(info)) {
    if (!userInfo.isDictionary()) userInfo = Value::dictionary();
}

Error Error::withDescription(std::string domain, int64_t code, const std::string& description) {
    Value info = Value::dictionary();
    info.set(kLocalizedDescriptionKey, description);
    return Error(std::move(domain), code, std::move(info));
}

std::string Error::localizedDescription() const {
    if (const std::string* s = userInfo[kLocalizedDescriptionKey].asString()) return *s;
    return "The operation couldn\u2019t be completed. (" + domain + " error " + std::to_string(code) + ".)";
}

std::string Error::description() const {
    return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + localizedDescription() + "\"";
}

bool Error::operator==(const Error& other) const {
    return domain == other.domain && code == other.code && userInfo == other.userInfo;
}

}  // namespace platform
