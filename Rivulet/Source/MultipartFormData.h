#pragma once
// MultipartFormData: collects the parts of a "multipart/form-data" body (bytes, files, input streams),
// each with its own headers, and encodes them with one boundary into memory or into a new file.
//
// Appends never fail outright: the first failure is kept in bodyPartError() and raised by whichever
// encoding runs; parts appended after it are still kept. Parts hold streams, not bytes, so a file part
// costs nothing until it is encoded.
//
// Names and file names go into "Content-Disposition" with '"', CR and LF written as %22, %0D and %0A,
// and CR or LF anywhere in a header line becomes a space, so no part can add a header of its own.
//
// Encodings raise ThrownError carrying an RVError (multipartEncodingFailed). A file is always created
// new (O_EXCL, never through a link, mode 0600); a write the disk refuses is outputStreamWriteFailed,
// never a short file passed off as done; a part stream that cannot be opened is inputStreamReadFailed.
//
// Threads: no lock; one thread at a time (the multipart upload fills and encodes it on one work item).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Rivulet/Source/RVError.h"
#include "Rivulet/Source/URLConvertible.h"
#include "platform/foundation/Stream.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/Value.h"

namespace rivulet {

struct EncodingCharacters {
    static constexpr const char* crlf = "\r\n";
};

struct BoundaryGenerator {
    enum class BoundaryType { initial, encapsulated, final };
    // "rivulet.boundary.%08x%08x" from the system's random source.
    static std::string randomBoundary();
    // Appends the boundary line of `type` to `out`.
    static void boundaryData(BoundaryType type, const std::string& boundary, platform::Bytes& out);
    static size_t boundarySize(BoundaryType type, const std::string& boundary);
};

// The MIME type for a file name extension (letter case ignored); "application/octet-stream" when the
// extension is not known.
std::string mimeTypeForPathExtension(const std::string& pathExtension);

class MultipartFormData {
public:
    // Header lines of one part, in the order they are written.
    using PartHeaders = std::vector<std::pair<std::string, std::string>>;

    class BodyPart {
    public:
        BodyPart(PartHeaders headers, std::shared_ptr<platform::InputStream> bodyStream, uint64_t bodyContentLength)
            : headers(std::move(headers)), bodyStream(std::move(bodyStream)), bodyContentLength(bodyContentLength) {}
        PartHeaders headers;
        std::shared_ptr<platform::InputStream> bodyStream;  // opened and closed by the encoder
        uint64_t bodyContentLength;                         // as declared when appended
        bool hasInitialBoundary = false;
        bool hasFinalBoundary = false;
    };

    // The traditional read size, kept for callers. In memory, parts are read straight into the result in
    // larger steps; to a stream, through one write buffer, which bounds what file encoding holds
    // whatever the part sizes.
    static constexpr size_t streamBufferSize = 1024;

    MultipartFormData();
    // With a fixed boundary (tests and callers that need reproducible bodies).
    explicit MultipartFormData(std::string boundary);

    // "multipart/form-data; boundary=<boundary>" unless a value was set; the first read stores it.
    const std::string& contentType();
    void setContentType(std::string contentType) { contentType_ = std::move(contentType); }
    const std::string& boundary() const { return boundary_; }
    // The sum of the parts' declared lengths (boundaries and headers not counted).
    uint64_t contentLength() const;
    const std::vector<std::shared_ptr<BodyPart>>& bodyParts() const { return bodyParts_; }
    const std::optional<RVError>& bodyPartError() const { return bodyPartError_; }

    void append(const platform::Bytes& data, const std::string& name);
    void append(const platform::Bytes& data, const std::string& name, const std::string& mimeType);
    void append(const platform::Bytes& data, const std::string& name, const std::string& fileName,
                const std::string& mimeType);
    // File name and extension from the URL's last path component; MIME type from the extension.
    void append(const platform::URL& fileURL, const std::string& name);
    void append(const platform::URL& fileURL, const std::string& name, const std::string& fileName,
                const std::string& mimeType);
    void append(std::shared_ptr<platform::InputStream> stream, uint64_t length, const std::string& name,
                const std::string& fileName, const std::string& mimeType);
    // Every other append ends here. A missing stream reads as empty.
    void append(std::shared_ptr<platform::InputStream> stream, uint64_t length, PartHeaders headers);

    // The whole encoded body. Raises ThrownError (the recorded append error, or a read failure).
    platform::Bytes encode();
    // Writes the encoded body to a new file at `fileURL`. Raises ThrownError; a file left half written
    // is the caller's to remove.
    void writeEncodedData(const platform::URL& fileURL);
    // The encoding loop itself, into an open stream (the file road; also lets callers pick the sink).
    void writeEncodedData(platform::OutputStream& outputStream);

    // The "Content-Disposition" (and "Content-Type" when a MIME type is given) of a part.
    static PartHeaders contentHeaders(const std::string& name,
                                      const std::optional<std::string>& fileName = std::nullopt,
                                      const std::optional<std::string>& mimeType = std::nullopt);
    // '"', CR and LF as %22, %0D, %0A: what may stand inside a quoted disposition parameter.
    static std::string escapeDispositionParameter(const std::string& value);

private:
    void setBodyPartError(RVError::MultipartEncodingFailureReason reason);
    void markBoundaries();
    static void encodeHeaders(const BodyPart& part, platform::Bytes& out);
    // A part's boundary and header lines, appended to `out`; partHeadSize() is their length.
    void encodePartHead(const BodyPart& part, platform::Bytes& out) const;
    size_t partHeadSize(const BodyPart& part) const;
    // Appends the part's body to `out`, read straight into it.
    static void encodeBodyStream(BodyPart& part, platform::Bytes& out);

    std::string contentType_;
    std::string boundary_;
    std::vector<std::shared_ptr<BodyPart>> bodyParts_;
    std::optional<RVError> bodyPartError_;
};

}  // namespace rivulet
