#pragma once
// ProcessInfo: facts about this process. The host sets the launch arguments from argv; the environment is
// the real one (read once) with overrides on top, so tests can change it without touching the process's.
// Device facts (process name, system version) come from the host's device settings. Safe from any thread.
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/OperatingSystemVersion.h"

namespace platform {

class ProcessInfo {
public:
    static ProcessInfo& processInfo();

    std::vector<std::string> arguments() const;
    void setArguments(std::vector<std::string> arguments);
    void setArguments(int argc, const char* const* argv);

    std::map<std::string, std::string> environment() const;
    std::optional<std::string> environmentValue(std::string_view name) const;
    // Overrides one variable; nullopt hides it. Does not change the real environment.
    void setEnvironmentValue(std::string name, std::optional<std::string> value);
    void clearEnvironmentOverrides();

    std::string processName() const;
    OperatingSystemVersion operatingSystemVersion() const;
    std::string operatingSystemVersionString() const;  // "Version 17.0"
    bool isOperatingSystemAtLeastVersion(const OperatingSystemVersion& version) const;

    // Unique across processes and calls: 128 random bits, the process id and a counter.
    std::string globallyUniqueString() const;
    // Seconds since the system booted (monotonic).
    double systemUptime() const;

    // Paths of the images (executable, frameworks, system libraries) loaded into the process, in the
    // device's own form ("/System/Library/Frameworks/UIKit.framework/UIKit"). The device feeds them at
    // boot; until then (or after an empty list) the process's executable and the system images the
    // platform stands in for.
    std::vector<std::string> loadedImageNames() const;
    void setLoadedImageNames(std::vector<std::string> names);

private:
    ProcessInfo();
    mutable std::mutex mutex_;
    std::vector<std::string> arguments_;
    std::map<std::string, std::string> realEnvironment_;
    std::map<std::string, std::optional<std::string>> overrides_;
    std::vector<std::string> loadedImageNames_;
};

}  // namespace platform
