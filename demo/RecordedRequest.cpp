#include "demo/RecordedRequest.h"

#include <algorithm>

#include "platform/foundation/ASCII.h"

namespace tesmar_demo {

bool headerNamesEqual(const std::string& a, const std::string& b) { return platform::equalsIgnoringASCIICase(a, b); }

std::optional<std::string> RecordedRequest::queryItem(const std::string& name) const {
    for (const auto& [key, value] : queryItems)
        if (key == name) return value;
    return std::nullopt;
}

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (headerNamesEqual(key, name)) return value;
    }
    return std::nullopt;
}

std::vector<std::string> RecordedRequest::headerValues(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& [key, value] : headers) {
        if (headerNamesEqual(key, name)) values.push_back(value);
    }
    return values;
}

const MultipartPart* RecordedRequest::part(const std::string& name) const {
    for (const auto& p : parts) {
        if (p.name == name) return &p;
    }
    return nullptr;
}

}  // namespace tesmar_demo
