// The four response serializers fed arbitrary bodies, statuses, content types and charsets: every
// input gives a success or a serialization failure, never a crash, and the rules hold.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Rivulet/Source/RVError.h"
#include "Rivulet/Source/ResponseSerializer.h"

using namespace rivulet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Layout: flags, status selector, content-type length, content type, body.
    if (size < 3) return 0;
    const uint8_t flags = data[0];
    static const int statuses[] = {200, 204, 205, 404, 500, 201, 304, 100};
    const int status = statuses[data[1] % 8];
    const size_t typeLength = std::min<size_t>(data[2], size - 3);
    const std::string contentType(reinterpret_cast<const char*>(data) + 3, typeLength);
    const platform::Bytes body(data + 3 + typeLength, data + size);

    HTTPResponse response;
    if (flags & 1) {
        platform::HTTPHeaderFields headers;
        headers.set("Content-Type", contentType);
        response = std::make_shared<const platform::HTTPURLResponse>(*platform::URL::string("https://f.test/"), status,
                                                                     "HTTP/1.1", headers);
    }
    OptionalData payload;
    if (!(flags & 2)) payload = body;
    std::optional<StringEncoding> encoding;
    if (flags & 4) encoding = StringEncoding(contentType);  // arbitrary names as explicit encodings too
    JSONReadingOptions jsonOptions{(flags & 8) ? JSONReadingOptions::allowFragments : 0u};

    const bool emptyStatus = response && (status == 204 || status == 205);
    auto isSerializationFailure = [](const AnyError* e) {
        return e && e->as<RVError>() && e->as<RVError>()->responseSerializationReason();
    };

    auto raw = serializeResponseData(response, payload, std::nullopt);
    if (raw.isSuccess() && !emptyStatus && *raw.value() != *payload) std::abort();
    if (raw.isFailure() && !isSerializationFailure(raw.error())) std::abort();

    auto text = serializeResponseString(encoding, response, payload, std::nullopt);
    if (text.isFailure() && !isSerializationFailure(text.error())) std::abort();
    if (text.isSuccess() && emptyStatus && !text.value()->empty()) std::abort();
    (void)text.debugDescription();

    auto json = serializeResponseJSON(jsonOptions, response, payload, std::nullopt);
    if (json.isFailure()) {
        if (!isSerializationFailure(json.error())) std::abort();
        (void)json.error()->localizedDescription();
    } else {
        (void)json.value()->description();
    }

    auto plist = serializeResponsePropertyList(0, response, payload, std::nullopt);
    if (plist.isFailure() && !isSerializationFailure(plist.error())) std::abort();
    if (plist.isSuccess() && emptyStatus && !plist.value()->isNull()) std::abort();
    return 0;
}
