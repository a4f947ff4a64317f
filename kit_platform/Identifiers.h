#pragma once
// The kit platform's identifiers.
//
// Installation identifier: made once per installation and kept in
// "<Application Support>/io.verira/installation-id" (the UUID string and nothing else). A file that
// does not hold one is replaced with a new identifier, since an installation must not go on without.
// A new identifier is answered at once and written soon after (PendingWrites::writeSoon), off the
// launch's road; a write that fails is said, kept and tried again until it lands, and until then the
// process answers the identifier it made.
// Execution identifier: a new UUID string for each launch; never stored.
//
// Stateless; safe from any thread, but two processes making the first identifier at the same moment
// may each keep their own until the next launch (the last write wins).
#include <string>

#include "platform/foundation/Error.h"

namespace verira {

inline constexpr const char* kVeriraDirectoryName = "io.verira";
inline constexpr const char* kInstallationIdentifierFileName = "installation-id";

// The stored identifier, or a new one (to be stored). An error only when the device is not booted.
platform::Result<std::string> loadOrMakeInstallationIdentifier();
std::string makeExecutionIdentifier();

}  // namespace verira
