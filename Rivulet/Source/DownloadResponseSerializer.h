#pragma once
// Download serializers: like the data serializers (ResponseSerializer.h), but given the URL of the
// downloaded file instead of bytes. The built-in ones (DownloadRequest::dataResponseSerializer() and
// its siblings) read the whole file, then apply the data rules:
//   1. an error is given        -> failure with that error, unchanged
//   2. no file URL              -> inputFileNil
//   3. the file cannot be read  -> inputFileReadFailed (with the URL), status not looked at
//   4. otherwise                -> the data rules from the empty-status test on
// Files larger than kDownloadSerializationMaxBytes fail to read rather than exhaust memory.
#include <cstddef>
#include <functional>
#include <optional>

#include "Rivulet/Source/ResponseSerializer.h"
#include "platform/foundation/URL.h"

namespace rivulet {

inline constexpr size_t kDownloadSerializationMaxBytes = size_t(512) * 1024 * 1024;

using OptionalFileURL = std::optional<platform::URL>;

template <class T>
struct DownloadResponseSerializer {
    using SerializedObject = T;
    using Closure = std::function<Result<T>(const OptionalRequest&, const HTTPResponse&, const OptionalFileURL&,
                                            const OptionalError&)>;
    explicit DownloadResponseSerializer(Closure closure) : serializeResponse(std::move(closure)) {}
    Closure serializeResponse;
};

// Rules 1 to 3: the file's bytes, or the failure that ends serialization.
Result<platform::Bytes> readDownloadedFile(const OptionalFileURL& fileURL, const OptionalError& error);

}  // namespace rivulet
