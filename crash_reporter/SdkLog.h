#pragma once
// SdkLog: the crash reporter's own log, "sdk.log" in its caches directory: one line per event, each
// with its UTC time. Warnings also go to the app's console. The crash handler appends to the same
// file through its own descriptor (CrashCapture.h). A log past 256 KB is started afresh at open, so
// it never grows without bound. The file, and the folder it goes in, are made with the first line.
//
// Thread-safe.
#include <string>

#include "platform/dispatch/ThreadChecks.h"

namespace dodoredized {

inline constexpr const char* kSdkLogFileName = "sdk.log";
inline constexpr size_t kMaxSdkLogBytes = 256 * 1024;

class SdkLog {
public:
    // An empty path logs to the console only.
    explicit SdkLog(std::string path);
    const std::string& path() const { return path_; }
    void info(const std::string& line);
    void warning(const std::string& line);  // also on the console

private:
    void append(const std::string& line);
    std::string path_;
    platform::dispatch::Mutex mutex_;
};

}  // namespace dodoredized
