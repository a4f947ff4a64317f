#pragma once
// The host's `crash KIND` command: makes the app crash the way named, from a function of its own whose
// address range is told first, so a captured stack can be checked against it.
//
// Before crashing it posts "crash.trigger" {"kind", "function_start", "function_end"} (hex addresses of
// the crashing function's code, end exclusive). Then:
//   segv       a write through a bad pointer (SIGSEGV)
//   abort      abort() (SIGABRT)
//   exception  a C++ exception that nothing catches (std::terminate, then SIGABRT)
// It does not return.
#include <string>

namespace tesmar_host {

[[noreturn]] void crashNow(const std::string& kind);

}  // namespace tesmar_host
