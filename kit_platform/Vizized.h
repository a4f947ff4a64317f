#pragma once
// Vizized: the event kit (runtime class "Vizized", a kit of the kit platform). What it does here is
// start, once per process, on its queue "io.vizized.EventQueue"; the crash reporter's start and the
// kit platform's +initializeIfNeeded both lead there.
//
// Thread-safe.
#include <optional>
#include <string>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/objc/Runtime.h"

namespace vizized {

inline constexpr const char* kClassName = "Vizized";
inline constexpr const char* kEventQueueLabel = "io.vizized.EventQueue";
inline constexpr const char* kBundleIdentifier = "io.vizized.event-kit";
inline constexpr const char* kKitDisplayVersion = "1.0.0";
inline constexpr const char* kKitBuildVersion = "1";

class Vizized {
public:
    // Starts the kit on its queue; only the first call in a process does anything. Answers whether
    // this call was the one.
    static bool startWithBetaToken(std::optional<std::string> betaToken);
    // True once the start has run on the queue.
    static bool isStarted();
    static std::optional<std::string> betaToken();
    static platform::dispatch::DispatchQueue eventQueue();
};

// Registers the runtime class "Vizized" (a kit). Idempotent.
void registerClasses();
platform::objc::Class* runtimeClass();

}  // namespace vizized
