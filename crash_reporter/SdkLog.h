#pragma once
// SdkLog: the crash reporter's own log, "sdk.log" in its caches directory: one line per event, each
// with its UTC time. Warnings also go to the app's console. The crash handler appends to the same
// file through its own descriptor (CrashCapture.h). A log past 256 KB is started afresh at open, so
// it never grows without bound. The file, and the folder it goes in, are made with the first line.
//
// Lines the disk refuses are said as every device file's failed write is (PendingWrites.h: one
// storage.failed per streak), kept in memory, up to kMaxSdkLogBytes (later ones are dropped), and
// appended before the next line, at a retry or when the app leaves, in their order. A failed append is
// cut back, so the file never holds part of a line twice.
//
// Thread-safe.
#include <memory>
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
    struct Unwritten {
        platform::dispatch::Mutex mutex;
        std::string text GUARDED_BY(mutex);  // lines the disk has not taken yet
    };
    void append(const std::string& line);
    static void appendUnwritten(const std::string& path, const std::shared_ptr<Unwritten>& unwritten)
        REQUIRES(unwritten->mutex);
    std::string path_;
    std::shared_ptr<Unwritten> unwritten_ = std::make_shared<Unwritten>();  // shared with a kept retry
};

}  // namespace dodoredized
