#pragma once
// HTTPMethod: the nine HTTP methods, with their raw (wire) values.
#include <cstdint>
#include <optional>
#include <string_view>

namespace rivulet {

enum class HTTPMethod : uint8_t { options, get, head, post, put, patch, delete_, trace, connect };

// "OPTIONS", "GET", ... "CONNECT".
const char* rawValue(HTTPMethod method);
// Exactly one of the nine raw values (case-sensitive, whole string); nullopt for anything else.
std::optional<HTTPMethod> HTTPMethodFromRawValue(std::string_view rawValue);

}  // namespace rivulet
