#include "zidedova_core/diagnostics/ZDVLoglaneStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "platform/foundation/Date.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/ProcessInfo.h"
#include "zidedova_core/ZDVLogger.h"

namespace zidedova {

namespace {

// How many later names a writer tries when its own is taken (two writers in one millisecond, or a
// clock that stepped back onto an older file).
constexpr int kMaxNameAttempts = 1000;

std::optional<int64_t> parseDecimal(const std::string& text) {
    int64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

}  // namespace

int64_t ZDVLoglaneCurrentTimeMillis() { return int64_t(platform::Date::now().timeIntervalSince1970() * 1000.0); }

int64_t ZDVLoglaneUptimeMillis() { return int64_t(platform::ProcessInfo::processInfo().systemUptime() * 1000.0); }

std::string ZDVLoglaneEscapeAccount(const std::string& account) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : account) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (plain) {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::optional<std::string> ZDVLoglaneUnescapeAccount(const std::string& name) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string out;
    for (size_t i = 0; i < name.size(); ++i) {
        if (name[i] != '%') {
            out += name[i];
            continue;
        }
        if (i + 2 >= name.size()) return std::nullopt;
        int hi = nibble(name[i + 1]), lo = nibble(name[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += char(hi * 16 + lo);
        i += 2;
    }
    return out;
}

platform::Bytes ZDVLoglaneRecordPrefix(uint32_t length) {
    platform::Bytes out;
    while (length >= 0x80) {
        out.push_back(uint8_t(length | 0x80));
        length >>= 7;
    }
    out.push_back(uint8_t(length));
    return out;
}

std::optional<platform::Bytes> ZDVLoglaneRecord(const LLNPBLogEvent& event) {
    auto encoded = event.protoBuffer();
    if (!encoded || encoded->size() > UINT32_MAX) return std::nullopt;
    platform::Bytes record = ZDVLoglaneRecordPrefix(uint32_t(encoded->size()));
    record.insert(record.end(), encoded->begin(), encoded->end());
    return record;
}

// ---------------------------------------------------------------- writer

ZDVLoglaneWriter::ZDVLoglaneWriter(const std::string& directory, int64_t preferredMillis, bool logFailure) {
    auto& fm = platform::FileManager::defaultManager();
    if (auto made = fm.createDirectory(directory, true); !made.ok()) {
        if (logFailure)
            ZDVLoggerLogError(kZDVLoggerService, "I-COR000015", "Failed to create directory: %@",
                              made.error().description());
        openError_ = made.error();  // why the file cannot be made either
    }
    int lastErrno = 0;
    for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
        std::string candidate = directory + "/" + std::to_string(preferredMillis + attempt);
        int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) {
            fd_ = fd;
            path_ = candidate;
            openError_.reset();
            return;
        }
        lastErrno = errno;
        if (lastErrno != EEXIST) break;
    }
    if (logFailure)
        ZDVLoggerLogError(kZDVLoggerService, "I-COR000016", "Failed to create %@, error (%d)",
                          directory + "/" + std::to_string(preferredMillis), lastErrno);
    if (!openError_)
        openError_ = platform::Error::withDescription(platform::kPOSIXErrorDomain, lastErrno, std::strerror(lastErrno));
}

ZDVLoglaneWriter::~ZDVLoglaneWriter() { close(); }

void ZDVLoglaneWriter::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool ZDVLoglaneWriter::writeLogEvent(const LLNPBLogEvent& event) {
    if (fd_ < 0) return false;
    auto record = ZDVLoglaneRecord(event);
    if (!record) {
        ZDVLoggerLogError(kZDVLoggerService, "I-COR000017", "Failure to encode a log event for %@. Discarding.", path_);
        return false;
    }
    return writeRecords(*record).ok();
}

platform::Result<void> ZDVLoglaneWriter::writeRecords(const platform::Bytes& records) {
    if (fd_ < 0)
        return openError_ ? *openError_
                          : platform::Error::withDescription(platform::kPOSIXErrorDomain, EBADF, std::strerror(EBADF));
    platform::FileHandle handle(fd_);
    auto written = handle.writeAll(records.data(), records.size());
    handle.release();
    if (!written.ok()) {
        // A half-written record would break every record after it: cut back to the last whole one.
        if (::ftruncate(fd_, off_t(numBytes_)) != 0 || ::lseek(fd_, off_t(numBytes_), SEEK_SET) < 0) close();
        return written;
    }
    numBytes_ += records.size();
    return written;
}

// ---------------------------------------------------------------- account data

ZDVLoglaneAccountData::ZDVLoglaneAccountData(std::string accountLogDirectory)
    : accountLogDirectory_(std::move(accountLogDirectory)) {}

std::string ZDVLoglaneAccountData::logSourceDirectory(int32_t logSource) const {
    return accountLogDirectory_ + "/" + std::to_string(logSource);
}

ZDVLoglaneWriter& ZDVLoglaneAccountData::writerForLogSource(int32_t logSource, bool logFailure) {
    auto& writer = logSourceToWriter_[logSource];
    if (!writer)
        writer = std::make_unique<ZDVLoglaneWriter>(logSourceDirectory(logSource), ZDVLoglaneCurrentTimeMillis(),
                                                    logFailure);
    return *writer;
}

void ZDVLoglaneAccountData::removeWriterForLogSource(int32_t logSource) { logSourceToWriter_.erase(logSource); }

void ZDVLoglaneAccountData::flushWriters() { logSourceToWriter_.clear(); }

// ---------------------------------------------------------------- listing

std::vector<ZDVLoglaneRequest> ZDVLoglaneListLogFiles(const std::string& logDirectory) {
    auto& fm = platform::FileManager::defaultManager();
    std::vector<ZDVLoglaneRequest> out;
    auto accounts = fm.contentsOfDirectory(logDirectory);
    if (!accounts.ok()) return out;
    for (const auto& accountName : accounts.value()) {
        auto account = ZDVLoglaneUnescapeAccount(accountName);
        std::string accountDir = logDirectory + "/" + accountName;
        auto sources = fm.contentsOfDirectory(accountDir);
        if (!account || !sources.ok()) continue;
        for (const auto& sourceName : sources.value()) {
            auto source = parseDecimal(sourceName);
            if (!source || *source < INT32_MIN || *source > INT32_MAX) continue;
            std::string sourceDir = accountDir + "/" + sourceName;
            auto files = fm.contentsOfDirectory(sourceDir);
            if (!files.ok()) continue;
            for (const auto& file : files.value()) {
                auto attributes = fm.attributesOfItem(sourceDir + "/" + file);
                if (!attributes.ok() || attributes.value().isDirectory || attributes.value().isSymbolicLink) continue;
                out.push_back({int32_t(*source), *account, sourceDir + "/" + file});
            }
        }
    }
    return out;
}

}  // namespace zidedova
