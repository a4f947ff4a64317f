#pragma once
// RecordedRequest: what a local server saw of one request, exactly as the client sent it. Plain value;
// readers get copies, so it may be inspected from any thread.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tesmar_demo {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// One part of a multipart/form-data body, as the server parsed it.
struct MultipartPart {
    std::string name;
    std::string filename;
    std::string contentType;
    std::string content;
};

struct RecordedRequest {
    size_t sequence = 0;                            // 0 for the first request the server saw, then 1, 2, ...
    std::string method;                             // "GET", "HEAD", "POST", ...
    std::string target;                             // the request target exactly as sent: "/a%20b?x=1&y"
    std::string rawPath;                            // target up to '?', still percent-encoded
    std::string path;                               // rawPath percent-decoded (what routes match against)
    std::string rawQuery;                           // target after the first '?', as sent ("" when none)
    bool hasQuery = false;                          // the target had a '?' (even an empty query)
    HeaderList queryItems;                          // the query decoded into name/value pairs, in order of appearance
    std::map<std::string, std::string> pathParams;  // ":name" segments of the matched route; "*" the rest
    HeaderList headers;                // as received (grouped by name; names keep the client's spelling; headers
                                       // with an empty value are not kept by cpp-httplib)
    std::string body;                  // the whole body, after chunked transfer decoding
    std::vector<MultipartPart> parts;  // multipart/form-data bodies, parsed
    std::string remoteAddress;
    int remotePort = -1;  // distinguishes connections: reused connections repeat the port
    bool secure = false;  // came over TLS

    // First value of a header, names compared without regard to case.
    std::optional<std::string> header(const std::string& name) const;
    // The first query item named `name`, decoded.
    std::optional<std::string> queryItem(const std::string& name) const;
    // Every value of a header (e.g. several Cookie lines), in order.
    std::vector<std::string> headerValues(const std::string& name) const;
    bool hasHeader(const std::string& name) const { return header(name).has_value(); }
    // The first multipart part with this field name.
    const MultipartPart* part(const std::string& name) const;
};

// Case-insensitive ASCII comparison, the way header names compare.
bool headerNamesEqual(const std::string& a, const std::string& b);

}  // namespace tesmar_demo
