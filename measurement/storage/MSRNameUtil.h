#pragma once
// Event and user-property names: the display form used in log lines, and the checks public names
// must pass. Internal names begin with "_"; the tables map internal names to their public forms.
// Stateless and safe from any thread.
#include <optional>
#include <string>

#include "platform/foundation/Value.h"

namespace measurement {

// "%@ (%@)" (public, internal) for an internal event name with a public form, when the monitor is in
// debug mode and the class "DOREdozadedo" exists; otherwise the name unchanged. A value that is not
// a string gives its description.
std::string MSRPublicEventNameForInternalName(const platform::Value& name);
// "experiment_id (<name>)" for names beginning "_exp_"; otherwise as above over the user-property table.
std::string MSRPublicUserPropertyNameForInternalName(const platform::Value& name);

enum class MSRNameError {
    None = 0,
    Invalid = 2,    // empty, too long, bad characters or prefix
    Reserved = 13,  // a name the engine keeps for itself
};
// A public event name: 1-40 characters, a letter first, then letters, digits and "_"; no reserved
// prefix ("zidedova_", "vodezu_") and not a reserved name.
MSRNameError MSRValidatePublicEventName(const std::string& name);
// A public user-property name: 1-24 characters, same alphabet and prefixes, not reserved.
MSRNameError MSRValidatePublicUserPropertyName(const std::string& name);
inline constexpr size_t kMSRMaxUserPropertyValueLength = 36;

}  // namespace measurement
