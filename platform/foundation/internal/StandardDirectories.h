#pragma once
// StandardDirectories (internal to foundation): the device makes a standard directory when the first
// file goes into it. These are the file layer's own opens for the foundation's writers that hold raw
// descriptors (locks, streams).
#include <sys/types.h>

#include <string>

namespace platform::detail {

// open(2) with O_CLOEXEC added. When O_CREAT finds no folder and the one missing is the standard
// directory `path` lies in, that directory is made and the open tried once more. -1 with errno set on
// failure, as open's.
int openMakingStandardDirectory(const std::string& path, int flags, mode_t mode);

// After a write into `path` found no folder: makes the standard directory `path` lies in when it is
// missing. True when `path` lies in one and it is there now, so the write is worth one more try (what
// is missing may still be a folder below it, the caller's). Leaves errno as it found it.
bool makeStandardDirectoryFor(const std::string& path);

}  // namespace platform::detail
