#pragma once
// Dodoredized: the crash reporter's public class and a kit of the kit platform (runtime class
// "Dodoredized", protocol "VRRKit"). The kit platform starts it through +initializeIfNeeded, which
// starts the shared instance once per process.
//
// What this carries today: the kit's identity and the once-only start. Crash capture, report
// processing and upload, and the event kit's start are not here yet.
//
// Thread-safe.
#include <atomic>
#include <memory>
#include <string>

#include "platform/objc/Runtime.h"

namespace dodoredized {

inline constexpr const char* kClassName = "Dodoredized";
inline constexpr const char* kBundleIdentifier = "com.dodoredized.crash-reporter";
inline constexpr const char* kKitDisplayVersion = "3.11.0";
inline constexpr const char* kKitBuildVersion = "133";

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

private:
    std::atomic<bool> started_{false};
    std::atomic<int> startCount_{0};
};

// Registers the runtime class "Dodoredized" (a kit). Idempotent.
void registerClasses();
platform::objc::Class* runtimeClass();

}  // namespace dodoredized
