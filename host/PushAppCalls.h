#pragma once
// The push client's rows of the app-call table.
#include <vector>

#include "host/AppCalls.h"

namespace tesmar_host {

void addPushAppCalls(std::vector<AppCall>& table);

}  // namespace tesmar_host
