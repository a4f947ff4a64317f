#include "Rivulet/Source/HTTPMethod.h"

#include <array>

namespace rivulet {

namespace {
constexpr std::array<const char*, 9> kRawValues = {"OPTIONS", "GET",    "HEAD",  "POST",   "PUT",
                                                   "PATCH",   "DELETE", "TRACE", "CONNECT"};
}

const char* rawValue(HTTPMethod method) { return kRawValues.at(static_cast<size_t>(method)); }

std::optional<HTTPMethod> HTTPMethodFromRawValue(std::string_view raw) {
    for (size_t i = 0; i < kRawValues.size(); ++i) {
        if (raw == kRawValues[i]) return static_cast<HTTPMethod>(i);
    }
    return std::nullopt;
}

}  // namespace rivulet
