#pragma once
// FileSignature (internal to foundation): what tells one file at a path from another, or from itself once
// changed (its device, inode, size and modification time), so a store notices a file another writer put
// in place without reading it.
#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace platform::detail {

struct FileSignature {
    bool exists = false;
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    int64_t mtimeNs = 0;
    bool operator==(const FileSignature&) const = default;
};

inline FileSignature signatureOf(const struct stat& st) {
    return FileSignature{true, st.st_dev, st.st_ino, st.st_size,
                         int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// The file at `path` now; one that is not there (or cannot be looked at) has the empty signature.
inline FileSignature signatureAt(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return {};
    return signatureOf(st);
}

}  // namespace platform::detail
