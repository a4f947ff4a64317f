#pragma once
// Errors travel in notification user info as dictionaries {"domain", "code", "userInfo"}.
#include <optional>

#include "platform/foundation/Error.h"

namespace zidedova {

inline platform::Value errorToValue(const platform::Error& error) {
    return platform::Value::dictionary({{"domain", error.domain}, {"code", error.code}, {"userInfo", error.userInfo}});
}

inline std::optional<platform::Error> errorFromValue(const platform::Value& value) {
    const std::string* domain = value["domain"].asString();
    auto code = value["code"].asInteger();
    if (!domain || !code) return std::nullopt;
    return platform::Error(*domain, *code,
                           value["userInfo"].isDictionary() ? value["userInfo"] : platform::Value::dictionary());
}

}  // namespace zidedova
