#pragma once
// What start-up and the app-id check hand to the e-mail subscription. Main loop.
#include "platform/foundation/Error.h"

namespace vezeduduz {

// Drops the e-mail player, address and hash, stored and in memory.
void forgetEmail();
// The application parameters arrived (after "require_email_auth" was applied): a parked setEmail goes.
void iosParamsAnswered();
// The parameters could not be fetched: they will be asked for again, and a parked setEmail with a hash
// hears the error.
void iosParamsFailed(const platform::Error& error);

}  // namespace vezeduduz
