#pragma once
// Internal: the alerts on screen, in the order they appeared (main thread only), so the simulated
// user can answer the front one whatever its kind.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace platform::uikit::detail {

struct AlertEntry {
    std::weak_ptr<void> owner;  // the alert; gone => entry dropped
    std::function<bool()> visible;
    std::function<bool(const std::string&)> tap;  // answers whether it had the button
};

void pushAlert(AlertEntry entry);
Value alertFields(const std::optional<std::string>& title, const std::optional<std::string>& message,
                  const std::vector<std::string>& buttons);

}  // namespace platform::uikit::detail
