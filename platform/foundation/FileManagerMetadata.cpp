// The file facts the platform keeps beside a file's contents: its creation date and its
// excluded-from-backup flag.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/foundation/FileManager.h"

namespace platform {

namespace {

Error metadataError(int err, const std::string& path, const std::string& what) {
    Value info = Value::dictionary();
    info.set(kFilePathErrorKey, path);
    info.set(kLocalizedDescriptionKey, what + " \u201c" + path + "\u201d: " + std::strerror(err) + ".");
    Value underlying = Value::dictionary();
    underlying.set("domain", kPOSIXErrorDomain);
    underlying.set("code", err);
    info.set(kUnderlyingErrorKey, std::move(underlying));
    const int64_t code = (err == ENOENT || err == ENOTDIR) ? kFileReadNoSuchFileError
                         : (err == EACCES || err == EPERM) ? kFileReadNoPermissionError
                                                           : kFileReadUnknownError;
    return Error(kCocoaErrorDomain, code, std::move(info));
}

Date dateOf(int64_t seconds, uint32_t nanoseconds) {
    return Date::fromTimeIntervalSince1970(double(seconds) + double(nanoseconds) / 1e9);
}

}  // namespace

Result<Date> FileManager::creationDate(const std::string& path) const {
    struct statx sx {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BTIME | STATX_MTIME, &sx) != 0)
        return metadataError(errno, path, "Could not read the dates of");
    if (sx.stx_mask & STATX_BTIME) return dateOf(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec);
    return dateOf(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
}

Result<void> FileManager::setExcludedFromBackup(const std::string& path, bool excluded) const {
    int rc = excluded ? ::setxattr(path.c_str(), kExcludedFromBackupAttribute, "1", 1, 0)
                      : ::removexattr(path.c_str(), kExcludedFromBackupAttribute);
    if (rc != 0 && !(errno == ENODATA && !excluded))
        return metadataError(errno, path, "Could not set the backup flag of");
    return {};
}

Result<bool> FileManager::isExcludedFromBackup(const std::string& path) const {
    char value[4];
    ssize_t n = ::getxattr(path.c_str(), kExcludedFromBackupAttribute, value, sizeof value);
    if (n >= 0) return n == 1 && value[0] == '1';
    if (errno == ENODATA || errno == ENOTSUP) {
        if (::access(path.c_str(), F_OK) == 0) return false;
    }
    return metadataError(errno, path, "Could not read the backup flag of");
}

}  // namespace platform
