#pragma once
// FileLock: an exclusive advisory lock (flock) on a lock file, held for the object's lifetime. It
// serialises processes of one device that share a file (the app and its extension writing one
// preferences suite); threads of one process must still use their own mutex, since flock is per open
// file description. The lock file is created when missing and never removed (removing it would let two
// processes lock different files). A lock that cannot be taken (no device, unwritable folder) leaves
// locked() false and the caller goes on unserialised, as before the device was booted; a caller that
// must not go on unlocked reads error() for why.
#include <string>

namespace platform {

class FileLock {
public:
    explicit FileLock(const std::string& lockPath);
    // Waits at most `waitSeconds` for another holder to let go; busy() then tells that one still holds it.
    FileLock(const std::string& lockPath, double waitSeconds);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    bool locked() const { return fd_ >= 0; }
    bool busy() const { return busy_; }
    // The errno of the open or flock that failed; 0 when locked() (or when there was no path to lock).
    int error() const { return error_; }

private:
    int fd_ = -1;
    bool busy_ = false;
    int error_ = 0;
};

}  // namespace platform
