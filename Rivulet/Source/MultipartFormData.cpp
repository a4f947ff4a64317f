#include "Rivulet/Source/MultipartFormData.h"

#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "Rivulet/Source/AnyError.h"
#include "platform/foundation/ASCII.h"
#include "platform/foundation/FileManager.h"

namespace rivulet {

namespace {

using Reason = RVError::MultipartEncodingFailureReason;
using platform::Bytes;

[[noreturn]] void raise(Reason reason) {
    throw ThrownError(AnyError(RVError::multipartEncodingFailed(std::move(reason))));
}

platform::Error posixError(int err, const std::string& path = {}) {
    platform::Value info = platform::Value::dictionary();
    info.set(platform::kLocalizedDescriptionKey, std::string(std::strerror(err)));
    if (!path.empty()) info.set(platform::kFilePathErrorKey, path);
    return platform::Error(platform::kPOSIXErrorDomain, err, std::move(info));
}

void appendText(Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

uint32_t random32() {
    uint32_t value = 0;
    if (getrandom(&value, sizeof value, 0) == ssize_t(sizeof value)) return value;
    return std::random_device{}();  // the kernel call is unavailable (very old kernels, seccomp)
}

// A header line can hold no line break: one would end the line and start a header of its own.
void appendLineText(Bytes& out, std::string_view text) {
    const size_t at = out.size();
    appendText(out, text);
    std::replace_if(
        out.begin() + ptrdiff_t(at), out.end(), [](uint8_t c) { return c == '\r' || c == '\n'; }, ' ');
}

// In memory, part bodies are read straight into the result, which grows by steps this large: growing
// zeroes the step first, and a step this size is zeroed and then overwritten in cache.
constexpr size_t kChunkSize = 256 * 1024;
// Reservations beyond this are not made on the strength of declared lengths alone.
constexpr uint64_t kMostReserved = uint64_t(1) << 30;
// Into a stream, the body goes out in writes this large (and parts are read straight into the buffer):
// the system call and page-cache costs of a write are per call, so fewer calls pay off beyond the cache.
constexpr size_t kWriteBufferSize = 1024 * 1024;

// A large body is built in huge pages where the system offers them on request: a fresh buffer otherwise
// costs a page fault for every 4 KiB written, more than copying the bytes. Only whole huge pages inside
// the reservation are advised; the advice is a hint, and its refusal changes nothing.
void adviseHugePages(const Bytes& reserved) {
    constexpr uintptr_t kHugePage = uintptr_t(2) << 20;
    if (reserved.capacity() < 4 * kHugePage) return;
    const auto start = reinterpret_cast<uintptr_t>(reserved.data());
    const uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
    const uintptr_t end = (start + reserved.capacity()) & ~(kHugePage - 1);
    if (end > begin) (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);  // a hint only
}

bool openedForIO(platform::StreamStatus s) {
    using S = platform::StreamStatus;
    return s == S::Open || s == S::Reading || s == S::Writing || s == S::AtEnd;
}

// Writes to a file made with O_EXCL|O_NOFOLLOW: the stream the platform offers opens by path, which
// would follow a link planted in its place.
class ExclusiveFileOutputStream final : public platform::OutputStream {
public:
    ExclusiveFileOutputStream(platform::FileHandle handle, std::string path)
        : handle_(std::move(handle)), path_(std::move(path)) {}
    void open() override {
        if (status_ == platform::StreamStatus::NotOpen) status_ = platform::StreamStatus::Open;
    }
    void close() override {
        if (auto r = handle_.close(); !r && status_ != platform::StreamStatus::Error) {
            error_ = r.error();
            status_ = platform::StreamStatus::Error;
            return;
        }
        if (status_ != platform::StreamStatus::Error) status_ = platform::StreamStatus::Closed;
    }
    ssize_t write(const uint8_t* buffer, size_t length) override {
        if (!openedForIO(status_) || !handle_.valid()) return -1;
        if (auto r = handle_.writeAll(buffer, length); !r) {
            error_ = r.error();
            status_ = platform::StreamStatus::Error;
            return -1;
        }
        return ssize_t(length);
    }
    bool hasSpaceAvailable() const override { return openedForIO(status_); }

private:
    platform::FileHandle handle_;
    std::string path_;
};

// File name extension (lower case) -> MIME type.
const std::unordered_map<std::string, std::string>& mimeTable() {
    static const std::unordered_map<std::string, std::string> table{
        {"txt", "text/plain"},
        {"text", "text/plain"},
        {"html", "text/html"},
        {"htm", "text/html"},
        {"css", "text/css"},
        {"csv", "text/csv"},
        {"xml", "application/xml"},
        {"rtf", "text/rtf"},
        {"vcf", "text/vcard"},
        {"ics", "text/calendar"},
        {"md", "text/markdown"},
        {"js", "text/javascript"},
        {"json", "application/json"},
        {"pdf", "application/pdf"},
        {"zip", "application/zip"},
        {"gz", "application/gzip"},
        {"tar", "application/x-tar"},
        {"plist", "application/x-plist"},
        {"rar", "application/x-rar-compressed"},
        {"7z", "application/x-7z-compressed"},
        {"doc", "application/msword"},
        {"xls", "application/vnd.ms-excel"},
        {"ppt", "application/vnd.ms-powerpoint"},
        {"key", "application/x-iwork-keynote-sffkey"},
        {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
        {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
        {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
        {"odt", "application/vnd.oasis.opendocument.text"},
        {"ods", "application/vnd.oasis.opendocument.spreadsheet"},
        {"png", "image/png"},
        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},
        {"bmp", "image/bmp"},
        {"tif", "image/tiff"},
        {"tiff", "image/tiff"},
        {"heic", "image/heic"},
        {"heif", "image/heif"},
        {"webp", "image/webp"},
        {"svg", "image/svg+xml"},
        {"ico", "image/vnd.microsoft.icon"},
        {"mp3", "audio/mpeg"},
        {"m4a", "audio/mp4"},
        {"aac", "audio/aac"},
        {"wav", "audio/wav"},
        {"aif", "audio/aiff"},
        {"aiff", "audio/aiff"},
        {"caf", "audio/x-caf"},
        {"ogg", "audio/ogg"},
        {"flac", "audio/flac"},
        {"mp4", "video/mp4"},
        {"m4v", "video/x-m4v"},
        {"mov", "video/quicktime"},
        {"avi", "video/avi"},
        {"mpg", "video/mpeg"},
        {"mpeg", "video/mpeg"},
        {"3gp", "video/3gpp"},
        {"webm", "video/webm"},
    };
    return table;
}

}  // namespace

std::string mimeTypeForPathExtension(const std::string& pathExtension) {
    std::string key = platform::lowercasedASCII(pathExtension);
    auto it = mimeTable().find(key);
    return it == mimeTable().end() ? "application/octet-stream" : it->second;
}

std::string BoundaryGenerator::randomBoundary() {
    char text[40];
    std::snprintf(text, sizeof text, "rivulet.boundary.%08x%08x", random32(), random32());
    return text;
}

void BoundaryGenerator::boundaryData(BoundaryType type, const std::string& boundary, Bytes& out) {
    if (type != BoundaryType::initial) appendText(out, EncodingCharacters::crlf);
    appendText(out, "--");
    appendText(out, boundary);
    if (type == BoundaryType::final) appendText(out, "--");
    appendText(out, EncodingCharacters::crlf);
}

size_t BoundaryGenerator::boundarySize(BoundaryType type, const std::string& boundary) {
    // "--" and CRLF; a CRLF before all but the first; "--" after the last.
    return (type == BoundaryType::initial ? 4 : type == BoundaryType::encapsulated ? 6 : 8) + boundary.size();
}

MultipartFormData::MultipartFormData() : boundary_(BoundaryGenerator::randomBoundary()) {}
MultipartFormData::MultipartFormData(std::string boundary) : boundary_(std::move(boundary)) {}

const std::string& MultipartFormData::contentType() {
    if (contentType_.empty()) contentType_ = "multipart/form-data; boundary=" + boundary_;
    return contentType_;
}

uint64_t MultipartFormData::contentLength() const {
    uint64_t total = 0;
    for (const auto& part : bodyParts_) total += part->bodyContentLength;
    return total;
}

std::string MultipartFormData::escapeDispositionParameter(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '"')
            out += "%22";
        else if (c == '\r')
            out += "%0D";
        else if (c == '\n')
            out += "%0A";
        else
            out += c;
    }
    return out;
}

MultipartFormData::PartHeaders MultipartFormData::contentHeaders(const std::string& name,
                                                                 const std::optional<std::string>& fileName,
                                                                 const std::optional<std::string>& mimeType) {
    std::string disposition = "form-data; name=\"" + escapeDispositionParameter(name) + "\"";
    if (fileName) disposition += "; filename=\"" + escapeDispositionParameter(*fileName) + "\"";
    PartHeaders headers{{"Content-Disposition", disposition}};
    if (mimeType) headers.emplace_back("Content-Type", *mimeType);
    return headers;
}

void MultipartFormData::append(const Bytes& data, const std::string& name) {
    append(platform::InputStream::withData(data), data.size(), contentHeaders(name));
}

void MultipartFormData::append(const Bytes& data, const std::string& name, const std::string& mimeType) {
    append(platform::InputStream::withData(data), data.size(), contentHeaders(name, std::nullopt, mimeType));
}

void MultipartFormData::append(const Bytes& data, const std::string& name, const std::string& fileName,
                               const std::string& mimeType) {
    append(platform::InputStream::withData(data), data.size(), contentHeaders(name, fileName, mimeType));
}

void MultipartFormData::append(const platform::URL& fileURL, const std::string& name) {
    const std::string fileName = fileURL.lastPathComponent();
    const std::string extension = fileURL.pathExtension();
    if (fileName.empty() || extension.empty()) return setBodyPartError(Reason::bodyPartFilenameInvalid(fileURL));
    append(fileURL, name, fileName, mimeTypeForPathExtension(extension));
}

void MultipartFormData::append(const platform::URL& fileURL, const std::string& name, const std::string& fileName,
                               const std::string& mimeType) {
    if (!fileURL.isFileURL()) return setBodyPartError(Reason::bodyPartURLInvalid(fileURL));
    const std::string path = fileURL.path();
    // Reachability: a missing item answers "no"; anything else stat cannot get past is an error.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        int err = errno;
        if (err == ENOENT) return setBodyPartError(Reason::bodyPartFileNotReachable(fileURL));
        return setBodyPartError(Reason::bodyPartFileNotReachableWithError(fileURL, AnyError(posixError(err, path))));
    }
    if (S_ISDIR(st.st_mode)) return setBodyPartError(Reason::bodyPartFileIsDirectory(fileURL));
    // Only a regular file has a size that says how much will be read (a device or a pipe may not end).
    if (!S_ISREG(st.st_mode)) return setBodyPartError(Reason::bodyPartFileSizeNotAvailable(fileURL));
    if (::access(path.c_str(), R_OK) != 0) return setBodyPartError(Reason::bodyPartInputStreamCreationFailed(fileURL));
    auto stream = platform::InputStream::withFileAtPath(path);
    if (!stream) return setBodyPartError(Reason::bodyPartInputStreamCreationFailed(fileURL));
    append(std::move(stream), uint64_t(st.st_size), contentHeaders(name, fileName, mimeType));
}

void MultipartFormData::append(std::shared_ptr<platform::InputStream> stream, uint64_t length, const std::string& name,
                               const std::string& fileName, const std::string& mimeType) {
    append(std::move(stream), length, contentHeaders(name, fileName, mimeType));
}

void MultipartFormData::append(std::shared_ptr<platform::InputStream> stream, uint64_t length, PartHeaders headers) {
    bodyParts_.push_back(std::make_shared<BodyPart>(std::move(headers), std::move(stream), length));
}

void MultipartFormData::setBodyPartError(Reason reason) {
    if (!bodyPartError_) bodyPartError_ = RVError::multipartEncodingFailed(std::move(reason));
}

void MultipartFormData::markBoundaries() {
    if (bodyParts_.empty()) return;
    bodyParts_.front()->hasInitialBoundary = true;
    bodyParts_.back()->hasFinalBoundary = true;
}

void MultipartFormData::encodeHeaders(const BodyPart& part, Bytes& out) {
    for (const auto& [name, value] : part.headers) {
        appendLineText(out, name);
        appendText(out, ": ");
        appendLineText(out, value);
        appendText(out, EncodingCharacters::crlf);
    }
    appendText(out, EncodingCharacters::crlf);
}

namespace {

// Opens a part's stream and closes it again however the scope ends.
class OpenedStream {
public:
    explicit OpenedStream(const std::shared_ptr<platform::InputStream>& stream) : stream_(stream) {
        if (!stream_) return;
        stream_->open();
        // A stream that did not open would otherwise read as an empty part.
        if (!openedForIO(stream_->streamStatus()))
            raise(Reason::inputStreamReadFailed(AnyError(stream_->streamError().value_or(posixError(EBADF)))));
    }
    ~OpenedStream() {
        if (stream_) stream_->close();
    }
    OpenedStream(const OpenedStream&) = delete;
    OpenedStream& operator=(const OpenedStream&) = delete;

    // The next chunk's length: 0 at the end. Raises inputStreamReadFailed.
    size_t read(uint8_t* buffer, size_t size) {
        if (!stream_ || !stream_->hasBytesAvailable()) return 0;
        ssize_t n = stream_->read(buffer, size);
        if (auto e = stream_->streamError()) raise(Reason::inputStreamReadFailed(AnyError(*e)));
        if (n < 0) raise(Reason::inputStreamReadFailed(AnyError(posixError(EIO))));
        return size_t(n);
    }

private:
    std::shared_ptr<platform::InputStream> stream_;
};

using BoundaryType = BoundaryGenerator::BoundaryType;

BoundaryType headBoundary(const MultipartFormData::BodyPart& part) {
    return part.hasInitialBoundary ? BoundaryType::initial : BoundaryType::encapsulated;
}

}  // namespace

void MultipartFormData::encodePartHead(const BodyPart& part, Bytes& out) const {
    BoundaryGenerator::boundaryData(headBoundary(part), boundary_, out);
    encodeHeaders(part, out);
}

size_t MultipartFormData::partHeadSize(const BodyPart& part) const {
    size_t size = BoundaryGenerator::boundarySize(headBoundary(part), boundary_) + 2;
    for (const auto& [name, value] : part.headers) size += name.size() + 2 + value.size() + 2;
    return size;
}

void MultipartFormData::encodeBodyStream(BodyPart& part, Bytes& out) {
    OpenedStream stream(part.bodyStream);
    // Up to the declared length, the result grows only by what the stream is expected to yield (so an
    // exact reservation is never outgrown). Past it, a small probe finds the usual end without growing
    // anything; a stream that runs on is read to its end in full steps.
    for (uint64_t left = part.bodyContentLength;;) {
        if (left == 0) {
            uint8_t probe[streamBufferSize];
            const size_t n = stream.read(probe, sizeof probe);
            if (n == 0) return;
            out.insert(out.end(), probe, probe + n);
            left = UINT64_MAX;  // its length is unknown from here
            continue;
        }
        const size_t at = out.size();
        const auto step = size_t(std::min<uint64_t>(left, kChunkSize));
        out.resize(at + step);
        const size_t n = stream.read(out.data() + at, step);
        out.resize(at + n);
        if (n == 0) return;
        left -= n;
    }
}

Bytes MultipartFormData::encode() {
    if (bodyPartError_) throw ThrownError(AnyError(*bodyPartError_));
    Bytes encoded;
    if (bodyParts_.empty()) return encoded;
    markBoundaries();
    // One reservation for the whole body, unless the declared lengths are past believing: each part is
    // then copied once, straight from its stream into place.
    uint64_t total = BoundaryGenerator::boundarySize(BoundaryType::final, boundary_);
    for (const auto& part : bodyParts_) total += partHeadSize(*part) + std::min(part->bodyContentLength, kMostReserved);
    if (total <= kMostReserved) {
        encoded.reserve(size_t(total));
        adviseHugePages(encoded);
    }
    for (const auto& part : bodyParts_) {
        encodePartHead(*part, encoded);
        encodeBodyStream(*part, encoded);
    }
    BoundaryGenerator::boundaryData(BoundaryType::final, boundary_, encoded);
    return encoded;
}

void MultipartFormData::writeEncodedData(const platform::URL& fileURL) {
    if (bodyPartError_) throw ThrownError(AnyError(*bodyPartError_));
    const std::string path = fileURL.path();
    struct stat st {};
    if (!path.empty() && ::lstat(path.c_str(), &st) == 0) raise(Reason::outputStreamFileAlreadyExists(fileURL));
    if (!fileURL.isFileURL()) raise(Reason::outputStreamURLInvalid(fileURL));
    auto handle = platform::FileManager::defaultManager().createFileExclusively(path, 0600);
    if (!handle) {
        if (handle.error().code == platform::kFileWriteFileExistsError)
            raise(Reason::outputStreamFileAlreadyExists(fileURL));
        raise(Reason::outputStreamCreationFailed(fileURL));
    }
    ExclusiveFileOutputStream out(std::move(*handle), path);
    writeEncodedData(out);
}

namespace {

// Writes all of `bytes` to the stream; a refusal raises outputStreamWriteFailed.
void writeAll(const uint8_t* bytes, size_t length, platform::OutputStream& out) {
    size_t done = 0;
    while (done < length) {
        // A stream with no room left and bytes still to go would leave a short body that looks finished.
        if (!out.hasSpaceAvailable())
            raise(Reason::outputStreamWriteFailed(AnyError(out.streamError().value_or(posixError(EIO)))));
        ssize_t n = out.write(bytes + done, length - done);
        if (auto e = out.streamError()) raise(Reason::outputStreamWriteFailed(AnyError(*e)));
        if (n <= 0) raise(Reason::outputStreamWriteFailed(AnyError(posixError(EIO))));
        done += size_t(n);
    }
}

// Gathers the body into large writes: the stream sees a few big writes rather than one per header,
// boundary and read.
class BufferedWriter {
public:
    explicit BufferedWriter(platform::OutputStream& out)
        : out_(out), buffer_(std::make_unique_for_overwrite<uint8_t[]>(kWriteBufferSize)) {}

    void append(const Bytes& bytes) {
        const uint8_t* from = bytes.data();
        size_t left = bytes.size();
        while (left > 0) {
            if (used_ == kWriteBufferSize) flush();
            const size_t n = std::min(left, kWriteBufferSize - used_);
            std::memcpy(buffer_.get() + used_, from, n);
            used_ += n;
            from += n;
            left -= n;
        }
    }
    // Reads the stream to its end straight into the buffer.
    void append(OpenedStream& stream) {
        for (;;) {
            if (used_ == kWriteBufferSize) flush();
            const size_t n = stream.read(buffer_.get() + used_, kWriteBufferSize - used_);
            if (n == 0) return;
            used_ += n;
        }
    }
    void flush() {
        const size_t n = std::exchange(used_, 0);  // a failed write is not tried again
        writeAll(buffer_.get(), n, out_);
    }

private:
    platform::OutputStream& out_;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t used_ = 0;
};

}  // namespace

void MultipartFormData::writeEncodedData(platform::OutputStream& out) {
    if (bodyPartError_) throw ThrownError(AnyError(*bodyPartError_));
    out.open();
    BufferedWriter writer(out);
    try {
        markBoundaries();
        Bytes text;
        for (const auto& part : bodyParts_) {
            text.clear();
            encodePartHead(*part, text);
            writer.append(text);
            OpenedStream stream(part->bodyStream);
            writer.append(stream);
        }
        if (!bodyParts_.empty()) {
            text.clear();
            BoundaryGenerator::boundaryData(BoundaryType::final, boundary_, text);
            writer.append(text);
        }
        writer.flush();
    } catch (...) {
        // What was encoded before a part failed to read still reaches the file, as it would unbuffered.
        try {
            writer.flush();
        } catch (const ThrownError&) {
        }
        out.close();
        throw;
    }
    out.close();
    // Closing flushes: a refusal there still means the file is not what was asked for.
    if (auto e = out.streamError()) raise(Reason::outputStreamWriteFailed(AnyError(*e)));
}

}  // namespace rivulet
