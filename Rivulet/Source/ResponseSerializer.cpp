#include "Rivulet/Source/ResponseSerializer.h"

#include "Rivulet/Source/RVError.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/TextEncoding.h"

namespace rivulet {

namespace {

using Reason = RVError::ResponseSerializationFailureReason;

AnyError failure(Reason reason) { return AnyError(RVError::responseSerializationFailed(std::move(reason))); }

bool hasEmptyStatus(const HTTPResponse& response) {
    return response && emptyDataStatusCodes().count(response->statusCode()) > 0;
}

}  // namespace

const std::set<int>& emptyDataStatusCodes() {
    static const std::set<int> codes{204, 205};
    return codes;
}

Result<platform::Bytes> serializeResponseData(const HTTPResponse& response, const OptionalData& data,
                                              const OptionalError& error) {
    if (error) return *error;
    if (hasEmptyStatus(response)) return platform::Bytes{};
    if (!data) return failure(Reason::inputDataNil());
    return *data;
}

Result<std::string> serializeResponseString(const std::optional<StringEncoding>& encoding, const HTTPResponse& response,
                                            const OptionalData& data, const OptionalError& error) {
    if (error) return *error;
    if (hasEmptyStatus(response)) return std::string();
    if (!data) return failure(Reason::inputDataNil());

    StringEncoding used = StringEncoding::isoLatin1();
    if (encoding) {
        used = *encoding;
    } else if (response && !response->textEncodingName().empty()) {
        used = StringEncoding(response->textEncodingName());
    }
    std::string_view bytes(reinterpret_cast<const char*>(data->data()), data->size());
    auto decoded = platform::text::decodeToUTF8(bytes, used.ianaCharsetName());
    if (!decoded) return failure(Reason::stringSerializationFailed(used));
    return std::move(decoded).value();
}

Result<platform::Value> serializeResponseJSON(JSONReadingOptions options, const HTTPResponse& response,
                                              const OptionalData& data, const OptionalError& error) {
    if (error) return *error;
    if (hasEmptyStatus(response)) return platform::Value::null();
    if (!data || data->empty()) return failure(Reason::inputDataNilOrZeroLength());
    platform::json::ReadOptions readOptions;
    readOptions.allowFragments = (options.rawValue & JSONReadingOptions::allowFragments) != 0;
    auto parsed = platform::json::read(*data, readOptions);
    if (!parsed) return failure(Reason::jsonSerializationFailed(parsed.error()));
    return std::move(parsed).value();
}

Result<platform::Value> serializeResponsePropertyList(PropertyListReadOptions, const HTTPResponse& response,
                                                      const OptionalData& data, const OptionalError& error) {
    if (error) return *error;
    if (hasEmptyStatus(response)) return platform::Value::null();
    if (!data || data->empty()) return failure(Reason::inputDataNilOrZeroLength());
    auto parsed = platform::plist::read(*data);
    if (!parsed) return failure(Reason::propertyListSerializationFailed(parsed.error()));
    return std::move(parsed).value();
}

DataResponseSerializer<platform::Bytes> dataResponseSerializer() {
    return DataResponseSerializer<platform::Bytes>(
        [](const OptionalRequest&, const HTTPResponse& response, const OptionalData& data, const OptionalError& error) {
            return serializeResponseData(response, data, error);
        });
}

DataResponseSerializer<std::string> stringResponseSerializer(std::optional<StringEncoding> encoding) {
    return DataResponseSerializer<std::string>(
        [encoding](const OptionalRequest&, const HTTPResponse& response, const OptionalData& data,
                   const OptionalError& error) { return serializeResponseString(encoding, response, data, error); });
}

DataResponseSerializer<platform::Value> jsonResponseSerializer(JSONReadingOptions options) {
    return DataResponseSerializer<platform::Value>(
        [options](const OptionalRequest&, const HTTPResponse& response, const OptionalData& data,
                  const OptionalError& error) { return serializeResponseJSON(options, response, data, error); });
}

DataResponseSerializer<platform::Value> propertyListResponseSerializer(PropertyListReadOptions options) {
    return DataResponseSerializer<platform::Value>([options](const OptionalRequest&, const HTTPResponse& response,
                                                             const OptionalData& data, const OptionalError& error) {
        return serializeResponsePropertyList(options, response, data, error);
    });
}

}  // namespace rivulet
