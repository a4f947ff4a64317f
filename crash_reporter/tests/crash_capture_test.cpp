// Crash capture in a child process: each way of crashing leaves one report that reads back whole, with
// the right signal, a stack through the crashing function and the loaded images, and the child ends by
// the signal it would have died of anyway.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "crash_reporter/CrashCapture.h"
#include "crash_reporter/CrashReport.h"
#include "testing/SpecialFiles.h"

namespace {

namespace fs = std::filesystem;

volatile uintptr_t badAddress = 0x18;
volatile int zero = 0, seven = 7;

__attribute__((noinline)) void crashBySegv() { *reinterpret_cast<volatile int*>(badAddress) = 1; }
__attribute__((noinline)) void crashByFpe() { badAddress = static_cast<uintptr_t>(seven / zero); }
__attribute__((noinline)) void crashByAbort() { std::abort(); }
__attribute__((noinline)) void throwIt() { throw std::logic_error("nobody catches this"); }
__attribute__((noinline)) void crashByException() noexcept { throwIt(); }

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

TEST(CrashCapture, EachCrashLeavesOneWholeReportAndEndsBySignal) {
    if (dodoredized::kSanitizerBuild) GTEST_SKIP() << "the sanitizer owns the fatal signals in this build";
    struct Case {
        const char* label;
        void (*crash)();
        int signal;
        const char* faultAddress;  // null: none expected
        const char* exceptionType;
    } cases[] = {
        {"a bad write", crashBySegv, SIGSEGV, "0x18", nullptr},
        {"a division by zero", crashByFpe, SIGFPE, "", nullptr},
        {"abort()", crashByAbort, SIGABRT, nullptr, nullptr},
        {"an uncaught exception", crashByException, SIGABRT, nullptr, "std::logic_error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        char pattern[] = "/tmp/crash-capture-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        // The reporter's folders are not there yet: the handler makes them.
        fs::path dir = pattern, report = dir / "reporter/reports/R.crash", log = dir / "reporter/sdk.log";
        EXPECT_EXIT(
            {
                if (!dodoredized::installCrashCapture({report.string(), "R", "I", "E", log.string()})) _exit(99);
                c.crash();
                _exit(98);
            },
            ::testing::KilledBySignal(c.signal), "");

        auto parsed = dodoredized::parseCrashReport(readFile(report));
        ASSERT_TRUE(parsed.ok()) << parsed.error().localizedDescription();
        EXPECT_EQ(parsed->reportIdentifier, "R");
        EXPECT_EQ(parsed->installationIdentifier, "I");
        EXPECT_EQ(parsed->executionIdentifier, "E");
        EXPECT_EQ(parsed->signal, c.signal);
        EXPECT_EQ(parsed->signalName, dodoredized::signalName(c.signal));
        EXPECT_NEAR(parsed->time, static_cast<double>(::time(nullptr)), 120);
        if (c.faultAddress && *c.faultAddress) {
            EXPECT_EQ(dodoredized::hexAddress(parsed->faultAddress.value_or(0)), c.faultAddress);
        }
        EXPECT_EQ(parsed->faultAddress.has_value(), c.faultAddress != nullptr);
        EXPECT_EQ(parsed->exception.has_value(), c.exceptionType != nullptr);
        if (c.exceptionType && parsed->exception) {
            EXPECT_EQ(parsed->exception->type, c.exceptionType);
            EXPECT_EQ(parsed->exception->message, "nobody catches this");
        }
        // A return address (or the faulting instruction) inside the crashing function: they are tiny.
        auto start = reinterpret_cast<uintptr_t>(c.crash);
        bool through = false;
        for (uint64_t frame : parsed->frames) through = through || (frame >= start && frame <= start + 64);
        EXPECT_TRUE(through) << "no frame in the crashing function";
        bool self = false;
        for (const auto& image : parsed->images)
            self = self || image.name.find("crash_reporter_tests") != std::string::npos;
        EXPECT_TRUE(self) << "the test program is not among the images";
        EXPECT_NE(readFile(log).find("crash captured: signal " + std::to_string(c.signal) + ", report R"),
                  std::string::npos);
        fs::remove_all(dir);
    }
}

// The reporter's log is opened only at the crash: a FIFO in its place (whose open would wait for a reader
// that never comes) must neither hold the crashing process nor stop its report.
TEST(CrashCapture, ALogThatIsAFifoHoldsNothingBack) {
    if (dodoredized::kSanitizerBuild) GTEST_SKIP() << "the sanitizer owns the fatal signals in this build";
    char pattern[] = "/tmp/crash-capture-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    fs::path dir = pattern, report = dir / "reports/R.crash", log = dir / "sdk.log";
    ASSERT_TRUE(tesmar_testing::makeFifo(log.string()));
    // Forked before the wait's thread is there.
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!dodoredized::installCrashCapture({report.string(), "R", "I", "E", log.string()})) _exit(99);
        crashBySegv();
        _exit(98);
    }
    int status = 0;
    const bool inTime =
        tesmar_testing::finishesWithoutWaiting(log.string(), [&] { ASSERT_EQ(::waitpid(child, &status, 0), child); });
    EXPECT_TRUE(inTime) << "the crash waited on the FIFO";
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
    auto parsed = dodoredized::parseCrashReport(readFile(report));
    ASSERT_TRUE(parsed.ok()) << parsed.error().localizedDescription();
    EXPECT_EQ(parsed->signal, SIGSEGV);
    EXPECT_TRUE(fs::is_fifo(log));
    fs::remove_all(dir);
}

}  // namespace
