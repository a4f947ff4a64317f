#pragma once
// The diagnostics logger's files: <logDirectory>/<escaped account>/<log source>/<creation ms>, each a
// sequence of records (varint length, then one encoded LLNPBLogEvent), created exclusively with mode
// 0600. Writers and account data belong to the logger's queue; nothing here locks.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"
#include "zidedova_core/diagnostics/ZDVDiagnosticsMessages.h"

namespace zidedova {

// Wall-clock milliseconds since 1970 (the device's clock).
int64_t ZDVLoglaneCurrentTimeMillis();
// Milliseconds since the device booted.
int64_t ZDVLoglaneUptimeMillis();

// Account directory names: everything but [A-Za-z0-9_-] percent-encoded, so no account can name "."
// or ".." or reach another directory. Unescaping gives nullopt for a name that is not well formed.
std::string ZDVLoglaneEscapeAccount(const std::string& account);
std::optional<std::string> ZDVLoglaneUnescapeAccount(const std::string& name);

// The varint length prefix of one record.
platform::Bytes ZDVLoglaneRecordPrefix(uint32_t length);
// One event as a record (its length, then its encoding); nothing when it does not encode.
std::optional<platform::Bytes> ZDVLoglaneRecord(const LLNPBLogEvent& event);

// One open log file.
class ZDVLoglaneWriter {
public:
    // Creates the parent directory and the file exclusively (0600). The name is `preferredMillis` or,
    // when that is taken, the next free number after it (a bounded search). Stays closed on failure, and
    // writes answer why. `logFailure`: the failure is logged too (a retry of one already logged is not).
    ZDVLoglaneWriter(const std::string& directory, int64_t preferredMillis, bool logFailure = true);
    ~ZDVLoglaneWriter();
    ZDVLoglaneWriter(const ZDVLoglaneWriter&) = delete;
    ZDVLoglaneWriter& operator=(const ZDVLoglaneWriter&) = delete;

    // Appends one record written as a single buffer. NO when closed, when the event does not encode
    // (nothing written) or when the write fails (the file is cut back to its last whole record).
    bool writeLogEvent(const LLNPBLogEvent& event);
    // Appends whole records as a single buffer: an error when closed or when the write fails (the file is
    // cut back to its last whole record).
    platform::Result<void> writeRecords(const platform::Bytes& records);
    void close();

    bool isOpen() const { return fd_ >= 0; }
    uint64_t numBytes() const { return numBytes_; }
    const std::string& path() const { return path_; }

private:
    int fd_ = -1;
    uint64_t numBytes_ = 0;
    std::string path_;
    std::optional<platform::Error> openError_;  // why the file could not be made
};

// The writers of one account, one per log source.
class ZDVLoglaneAccountData {
public:
    explicit ZDVLoglaneAccountData(std::string accountLogDirectory);

    // The folder of the source's files.
    std::string logSourceDirectory(int32_t logSource) const;
    // The open writer of the source, made when there is none (a new file named by the current time; a
    // failure to make it logged when `logFailure`).
    ZDVLoglaneWriter& writerForLogSource(int32_t logSource, bool logFailure = true);
    // The source's records the disk refused, in order, kept for its next write; flushWriters keeps them.
    platform::Bytes& unwrittenForLogSource(int32_t logSource) { return logSourceToUnwritten_[logSource]; }
    void removeWriterForLogSource(int32_t logSource);
    // Closes and forgets every writer, so every file is complete.
    void flushWriters();
    const std::string& accountLogDirectory() const { return accountLogDirectory_; }

private:
    std::string accountLogDirectory_;
    std::map<int32_t, std::unique_ptr<ZDVLoglaneWriter>> logSourceToWriter_;
    std::map<int32_t, platform::Bytes> logSourceToUnwritten_;
};

// One file waiting for upload.
struct ZDVLoglaneRequest {
    int32_t logSource;
    std::string account;
    std::string path;
};

// Every log file under the directory, in name order (account, source, file). Entries whose names do
// not parse are left out.
std::vector<ZDVLoglaneRequest> ZDVLoglaneListLogFiles(const std::string& logDirectory);

}  // namespace zidedova
