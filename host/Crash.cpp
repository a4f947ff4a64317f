#include "host/Crash.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "platform/foundation/DeviceEvents.h"

// Each crashing function sits alone in a section of its own; the linker marks where each begins and
// ends, which gives its exact address range.
extern "C" {
extern const char __start_tesmar_crash_segv[], __stop_tesmar_crash_segv[];
extern const char __start_tesmar_crash_abort[], __stop_tesmar_crash_abort[];
extern const char __start_tesmar_crash_exception[], __stop_tesmar_crash_exception[];
}

namespace tesmar_host {

namespace {

// Read at run time, so the compiler cannot turn the bad write into something else.
volatile uintptr_t badAddress = 0x10;

__attribute__((noinline, section("tesmar_crash_segv"))) void crashBySegv() {
    *reinterpret_cast<volatile int*>(badAddress) = 1;
}

__attribute__((noinline, section("tesmar_crash_abort"))) void crashByAbort() { std::abort(); }

__attribute__((noinline)) void throwUncaught() { throw std::runtime_error("tesmar-sim: a crash by exception"); }

// noexcept: the exception cannot leave, so nothing above (the host's own catch included) sees it.
__attribute__((noinline, section("tesmar_crash_exception"))) void crashByException() noexcept { throwUncaught(); }

std::string hex(const void* address) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
    return text;
}

}  // namespace

void crashNow(const std::string& kind) {
    const char* start = __start_tesmar_crash_segv;
    const char* end = __stop_tesmar_crash_segv;
    void (*crash)() = crashBySegv;
    if (kind == "abort") {
        start = __start_tesmar_crash_abort;
        end = __stop_tesmar_crash_abort;
        crash = crashByAbort;
    } else if (kind == "exception") {
        start = __start_tesmar_crash_exception;
        end = __stop_tesmar_crash_exception;
        crash = crashByException;
    }
    platform::DeviceEvents::post(
        "crash.trigger",
        platform::Value::dictionary({{"kind", kind}, {"function_start", hex(start)}, {"function_end", hex(end)}}));
    std::fflush(stdout);
    std::fflush(stderr);
    crash();
    std::abort();  // only if the crash did not happen
}

}  // namespace tesmar_host
