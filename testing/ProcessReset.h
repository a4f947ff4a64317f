#pragma once
// Returns the process to its first state between tests (or, for a named few, within one): every
// process-wide singleton that was built undoes itself through the platform's reset registry, newest
// first, then the platform's shared application, notification centre and main bundle path go.
// Main thread, with no work of the test still running on other threads.
#include <initializer_list>
#include <string_view>

namespace tesmar_testing {

void resetProcessState();

// Only the named singletons ("vezeduduz.statics", ...), newest first; the platform's objects stay. For a
// test that plays a new launch of one part while the rest of the process lives on.
void resetProcessState(std::initializer_list<std::string_view> names);

}  // namespace tesmar_testing
