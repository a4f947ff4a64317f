#pragma once
// FileFaults (internal to foundation): a test seam that makes the file layer's writes or the preferences
// domain's reads fail with a chosen errno, for faults a test cannot cause on its own disk. Each function
// answers the errno for a path, or 0 to let the operation run. Cleared by the reset registry.
#include <functional>
#include <string>

namespace platform::detail {

using FileFault = std::function<int(const std::string& path)>;

// Consulted by FileManager::writeAtomically before it writes.
void setWriteFault(FileFault fault);
// Consulted by the preferences domain before it reads its file.
void setReadFault(FileFault fault);

int injectedWriteFault(const std::string& path);
int injectedReadFault(const std::string& path);

}  // namespace platform::detail
