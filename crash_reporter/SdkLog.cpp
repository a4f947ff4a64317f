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
    int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    platform::FileHandle handle(fd);
    (void)handle.writeAll(text.data(), text.size());  // the log has nowhere to report its own failure
}

}  // namespace dodoredized
