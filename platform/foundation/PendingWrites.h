#pragma once
// PendingWrites: how the device's stores write their files so that a failed write is said, kept and
// tried again rather than lost. A store writes its whole latest contents atomically (FileManager); when
// that fails, the first failure of a streak posts the device event "storage.failed" {"path": the path
// under the device root, "error": the errno's text}, the store's contents stay in memory and the write
// is tried again: at the store's next write, after a short delay (doubling while it keeps failing), and
// when flushAll() is called (the application going to the background or ending). The first success
// after a failure posts "storage.recovered" {"path"}. Every member is safe from any thread.
//
// A file that nothing needs on disk before it is written (what a first launch makes once: identifiers)
// can be written soon instead of now (writeSoon), off the caller's thread, so a launch never waits for
// the disk on its account.
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

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
        // Make the folder the file goes into (with the folders above it) when it is missing.
        bool makeFolder = false;
    };

    // Writes `bytes` to `path` atomically and answers how that went; a failure is kept as Options say.
    // A later write of the path replaces kept bytes.
    static Result<void> write(const std::string& path, Bytes bytes, const Options& options);
    static Result<void> write(const std::string& path, std::string_view text, const Options& options) {
        return write(path, Bytes(text.begin(), text.end()), options);
    }

    // write(), soon: on the worker the dispatch layer installs (at once, on this thread, without one). Until
    // it has run, flushAll() writes the bytes at once, and a later write of the path replaces them.
    static void writeSoon(const std::string& path, Bytes bytes, const Options& options);
    static void writeSoon(const std::string& path, std::string_view text, const Options& options) {
        writeSoon(path, Bytes(text.begin(), text.end()), options);
    }

    // For a store that writes its file itself and leaves the write for soon: `write` runs once, on the
    // worker, or in flushAll() if that comes first. A call for a path whose write still waits replaces it
    // (the one left last is the one that runs). `write` reports how it went (report()). Without a worker
    // (hasWorker()) it runs at once, on the calling thread: a store that calls this under a lock `write`
    // takes leaves its writes for later only while a worker is there.
    static void writeLater(const std::string& path, std::function<void()> write);

    // For a store that writes its file itself (merging under its own locks): reports how a write of
    // `path` went. On failure `retry` is kept and called to try again; it must write the store's latest
    // contents and report again. A store of keyed values passes `unsavedKeys`, which answers the keys the
    // disk has not taken yet (sayUnsaved() asks it, outside every lock of this class). Calls for one path
    // must be serialised by the store.
    static void report(const std::string& path, const Result<void>& outcome, std::function<void()> retry,
                       std::function<std::vector<std::string>()> unsavedKeys = nullptr);

    // A store opening its file, under the store's lock (no writer of the file at work): the temporary
    // files that writers killed mid-write left beside it go (FileManager::removeStaleTemporaryFiles), the
    // first time in this process.
    static void removeStaleTemporaryFilesOnce(const std::string& path);

    // A store that finds its file damaged (cut short, random bytes, the wrong shape: not what it writes)
    // moves it aside before starting afresh, so what it held can still be looked into, and says so: the
    // device event "storage.corrupt" {"path", "copy": where it went} (both under the device root), or
    // {"path", "error"} when it could not be moved: a store tries again at each read, and a process says it
    // only the first time while the same file stays there unchanged. Each copy has a name of its own,
    // numbered in the order they were set aside: "<file>.corrupt", then "<file>.corrupt.1", "<file>.corrupt.2"
    // and on; the newest kKeptDamagedCopies are kept, older ones go. A copy never replaces another, whichever
    // process moves it. Answers where the copy went; nothing when it could not be moved or was gone already.
    static std::optional<std::string> setAsideDamagedFile(const std::string& path);
    static constexpr int kKeptDamagedCopies = 5;

    // Whether a write of `path` failed and has not been made good yet.
    static bool isPending(const std::string& path);

    // The bytes of the latest write() or writeSoon() of `path` while they are not on disk yet (left for
    // soon, or kept after a failure): newer than the file, so a store reading its file back takes these.
    static std::optional<Bytes> keptBytes(const std::string& path);

    // For a process about to end, after flushAll(): says what it would lose, one device event
    // "storage.unsaved" {"path", "keys"?} for each file whose latest write has not reached the disk (keys:
    // those a keyed store reports unsaved). Answers how many were said.
    static size_t sayUnsaved();

    // Tries every kept write, and every write still to be made soon, now, on the calling thread.
    static void flushAll();

    // How a retry is run after `seconds`. The dispatch layer installs one when its main loop is made (a
    // timer there, on the shared Clock); without one, kept writes wait for the next write or flushAll().
    using DelayScheduler = std::function<void(double seconds, std::function<void()> block)>;
    // Answers the one it replaces.
    static DelayScheduler setDelayScheduler(DelayScheduler scheduler);
    // Where writeSoon's writes run: a background worker, installed with the dispatch layer's main loop.
    using Worker = std::function<void(std::function<void()> job)>;
    // Answers the one it replaces.
    static Worker setWorker(Worker worker);
    static bool hasWorker();

    static constexpr double kFirstRetryDelay = 2;
    static constexpr double kLongestRetryDelay = 60;
};

}  // namespace platform
