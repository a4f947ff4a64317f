#pragma once
// Crash capture: on a fatal signal (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGTRAP) or an uncaught
// C++ exception, one report file is written for this launch, then the process ends as it would have.
//
// Everything the handler needs is prepared at install time: the report and sdk.log paths and the
// identifiers in fixed buffers, an alternate signal stack (a stack overflow still gets its report), the
// loaded images (dl_iterate_phdr) and a first unwind so libunwind's lazy set-up is done. No file is
// touched before a crash: the handler makes the folders above the report and sdk.log when they are
// missing. In the handler only async-signal-safe calls are made (open/write/close, mkdir,
// clock_gettime, sigaction, raise) plus libunwind's local unwinder; nothing allocates. The image list is re-read there
// from the dynamic loader's own list (_r_debug) when the loader says it is consistent (that walk takes no lock and only
// reads), so libraries opened after start are there too; otherwise the start-time list is used.
//
// The stack comes from the signal's own context: the first frame is where the fault happened. After
// writing, the signal's default action is restored and the signal raised again, so the exit status is
// the signal's. An uncaught exception goes through std::set_terminate: its type and what() are kept,
// then the previous terminate handler runs (it prints and aborts) and SIGABRT writes the report with
// the exception in it. A crash on a second thread while the first is writing waits for it; a crash
// inside the handler itself ends the process at once.
//
// Report file (text, one field per line; values escape '\\', control and non-ASCII bytes as \xHH):
//   dodoredized crash report 1
//   report_id <id>            installation_id <id>       execution_id <id>
//   time <seconds since 1970>.<milliseconds>
//   signal <number> <name>
//   fault_address 0x<hex>     (fault signals only: SEGV, BUS, ILL, FPE)
//   exception_type <text>     exception_message <text>    (an uncaught exception only)
//   frame 0x<hex>             (one per return address, innermost first)
//   image 0x<load address> <path>
//   end
// A file without its "end" line is partial.
//
// Sanitizer builds (ASan, TSan) own the fatal signals: there nothing is installed.
#include <cstddef>
#include <cstdint>
#include <string>

namespace dodoredized {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitizerBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitizerBuild = true;
#else
inline constexpr bool kSanitizerBuild = false;
#endif
#else
inline constexpr bool kSanitizerBuild = false;
#endif

inline constexpr const char* kReportHeaderLine = "dodoredized crash report 1";
inline constexpr size_t kMaxFrames = 128;
inline constexpr size_t kMaxImages = 512;
inline constexpr size_t kMaxImageName = 256;
inline constexpr size_t kMaxExceptionText = 2048;

struct ImageEntry {
    uintptr_t loadAddress = 0;
    char name[kMaxImageName] = {};
};

// What one report holds. Plain pointers and fixed arrays, so the handler can fill it without allocating.
struct CrashFacts {
    const char* reportIdentifier = "";
    const char* installationIdentifier = "";
    const char* executionIdentifier = "";
    long long seconds = 0;  // since 1970
    int milliseconds = 0;
    int signal = 0;
    bool hasFaultAddress = false;
    uintptr_t faultAddress = 0;
    const char* exceptionType = nullptr;  // null: no exception
    const char* exceptionMessage = nullptr;
    const uintptr_t* frames = nullptr;
    size_t frameCount = 0;
    const ImageEntry* images = nullptr;
    size_t imageCount = 0;
};

struct CaptureSetup {
    std::string reportPath;  // this launch's report, written only if it crashes
    std::string reportIdentifier;
    std::string installationIdentifier;
    std::string executionIdentifier;
    std::string logPath;  // sdk.log: the handler appends one line (none when empty)
};

// "SIGSEGV", ... for the captured signals; "SIG<number>" is not made here: null for others.
const char* signalName(int signal);
// Whether a signal's fault address means something.
bool isFaultSignal(int signal);

// Writes a report (format above) to `fd`. Async-signal-safe. False when a write failed.
bool writeCrashReport(int fd, const CrashFacts& facts) noexcept;

// Installs the handlers for this process. False, with nothing installed, in sanitizer builds, on a
// second call, or when the setup does not fit the fixed buffers.
bool installCrashCapture(const CaptureSetup& setup);
bool isCrashCaptureInstalled();

}  // namespace dodoredized
