#pragma once
// URLResponse and HTTPURLResponse: what a URL load answered. Immutable once made; shared between
// threads as std::shared_ptr<const URLResponse> (use std::dynamic_pointer_cast for the HTTP kind).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/URL.h"
#include "platform/foundation/URLRequest.h"

namespace platform {

// Unknown length (no Content-Length, or a compressed body that is decoded on the way).
inline constexpr int64_t kURLResponseUnknownLength = -1;

class URLResponse {
public:
    URLResponse(std::optional<URL> url, std::string MIMEType, int64_t expectedContentLength,
                std::string textEncodingName);
    virtual ~URLResponse() = default;

    const std::optional<URL>& url() const { return url_; }
    const std::string& MIMEType() const { return mimeType_; }  // empty when unknown
    int64_t expectedContentLength() const { return expectedLength_; }
    const std::string& textEncodingName() const { return encoding_; }  // empty when unknown
    // A file name for saving the body: Content-Disposition's filename (HTTP only), else the URL's
    // last path component, else "Unknown". Never a path: only the final component, never "." or "..".
    virtual std::string suggestedFilename() const;

protected:
    std::optional<URL> url_;
    std::string mimeType_;
    int64_t expectedLength_;
    std::string encoding_;
};

class HTTPURLResponse : public URLResponse {
public:
    // MIME type and encoding come from Content-Type; the length from Content-Length (unless the body
    // is content-encoded, which we decode, so the length on the wire says nothing about it).
    HTTPURLResponse(URL url, int statusCode, std::string HTTPVersion, HTTPHeaderFields headerFields);

    int statusCode() const { return statusCode_; }
    const std::string& HTTPVersion() const { return version_; }  // "HTTP/1.1"
    const HTTPHeaderFields& allHeaderFields() const { return headers_; }
    std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const;
    std::string suggestedFilename() const override;

private:
    int statusCode_;
    std::string version_;
    HTTPHeaderFields headers_;
};

// Parses "type/subtype; charset=x" into lower-case MIME type and charset (both may be empty).
void parseContentType(std::string_view contentType, std::string& mimeType, std::string& charset);
// The filename parameter of a Content-Disposition value (filename* in RFC 5987 form preferred),
// reduced to a safe last component; nullopt when absent or unusable.
std::optional<std::string> filenameFromContentDisposition(std::string_view value);

}  // namespace platform
