#pragma once
// Modules shipped next to tesmar-sim (the real web engine, the demo's servers), opened with dlopen only
// by the runs that need them, so every other launch maps none of their libraries.
#include <string>

namespace tesmar_host {

// Opens the module `fileName` lying next to this executable and answers its symbol `entry`; null with
// `error` set when it cannot ("<what> '<path>' is missing", "... does not load: <why>", "... has no
// entry '<entry>'"). A module, once opened, stays open: its libraries start threads that outlive a run.
void* moduleEntry(const std::string& fileName, const char* entry, const std::string& what, std::string* error);

}  // namespace tesmar_host
