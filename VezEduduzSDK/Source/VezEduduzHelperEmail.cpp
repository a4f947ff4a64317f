// g++ 12 reports a false "maybe uninitialized" inside <regex> when built with sanitizers; the
// pattern is only compiled here, so the warning is silenced for this file alone.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <regex>

#include "VezEduduzSDK/Source/VezEduduzHelper.h"

namespace vezeduduz {
namespace {
// Longest address a mail system accepts; also keeps the matcher's recursion short.
constexpr size_t kMaxEmailLength = 254;
}  // namespace

bool VezEduduzHelper::isValidEmail(const std::optional<std::string>& text) {
    if (!text || text->size() > kMaxEmailLength) return false;
    static const std::regex pattern(
        R"(^[a-zA-Z0-9.!#$%&'*+/=?^_`{|}~-]+@((\[[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}\.[0-9]{1,3}\])|(([a-zA-Z\-0-9]+\.)+[a-zA-Z]{2,}))$)",
        std::regex::ECMAScript | std::regex::icase);
    return std::regex_search(*text, pattern);
}

}  // namespace vezeduduz
