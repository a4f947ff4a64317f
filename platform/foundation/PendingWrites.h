#pragma once
// PendingWrites: how the device's stores write their files so that a failed write is said, kept and
// tried again rather than lost. A store writes its whole latest contents atomically (FileManager); when
// that fails, the first failure of a streak posts the device event "storage.failed" {"path": the path
// under the device root, "error": the errno's text}, the store's contents stay in memory and the write
// is tried again: at the store's next write, after a short delay (doubling while it keeps failing), and
// when flushAll() is called (the application going to the background or ending). The first success
// after a failure posts "storage.recovered" {"path"}. Every member is safe from any thread.
#include <sys/types.h>

#include <functional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/FileManager.h"

namespace platform {

class PendingWrites {
public:
    enum class OnFailure {
        Retry,  // keep the bytes and write them again until they reach the disk
        Say,    // only say it: a cache made again when missing needs no retry
    };
    struct Options {
        mode_t mode = 0644;
        FileManager::Flush flush = FileManager::Flush::Durable;
        // The lock file (FileLock) of a file other processes write too: write()'s caller holds it already,
        // and a retry takes it.
        std::string lockPath;
        OnFailure onFailure = OnFailure::Retry;
    };

    // Writes `bytes` to `path` atomically and answers how that went; a failure is kept as Options say.
    // A later write of the path replaces kept bytes.
    static Result<void> write(const std::string& path, Bytes bytes, const Options& options);
    static Result<void> write(const std::string& path, std::string_view text, const Options& options) {
        return write(path, Bytes(text.begin(), text.end()), options);
    }

    // For a store that writes its file itself (merging under its own locks): reports how a write of
    // `path` went. On failure `retry` is kept and called to try again; it must write the store's latest
    // contents and report again. Calls for one path must be serialised by the store.
    static void report(const std::string& path, const Result<void>& outcome, std::function<void()> retry);

    // A store opening its file, under the store's lock (no writer of the file at work): the temporary
    // files that writers killed mid-write left beside it go (FileManager::removeStaleTemporaryFiles), the
    // first time in this process.
    static void removeStaleTemporaryFilesOnce(const std::string& path);

    // Whether a write of `path` failed and has not been made good yet.
    static bool isPending(const std::string& path);

    // Tries every kept write now, on the calling thread.
    static void flushAll();

    // How a retry is run after `seconds`. The dispatch layer installs one when its main loop is made (a
    // timer there, on the shared Clock); without one, kept writes wait for the next write or flushAll().
    using DelayScheduler = std::function<void(double seconds, std::function<void()> block)>;
    // Answers the one it replaces.
    static DelayScheduler setDelayScheduler(DelayScheduler scheduler);

    static constexpr double kFirstRetryDelay = 2;
    static constexpr double kLongestRetryDelay = 60;
};

}  // namespace platform
