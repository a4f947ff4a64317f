#include "platform/foundation/FileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

#include "platform/foundation/PlatformConfig.h"
#include "platform/foundation/internal/FileFaults.h"
#include "platform/foundation/internal/StandardDirectories.h"

namespace platform {

namespace fs = std::filesystem;

namespace {

enum class Op { Read, Write, Other };

int64_t codeFor(int err, Op op) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return op == Op::Read ? kFileReadNoSuchFileError : kFileNoSuchFileError;
    case EACCES:
    case EPERM:
        return op == Op::Read ? kFileReadNoPermissionError : kFileWriteNoPermissionError;
    case EEXIST:
    case ENOTEMPTY:
        return kFileWriteFileExistsError;
    case ENOSPC:
    case EDQUOT:
        return kFileWriteOutOfSpaceError;
    case EROFS:
        return kFileWriteVolumeReadOnlyError;
    case ENAMETOOLONG:
        return op == Op::Read ? kFileReadInvalidFileNameError : kFileWriteInvalidFileNameError;
    case EFBIG:
        return kFileReadTooLargeError;
    default:
        return op == Op::Read ? kFileReadUnknownError : kFileWriteUnknownError;
    }
}

// `reason` says why in the description, in place of the errno's text.
Error fileError(int64_t code, const std::string& path, int err, const std::string& what, const char* reason = nullptr) {
    Value info = Value::dictionary();
    info.set(kFilePathErrorKey, path);
    std::string text = what + " \u201c" + path + "\u201d";
    if (err != 0 || reason) text += std::string(": ") + (reason ? reason : std::strerror(err));
    info.set(kLocalizedDescriptionKey, text + ".");
    if (err != 0) {
        Value underlying = Value::dictionary();
        underlying.set("domain", kPOSIXErrorDomain);
        underlying.set("code", err);
        info.set(kUnderlyingErrorKey, std::move(underlying));
    }
    return Error(kCocoaErrorDomain, code, std::move(info));
}

Error errnoError(int err, Op op, const std::string& path, const std::string& what) {
    return fileError(codeFor(err, op), path, err, what);
}

// openFile's refusal of what is no regular file (`mode`: its stat's).
Error notAFileError(mode_t mode, Op op, const std::string& path) {
    if (S_ISDIR(mode)) return errnoError(EISDIR, op, path, "Could not open");
    const char* reason = S_ISFIFO(mode)                   ? "is a FIFO, not a file"
                         : S_ISSOCK(mode)                 ? "is a socket, not a file"
                         : S_ISCHR(mode) || S_ISBLK(mode) ? "is a device, not a file"
                                                          : "is not a file";
    return fileError(codeFor(ENXIO, op), path, ENXIO, "Could not open", reason);
}

std::string parentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

constexpr size_t kTemporarySuffixLength = 10;

bool isAlphanumeric(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// ".BASE.<10 letters or digits>.tmp", and ".BASE.tmp-<pid>-<n>-<n>" that property-list files were once
// written through.
bool isTemporaryNameOf(std::string_view name, std::string_view base) {
    if (name.size() < base.size() + 2 || name[0] != '.' || name.substr(1, base.size()) != base ||
        name[base.size() + 1] != '.')
        return false;
    std::string_view rest = name.substr(base.size() + 2);
    if (rest.size() == kTemporarySuffixLength + 4 && rest.substr(kTemporarySuffixLength) == ".tmp")
        return std::all_of(rest.begin(), rest.begin() + kTemporarySuffixLength, isAlphanumeric);
    if (rest.size() > 4 && rest.substr(0, 4) == "tmp-")
        return std::all_of(rest.begin() + 4, rest.end(), [](char c) { return (c >= '0' && c <= '9') || c == '-'; });
    return false;
}

std::string randomSuffix(size_t length) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device rd;
    std::uniform_int_distribution<size_t> pick(0, sizeof(kAlphabet) - 2);
    std::string s;
    for (size_t i = 0; i < length; ++i) s += kAlphabet[pick(rd)];
    return s;
}

Result<void> fsyncDirectory(const std::string& dir) {
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errnoError(errno, Op::Write, dir, "Could not open the folder");
    int rc = ::fsync(fd);
    int err = errno;
    ::close(fd);
    // Some file systems cannot sync a directory; the rename itself has happened.
    if (rc != 0 && err != EINVAL && err != EROFS) return errnoError(err, Op::Write, dir, "Could not sync the folder");
    return {};
}

// The private temporary directory must be ours alone: a real directory, owned by us, closed to others.
Result<void> checkPrivateDirectory(const std::string& dir) {
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0) return errnoError(errno, Op::Write, dir, "Could not use the folder");
    if (!S_ISDIR(st.st_mode)) return fileError(kFileWriteNoPermissionError, dir, ENOTDIR, "Not a private folder");
    if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0)
        return fileError(kFileWriteNoPermissionError, dir, EACCES, "Not a private folder");
    return {};
}

}  // namespace

FileHandle& FileHandle::operator=(FileHandle&& other) noexcept {
    if (this != &other) {
        (void)close();  // the old descriptor is let go either way
        fd_ = other.release();
    }
    return *this;
}

Result<void> FileHandle::writeAll(const void* bytes, size_t size) {
    if (fd_ < 0) return Error(kPOSIXErrorDomain, EBADF);
    const auto* p = static_cast<const uint8_t*>(bytes);
    while (size > 0) {
        ssize_t n = ::write(fd_, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Error(kPOSIXErrorDomain, errno);
        }
        if (n == 0) return Error(kPOSIXErrorDomain, EIO);
        p += n;
        size -= size_t(n);
    }
    return {};
}

Result<void> FileHandle::close() {
    if (fd_ < 0) return {};
    int rc = ::close(fd_);
    fd_ = -1;
    // The descriptor is gone even on error; report it (a deferred write error surfaces here).
    if (rc != 0 && errno != EINTR) return Error(kPOSIXErrorDomain, errno);
    return {};
}

FileManager& FileManager::defaultManager() {
    static FileManager manager;
    return manager;
}

Result<std::string> FileManager::homeDirectory() const {
    std::string root = PlatformConfig::deviceRoot();
    if (root.empty()) return fileError(kFileNoSuchFileError, root, 0, "The device is not booted: no device root");
    std::error_code ec;
    fs::path abs = fs::absolute(root, ec);
    if (ec) return errnoError(ec.value(), Op::Other, root, "Could not resolve the device root");
    std::string s = abs.lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

const char* relativePath(SearchPathDirectory which) {
    switch (which) {
    case SearchPathDirectory::Documents:
        return "Documents";
    case SearchPathDirectory::Library:
        return "Library";
    case SearchPathDirectory::Caches:
        return "Library/Caches";
    case SearchPathDirectory::ApplicationSupport:
        return "Library/Application Support";
    case SearchPathDirectory::Preferences:
        return "Library/Preferences";
    case SearchPathDirectory::Temporary:
        return "tmp";
    case SearchPathDirectory::Bundle:
        return "Bundle";
    }
    return "";
}

Result<std::string> FileManager::directory(SearchPathDirectory which) const {
    auto home = homeDirectory();
    if (!home) return home.error();
    std::string path = *home + "/" + relativePath(which);
    if (which != SearchPathDirectory::Temporary) return path;
    // Handed out to be written into directly: made, and checked private, now.
    auto made = createDirectory(path, true, 0700);
    if (!made) return made.error();
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return errnoError(errno, Op::Write, path, "Could not use the folder");
    if (S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0) ::chmod(path.c_str(), 0700);
    auto ok = checkPrivateDirectory(path);
    if (!ok) return ok.error();
    return path;
}

std::string FileManager::temporaryDirectory() const {
    auto dir = directory(SearchPathDirectory::Temporary);
    return dir ? *dir + "/" : std::string();
}

std::string FileManager::devicePath(std::string_view deviceAbsolutePath) const {
    auto home = homeDirectory();
    if (!home) return {};
    std::vector<std::string> parts;
    size_t i = 0;
    while (i <= deviceAbsolutePath.size()) {
        size_t j = deviceAbsolutePath.find('/', i);
        if (j == std::string_view::npos) j = deviceAbsolutePath.size();
        std::string_view part = deviceAbsolutePath.substr(i, j - i);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.emplace_back(part);
        }
        i = j + 1;
    }
    std::string out = *home;
    for (auto& p : parts) out += "/" + p;
    return out;
}

Result<void> FileManager::createDirectory(const std::string& path, bool withIntermediates, mode_t mode) const {
    if (path.empty()) return fileError(kFileWriteInvalidFileNameError, path, ENOENT, "Could not create the folder");
    if (!withIntermediates) {
        int rc = ::mkdir(path.c_str(), mode);
        if (rc != 0 && errno == ENOENT && detail::makeStandardDirectoryFor(path)) rc = ::mkdir(path.c_str(), mode);
        if (rc != 0) return errnoError(errno, Op::Write, path, "Could not create the folder");
        return {};
    }
    // Most calls find the folder there already: one look answers them without a call per component.
    struct stat existing;
    if (::stat(path.c_str(), &existing) == 0 && S_ISDIR(existing.st_mode)) return {};
    // A standard directory on the way is made as the device makes it, whatever `mode` the caller's folder gets.
    (void)detail::makeStandardDirectoryFor(path);  // a failure shows in the walk below
    // Walk down the components so each new folder gets `mode`, not the library's default, from the deepest
    // folder that is there: a walk from the root would cost two system calls per folder above it.
    size_t pos = path.size();
    while ((pos = path.rfind('/', pos - 1)) != std::string::npos && pos > 0)
        if (::stat(path.substr(0, pos).c_str(), &existing) == 0) break;
    if (pos == std::string::npos) pos = 0;
    std::string sofar;
    while (pos != std::string::npos) {
        size_t next = path.find('/', pos + 1);
        sofar = path.substr(0, next);
        pos = next;
        if (sofar.empty() || sofar == "/") continue;
        if (::mkdir(sofar.c_str(), mode) == 0) continue;
        int err = errno;
        struct stat st;
        if (err == EEXIST && ::stat(sofar.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
        if (err == EEXIST) err = ENOTDIR;
        return errnoError(err, Op::Write, path, "Could not create the folder");
    }
    return {};
}

Result<std::vector<std::string>> FileManager::contentsOfDirectory(const std::string& path) const {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    if (ec) return errnoError(ec.value(), Op::Read, path, "Could not list the folder");
    std::sort(names.begin(), names.end());
    return names;
}

bool FileManager::fileExists(const std::string& path) const {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

bool FileManager::fileExists(const std::string& path, bool& isDir) const {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        isDir = false;
        return false;
    }
    isDir = S_ISDIR(st.st_mode);
    return true;
}

bool FileManager::isDirectory(const std::string& path) const {
    bool dir = false;
    return fileExists(path, dir) && dir;
}

Result<FileAttributes> FileManager::attributesOfItem(const std::string& path) const {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return errnoError(errno, Op::Read, path, "Could not read the attributes of");
    FileAttributes a;
    a.isDirectory = S_ISDIR(st.st_mode);
    a.isSymbolicLink = S_ISLNK(st.st_mode);
    a.size = uint64_t(st.st_size);
    a.modificationDate = Date::fromTimeIntervalSince1970(double(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9);
    a.permissions = st.st_mode & 07777;
    return a;
}

Result<uint64_t> FileManager::fileSize(const std::string& path) const {
    auto a = attributesOfItem(path);
    if (!a) return a.error();
    return a->size;
}

Result<Date> FileManager::modificationDate(const std::string& path) const {
    auto a = attributesOfItem(path);
    if (!a) return a.error();
    return a->modificationDate;
}

Result<void> FileManager::removeItem(const std::string& path) const {
    struct stat st;
    if (path.empty() || ::lstat(path.c_str(), &st) != 0)
        return errnoError(path.empty() ? ENOENT : errno, Op::Other, path, "Could not remove");
    std::error_code ec;
    fs::remove_all(path, ec);
    if (ec) return errnoError(ec.value(), Op::Write, path, "Could not remove");
    return {};
}

Result<void> FileManager::moveItem(const std::string& from, const std::string& to) const {
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0) return errnoError(errno, Op::Other, from, "Could not move");
    // RENAME_NOREPLACE keeps the "destination exists" check and the rename one step.
    auto rename = [&] { return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE); };
    int rc = rename();
    if (rc != 0 && errno == ENOENT && detail::makeStandardDirectoryFor(to)) rc = rename();
    if (rc == 0) return {};
    int err = errno;
    if (err == EINVAL || err == ENOSYS) {
        if (::lstat(to.c_str(), &st) == 0) return fileError(kFileWriteFileExistsError, to, EEXIST, "Could not move to");
        if (::rename(from.c_str(), to.c_str()) == 0) return {};
        err = errno;
    }
    if (err == EXDEV) return moveItemByCopying(from, to);
    if (err == EEXIST) return fileError(kFileWriteFileExistsError, to, err, "Could not move to");
    return errnoError(err, Op::Write, from, "Could not move");
}

Result<void> FileManager::moveItemByCopying(const std::string& from, const std::string& to) const {
    auto copied = copyItem(from, to);
    if (!copied) return copied.error();
    auto removed = removeItem(from);
    if (!removed) return removed.error();
    return {};
}

Result<void> FileManager::copyItem(const std::string& from, const std::string& to) const {
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0) return errnoError(errno, Op::Read, from, "Could not copy");
    if (::lstat(to.c_str(), &st) == 0) return fileError(kFileWriteFileExistsError, to, EEXIST, "Could not copy to");
    std::error_code ec;
    const auto options = fs::copy_options::recursive | fs::copy_options::copy_symlinks;
    fs::copy(from, to, options, ec);
    if (ec == std::errc::no_such_file_or_directory && detail::makeStandardDirectoryFor(to))
        fs::copy(from, to, options, ec);
    if (ec) {
        std::error_code ignored;
        fs::remove_all(to, ignored);  // no half copy left behind
        return errnoError(ec.value(), Op::Write, to, "Could not copy to");
    }
    return {};
}

Result<void> FileManager::writeAtomically(const std::string& path, const void* bytes, size_t size, mode_t mode,
                                          Flush flush) const {
    const std::string dir = parentOf(path);
    const std::string base = baseOf(path);
    if (base.empty() || base == "." || base == "..")
        return fileError(kFileWriteInvalidFileNameError, path, EISDIR, "Could not write");

    std::string temp;
    FileHandle handle;
    for (int attempt = 0; attempt < 100 && !handle.valid(); ++attempt) {
        temp = dir + "/." + base + "." + randomSuffix(kTemporarySuffixLength) + ".tmp";
        int fd = detail::openMakingStandardDirectory(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
        if (fd >= 0)
            handle = FileHandle(fd);
        else if (errno != EEXIST)
            return errnoError(errno, Op::Write, path, "Could not write");
    }
    if (!handle.valid()) return fileError(kFileWriteUnknownError, path, EEXIST, "Could not write");

    auto fail = [&](int err) -> Result<void> {
        (void)handle.close();  // the write already failed: that is the error to report
        ::unlink(temp.c_str());
        return errnoError(err, Op::Write, path, "Could not write");
    };
    if (::fchmod(handle.fd(), mode) != 0) return fail(errno);
    if (int injected = detail::injectedWriteFault(path)) return fail(injected);
    if (auto w = handle.writeAll(bytes, size); !w) return fail(int(w.error().code));
    const bool durable = flush == Flush::Durable;
    if (durable && ::fsync(handle.fd()) != 0) return fail(errno);
    if (auto c = handle.close(); !c) return fail(int(c.error().code));
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(temp.c_str());
        return errnoError(err, Op::Write, path, "Could not write");
    }
    return durable ? fsyncDirectory(dir) : Result<void>();
}

size_t FileManager::removeStaleTemporaryFiles(const std::string& path) const {
    const std::string base = baseOf(path);
    DIR* dir = ::opendir(parentOf(path).c_str());
    if (!dir) return 0;
    size_t removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (!isTemporaryNameOf(entry->d_name, base)) continue;
        struct stat st;
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        if (::unlinkat(::dirfd(dir), entry->d_name, 0) == 0) ++removed;
    }
    ::closedir(dir);
    return removed;
}

Result<Bytes> FileManager::contentsOfFile(const std::string& path, size_t maxBytes) const {
    auto handle = openFile(path, O_RDONLY);
    if (!handle) return handle.error();
    const int fd = handle->fd();
    struct stat st;
    if (::fstat(fd, &st) != 0) return errnoError(errno, Op::Read, path, "Could not read");
    if (uint64_t(st.st_size) > maxBytes) return fileError(kFileReadTooLargeError, path, EFBIG, "Too large to read");
    Bytes out;
    out.reserve(size_t(st.st_size));
    uint8_t buffer[64 * 1024];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errnoError(errno, Op::Read, path, "Could not read");
        }
        if (n == 0) break;
        // The file may grow after fstat, or have no size of its own (/proc): keep the cap while reading.
        if (out.size() + size_t(n) > maxBytes)
            return fileError(kFileReadTooLargeError, path, EFBIG, "Too large to read");
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

Result<std::string> FileManager::stringWithContentsOfFile(const std::string& path, size_t maxBytes) const {
    auto bytes = contentsOfFile(path, maxBytes);
    if (!bytes) return bytes.error();
    return std::string(bytes->begin(), bytes->end());
}

Result<FileHandle> FileManager::openFile(const std::string& path, int flags, mode_t mode) const {
    const Op op = (flags & O_ACCMODE) == O_RDONLY ? Op::Read : Op::Write;
    // Looked at first, so that a device is never opened at all; then opened without waiting and looked at
    // again, as something else may have taken the file's place in between.
    struct stat st;
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return notAFileError(st.st_mode, op, path);
    int fd = detail::openMakingStandardDirectory(path, flags | O_NONBLOCK | O_NOCTTY, mode);
    if (fd < 0) return errnoError(errno, op, path, "Could not open");
    FileHandle handle(fd);
    if (::fstat(fd, &st) != 0) return errnoError(errno, op, path, "Could not open");
    if (!S_ISREG(st.st_mode)) return notAFileError(st.st_mode, op, path);
    if (!(flags & O_NONBLOCK) && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
        return errnoError(errno, op, path, "Could not open");
    return handle;
}

bool FileManager::isSpecialFile(const Error& error) {
    return error.domain == kCocoaErrorDomain && error.userInfo[kUnderlyingErrorKey]["code"].integerOr(0) == ENXIO;
}

Result<FileHandle> FileManager::createFileExclusively(const std::string& path, mode_t mode) const {
    int fd = detail::openMakingStandardDirectory(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
    if (fd < 0) {
        int err = errno;
        if (err == ELOOP) err = EEXIST;
        return errnoError(err, Op::Write, path, "Could not create");
    }
    return FileHandle(fd);
}

Result<TemporaryFile> FileManager::createTemporaryFile(const std::string& prefix, const std::string& dirIn) const {
    if (prefix.find('/') != std::string::npos || prefix == "." || prefix == "..")
        return fileError(kFileWriteInvalidFileNameError, prefix, EINVAL, "Not a file name prefix");
    std::string dir = dirIn;
    if (dir.empty()) {
        auto tmp = directory(SearchPathDirectory::Temporary);
        if (!tmp) return tmp.error();
        dir = *tmp;
    }
    if (auto ok = checkPrivateDirectory(dir); !ok) return ok.error();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string path = dir + "/" + prefix + "." + randomSuffix(12);
        auto handle = createFileExclusively(path, 0600);
        if (handle) return TemporaryFile{path, std::move(*handle)};
        if (handle.error().code != kFileWriteFileExistsError) return handle.error();
    }
    return fileError(kFileWriteFileExistsError, dir, EEXIST, "Could not find a free name in");
}

namespace detail {

bool makeStandardDirectoryFor(const std::string& path) {
    const int saved = errno;
    bool there = false;
    auto home = FileManager::defaultManager().homeDirectory();
    // The ones made at the first write into them, those inside Library before Library itself: a path in
    // Caches makes Caches, not only Library.
    for (auto which :
         {SearchPathDirectory::Caches, SearchPathDirectory::ApplicationSupport, SearchPathDirectory::Preferences,
          SearchPathDirectory::Library, SearchPathDirectory::Documents}) {
        if (!home) break;
        const std::string dir = *home + "/" + relativePath(which);
        if (path.size() <= dir.size() + 1 || path.compare(0, dir.size(), dir) != 0 || path[dir.size()] != '/') continue;
        // There already, maybe just made by a racing writer: one more try tells.
        there = FileManager::defaultManager().createDirectory(dir, true, 0755).ok();
        break;
    }
    errno = saved;
    return there;
}

int openMakingStandardDirectory(const std::string& path, int flags, mode_t mode) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd < 0 && errno == ENOENT && (flags & O_CREAT) && makeStandardDirectoryFor(path))
        fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    return fd;
}

}  // namespace detail

}  // namespace platform
