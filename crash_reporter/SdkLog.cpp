#include "crash_reporter/SdkLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/PendingWrites.h"

namespace dodoredized {

namespace {

// Appends `text` whole or not at all: a write the disk cuts short is cut back to where it began.
platform::Result<void> appendWhole(const std::string& path, const std::string& text) {
    auto& files = platform::FileManager::defaultManager();
    constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT;
    auto handle = files.openFile(path, kFlags, 0600);
    if (!handle) {
        // The reporter's folder is made with its first line; one that cannot be made is the reason.
        if (auto made = files.createDirectory(path.substr(0, path.find_last_of('/'))); !made) return made.error();
        handle = files.openFile(path, kFlags, 0600);
        if (!handle) return handle.error();
    }
    struct stat before {};
    const bool sized = ::fstat(handle->fd(), &before) == 0;
    auto written = handle->writeAll(text.data(), text.size());
    if (!written && sized) (void)::ftruncate(handle->fd(), before.st_size);
    return written;
}

}  // namespace

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
    platform::dispatch::MutexLock lock(unwritten_->mutex);
    if (unwritten_->text.size() + text.size() <= kMaxSdkLogBytes) unwritten_->text += text;
    appendUnwritten(path_, unwritten_);
}

void SdkLog::appendUnwritten(const std::string& path, const std::shared_ptr<Unwritten>& unwritten) {
    if (unwritten->text.empty()) return;  // landed since
    auto written = appendWhole(path, unwritten->text);
    if (written) unwritten->text.clear();
    platform::PendingWrites::report(path, written, written ? nullptr : std::function<void()>([path, unwritten] {
                                        platform::dispatch::MutexLock lock(unwritten->mutex);
                                        appendUnwritten(path, unwritten);
                                    }));
}

}  // namespace dodoredized
