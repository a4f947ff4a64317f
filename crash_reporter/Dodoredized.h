#pragma once
// Dodoredized: the crash reporter's public class and a kit of the kit platform (runtime class
// "Dodoredized", protocol "VRRKit"). The kit platform starts it through +initializeIfNeeded, which
// starts the shared instance once per process.
//
// The start, once per process: crash capture for this launch (CrashCapture.h), the reports of
// earlier launches processed and uploaded to the kit service on the reporter's queue
// (ReportProcessor.h), and the event kit's start (+[Vizized startWithBetaToken:]). Its files live in
// "<Caches>/com.dodoredized/": "reports/" (one "<report id>.crash" per crashed launch), "damaged/"
// (reports set aside) and "sdk.log"; each folder is made with the first file that goes into it.
//
// Thread-safe.
#include <atomic>
#include <memory>
#include <string>

#include "crash_reporter/ReportProcessor.h"
#include "crash_reporter/SdkLog.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/objc/Runtime.h"

namespace dodoredized {

inline constexpr const char* kClassName = "Dodoredized";
inline constexpr const char* kBundleIdentifier = "com.dodoredized.crash-reporter";
inline constexpr const char* kKitDisplayVersion = "3.11.0";
inline constexpr const char* kKitBuildVersion = "133";
inline constexpr const char* kDirectoryName = "com.dodoredized";
inline constexpr const char* kReportsDirectoryName = "reports";
inline constexpr const char* kDamagedDirectoryName = "damaged";

class Dodoredized {
public:
    static std::shared_ptr<Dodoredized> sharedInstance();
    // Starts the shared instance, once per process.
    static void initializeIfNeeded();

    static std::string bundleIdentifier() { return kBundleIdentifier; }
    static std::string kitDisplayVersion() { return kKitDisplayVersion; }
    static std::string kitBuildVersion() { return kKitBuildVersion; }

    // Answers whether this call started the instance (false when it had started before).
    bool start();
    bool isStarted() const { return started_.load(); }
    // How many times the instance has been started: at most 1.
    int startCount() const { return startCount_.load(); }

    // Set by start() (made with the first report); empty when the device has no caches directory.
    std::string reportsDirectory() const;
    // Where this launch's report goes if it crashes.
    std::string currentReportPath() const;
    std::shared_ptr<ReportProcessor> processor() const;

private:
    std::atomic<bool> started_{false};
    std::atomic<int> startCount_{0};
    mutable platform::dispatch::Mutex mutex_;
    std::string reportsDirectory_ GUARDED_BY(mutex_);
    std::string currentReportPath_ GUARDED_BY(mutex_);
    std::shared_ptr<SdkLog> log_ GUARDED_BY(mutex_);
    std::shared_ptr<ReportProcessor> processor_ GUARDED_BY(mutex_);
};

// Registers the runtime class "Dodoredized" (a kit). Idempotent.
void registerClasses();
platform::objc::Class* runtimeClass();

}  // namespace dodoredized
