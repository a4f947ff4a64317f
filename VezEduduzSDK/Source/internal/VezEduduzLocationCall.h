#pragma once
// The one place the facade asks the location reporter for a location (prompt: ask the user for
// permission first). Main loop.
#include "VezEduduzSDK/Source/VezEduduzLocation.h"

namespace vezeduduz {

inline void requestLocation(bool prompt) { VezEduduzLocation::getLocation(prompt); }

}  // namespace vezeduduz
