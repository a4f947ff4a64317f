#pragma once
// MSRScreenViewReporter: receives the screen names the application sets (main thread) and logs a
// screen-view event ("_vs") when the screen changes. A runtime object of the class
// "MSRScreenViewReporter", made once.
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/objc/Runtime.h"

namespace measurement {

class MSRScreenViewReporter : public platform::objc::Object {
public:
    static std::shared_ptr<MSRScreenViewReporter> sharedInstance();
    static platform::objc::Class* runtimeClass();

    void setScreenName(const std::optional<std::string>& name, const std::optional<std::string>& screenClass);
    std::optional<std::string> currentScreenName() const;

    explicit MSRScreenViewReporter(platform::objc::Class* cls) : Object(cls) {}

private:
    mutable platform::dispatch::Mutex mutex_;
    std::optional<std::string> name_ GUARDED_BY(mutex_);
    std::optional<std::string> class_ GUARDED_BY(mutex_);
};

// Registers every measurement class with the shared runtime and wires the screen-view reporter to the
// engine. Call once at start-up, before configuring the app core. Idempotent.
void registerClasses();

}  // namespace measurement
