#pragma once
// FileManager: files of the device. The device is a directory (PlatformConfig::deviceRoot()); the standard
// directories (Documents, Library, Caches, Application Support, Preferences, tmp, the app bundle) are
// absolute paths inside it. Paths given to the other operations are ordinary absolute paths; callers build
// them from the standard directories.
//
// A standard directory is made when the first thing is written into it, not when it is asked for, so a
// launch that writes nothing makes no folders: every operation here that makes a file or a folder inside
// one (writeAtomically, createFileExclusively, openFile, createDirectory, moveItem, copyItem, a temporary
// file) first makes the standard directory it lies in when that is missing. Writers racing to make it
// all find it made. Folders below a standard directory stay the caller's to make. The private temporary
// directory is the exception: it is made, and checked private, when it is handed out.
//
// Every operation is a thin, stateless wrapper over std::filesystem and POSIX calls, safe from any thread.
// Failures come back as Error in kCocoaErrorDomain with the usual file codes below (or kPOSIXErrorDomain
// with errno when no file code fits); user info carries kFilePathErrorKey and the errno as
// kUnderlyingErrorKey ({domain, code}).
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Error.h"

namespace platform {

// File error codes in kCocoaErrorDomain.
inline constexpr int64_t kFileNoSuchFileError = 4;
inline constexpr int64_t kFileReadUnknownError = 256;
inline constexpr int64_t kFileReadNoPermissionError = 257;
inline constexpr int64_t kFileReadInvalidFileNameError = 258;
inline constexpr int64_t kFileReadNoSuchFileError = 260;
inline constexpr int64_t kFileReadTooLargeError = 263;
inline constexpr int64_t kFileWriteUnknownError = 512;
inline constexpr int64_t kFileWriteNoPermissionError = 513;
inline constexpr int64_t kFileWriteInvalidFileNameError = 514;
inline constexpr int64_t kFileWriteFileExistsError = 516;
inline constexpr int64_t kFileWriteOutOfSpaceError = 640;
inline constexpr int64_t kFileWriteVolumeReadOnlyError = 642;

enum class SearchPathDirectory {
    Documents,           // <root>/Documents
    Library,             // <root>/Library
    Caches,              // <root>/Library/Caches
    ApplicationSupport,  // <root>/Library/Application Support
    Preferences,         // <root>/Library/Preferences
    Temporary,           // <root>/tmp (mode 0700)
    Bundle,              // <root>/Bundle (the app bundle; never created here)
};

// Where a standard directory lies under the device root: "Documents", "Library/Caches", ...
const char* relativePath(SearchPathDirectory which);

struct FileAttributes {
    bool isDirectory = false;
    bool isSymbolicLink = false;  // attributes are of the link itself, not its target
    uint64_t size = 0;
    Date modificationDate;
    uint32_t permissions = 0;  // st_mode & 07777
};

// An open file descriptor, closed on destruction. Move-only.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(int fd) : fd_(fd) {}
    FileHandle(FileHandle&& other) noexcept : fd_(other.release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept;
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    ~FileHandle() { (void)close(); }  // a close that fails here has no one left to tell

    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Writes all bytes (retrying short writes and EINTR); a failure is an Error, never a short success.
    Result<void> writeAll(const void* bytes, size_t size);
    Result<void> close();

private:
    int fd_ = -1;
};

// A file made by createTemporaryFile: its path and the descriptor open for writing.
struct TemporaryFile {
    std::string path;
    FileHandle handle;
};

class FileManager {
public:
    static constexpr size_t kDefaultMaxReadBytes = 64 * 1024 * 1024;

    static FileManager& defaultManager();

    // The device root (PlatformConfig::deviceRoot(), made absolute). Error when the device is not booted.
    Result<std::string> homeDirectory() const;
    // Absolute path of a standard directory; it may not exist yet (see above). Temporary is made (or
    // tightened to) 0700 and must be owned by this user.
    Result<std::string> directory(SearchPathDirectory which) const;
    // The private temporary directory with a trailing '/', as the platform hands it out; "" when not booted.
    std::string temporaryDirectory() const;
    // A device-absolute path ("/private/var/x") as a host path inside the device root. Never escapes the
    // root: ".." segments are dropped. Empty when the device is not booted.
    std::string devicePath(std::string_view deviceAbsolutePath) const;

    Result<void> createDirectory(const std::string& path, bool withIntermediates = true, mode_t mode = 0755) const;
    // Entry names (not paths), sorted; "." and ".." left out.
    Result<std::vector<std::string>> contentsOfDirectory(const std::string& path) const;

    // Follows symbolic links, as the platform does.
    bool fileExists(const std::string& path) const;
    bool fileExists(const std::string& path, bool& isDirectory) const;
    bool isDirectory(const std::string& path) const;
    Result<FileAttributes> attributesOfItem(const std::string& path) const;  // lstat
    Result<uint64_t> fileSize(const std::string& path) const;
    Result<Date> modificationDate(const std::string& path) const;
    // When the file was made: its birth time where the file system records one (statx), else its
    // modification time. Follows symbolic links.
    Result<Date> creationDate(const std::string& path) const;
    // The excluded-from-backup flag, kept with the file as the user extended attribute
    // kExcludedFromBackupAttribute (so it moves with the file). A file system without user attributes
    // answers an Error when setting and false when reading.
    static constexpr const char* kExcludedFromBackupAttribute = "user.tesmar.excluded-from-backup";
    Result<void> setExcludedFromBackup(const std::string& path, bool excluded) const;
    Result<bool> isExcludedFromBackup(const std::string& path) const;

    // Removes a file, a link (not its target) or a directory with everything in it.
    Result<void> removeItem(const std::string& path) const;
    // Fails with kFileWriteFileExistsError when the destination exists. Renames; across file systems
    // (EXDEV) copies then removes the source.
    Result<void> moveItem(const std::string& from, const std::string& to) const;
    // The EXDEV road of moveItem, callable directly (tests force it this way).
    Result<void> moveItemByCopying(const std::string& from, const std::string& to) const;
    // Copies a file or a directory tree (links copied as links). Destination must not exist.
    Result<void> copyItem(const std::string& from, const std::string& to) const;

    // How far writeAtomically goes before it answers. Either way readers see the old or the new contents,
    // never a mix, and the new contents outlive the process the moment it answers.
    //   Durable   the file and its rename are flushed to storage too, so they outlive a power cut.
    //   Deferred  no flush: storage catches up in the system's own time. For stores rewritten often, each
    //             of whose writes would otherwise wait for the disk (preferences).
    enum class Flush { Durable, Deferred };

    // Writes through a temp file in the same directory, fsyncs it (Durable), renames it over `path` and
    // fsyncs the directory (Durable): readers see the old or the new contents, never a mix. Deferred
    // renames without flushing; the file system may then start writing the new contents out at once (a
    // rename over a file is when ext4 does so), which keeps a power cut from leaving the file empty.
    Result<void> writeAtomically(const std::string& path, const void* bytes, size_t size, mode_t mode = 0644,
                                 Flush flush = Flush::Durable) const;
    Result<void> writeAtomically(const std::string& path, const Bytes& bytes, mode_t mode = 0644,
                                 Flush flush = Flush::Durable) const {
        return writeAtomically(path, bytes.data(), bytes.size(), mode, flush);
    }
    Result<void> writeAtomically(const std::string& path, std::string_view text, mode_t mode = 0644,
                                 Flush flush = Flush::Durable) const {
        return writeAtomically(path, text.data(), text.size(), mode, flush);
    }
    // Removes the temporary files writeAtomically leaves beside `path` when a process ends mid-write: files
    // of its own naming for that file only, nothing else in the folder. A store calls it when it opens,
    // while no writer of the file can be at work (under the store's lock). Answers how many went.
    size_t removeStaleTemporaryFiles(const std::string& path) const;

    // Whole file (opened as openFile does: a FIFO, a socket, a device or a folder there is refused);
    // kFileReadTooLargeError above maxBytes (checked before and while reading).
    Result<Bytes> contentsOfFile(const std::string& path, size_t maxBytes = kDefaultMaxReadBytes) const;
    Result<std::string> stringWithContentsOfFile(const std::string& path, size_t maxBytes = kDefaultMaxReadBytes) const;

    // open(2) for a file the caller reads or writes itself (open's flags; O_CLOEXEC is added). Only a
    // regular file is opened, and the open never waits: what stands at `path` (through links) is looked
    // at before it is opened and again once it is open, so a FIFO (whose open waits for the other end), a
    // socket or a device (which may do anything when opened) is refused: the file error with ENXIO,
    // naming it ("is a FIFO, not a file"; isSpecialFile tells). A folder is refused with EISDIR.
    Result<FileHandle> openFile(const std::string& path, int flags, mode_t mode = 0644) const;
    // Whether `error` is openFile's refusal of a FIFO, a socket or a device.
    static bool isSpecialFile(const Error& error);
    // Creates `path` exclusively (O_CREAT|O_EXCL|O_NOFOLLOW, 0600): an existing file or a symbolic link
    // there is refused (kFileWriteFileExistsError), so nothing planted is ever written through.
    Result<FileHandle> createFileExclusively(const std::string& path, mode_t mode = 0600) const;
    // A new file with a random name in `directory` (the private temporary directory when empty), which must
    // be a directory only this user can enter (0700, owned by us): anything else is refused.
    Result<TemporaryFile> createTemporaryFile(const std::string& prefix = "tmp",
                                              const std::string& directory = "") const;
};

}  // namespace platform
