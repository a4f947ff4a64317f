#include "crash_reporter/SdkLog.h"

#include <fcntl.h>
#include <unistd.h>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/FileManager.h"

namespace dodoredized {

SdkLog::SdkLog(std::string path) : path_(std::move(path)) {
    if (path_.empty()) return;
    auto size = platform::FileManager::defaultManager().fileSize(path_);
    if (size && *size > kMaxSdkLogBytes) ::truncate(path_.c_str(), 0);
}

void SdkLog::info(const std::string& line) { append(line); }

void SdkLog::warning(const std::string& line) {
    platform::consoleLog(line);
    append(line);
}

void SdkLog::append(const std::string& line) {
    if (path_.empty()) return;
    std::string text = platform::Date::now().iso8601UTC() + " " + line + "\n";
    platform::dispatch::MutexLock lock(mutex_);
    auto& files = platform::FileManager::defaultManager();
    constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT;
    auto handle = files.openFile(path_, kFlags, 0600);
    // The reporter's folder is made with its first line.
    if (!handle && files.createDirectory(path_.substr(0, path_.find_last_of('/'))))
        handle = files.openFile(path_, kFlags, 0600);
    if (!handle) return;
    (void)handle->writeAll(text.data(), text.size());  // the log has nowhere to report its own failure
}

}  // namespace dodoredized
