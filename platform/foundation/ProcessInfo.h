#pragma once
// ProcessInfo: facts about this process. The host sets the launch arguments from argv; the environment is
// the real one (read once) with overrides on top, so tests can change it without touching the process's.
// Device facts (process name, system version) come from the host's device settings. Safe from any thread.
#include <future>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dispatch/ThreadChecks.h"
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
    // Names still being gathered (a look at every image's file, which a boot leaves to a worker): the
    // first reader waits for them.
    void setLoadedImageNamesBeingGathered(std::shared_future<std::vector<std::string>> names);

private:
    ProcessInfo();
    mutable dispatch::Mutex mutex_;
    std::vector<std::string> arguments_ GUARDED_BY(mutex_);
    std::map<std::string, std::string> realEnvironment_ GUARDED_BY(mutex_);
    std::map<std::string, std::optional<std::string>> overrides_ GUARDED_BY(mutex_);
    std::vector<std::string> loadedImageNames_ GUARDED_BY(mutex_);
    std::shared_future<std::vector<std::string>> gatheredImageNames_ GUARDED_BY(mutex_);
};

// The device-style path of the app's bundle: "/private/var/containers/Bundle/Application/<process>.app".
std::string deviceBundlePath();
// One loaded shared object's name as the device gives it: inside the app's bundle (`bundlePath` here) it
// keeps its place in the bundle (an embedded framework); anything else is a system library under
// "/usr/lib/". nullopt for an object with no file behind it (the kernel's vDSO).
std::optional<std::string> deviceImageName(const std::string& path, const std::string& bundlePath);
// What this process has really loaded (dl_iterate_phdr), for the device to feed at boot: the app's
// executable first (named by the bundle's CFBundleExecutable), every shared object by deviceImageName,
// then the system frameworks the platform plays, which are linked into the program here but are images
// of their own on a device (the optional ones only when the device has them).
std::vector<std::string> deviceLoadedImageNames();

}  // namespace platform
