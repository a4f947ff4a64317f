#pragma once
// Response serializers: turn what a finished task produced (request, HTTP response, body, error) into
// a Result. Four are built in: raw data, text, JSON and property list. The serialize functions are
// pure and may run on any thread (the response handlers run them on the request's task-delegate queue).
//
// Rules, first match decides:
//   1. an error is given            -> failure with that error, unchanged
//   2. status 204 or 205            -> success with empty data / "" / null, body not looked at
//   3. no data                      -> data, text: inputDataNil; JSON, plist: inputDataNilOrZeroLength
//   4. empty data                   -> data: success; text: decoded; JSON, plist: inputDataNilOrZeroLength
//   5. otherwise                    -> the data / decoded text / parsed JSON / parsed property list
// JSON and property-list values are platform::Value (null stands for the null object).
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "Rivulet/Source/AnyError.h"
#include "Rivulet/Source/Result.h"
#include "Rivulet/Source/StringEncoding.h"
#include "platform/foundation/HTTPURLResponse.h"
#include "platform/foundation/URLRequest.h"
#include "platform/foundation/Value.h"

namespace rivulet {

// The status codes whose responses carry no body: {204, 205}.
const std::set<int>& emptyDataStatusCodes();

// JSON reading options, as raw option bits; allowFragments accepts a top level that is no container.
struct JSONReadingOptions {
    static constexpr uint32_t mutableContainers = 1;
    static constexpr uint32_t mutableLeaves = 2;
    static constexpr uint32_t allowFragments = 4;
    uint32_t rawValue = 0;
};

// Property-list read (mutability) options; values are copies either way, so they change nothing.
using PropertyListReadOptions = uint64_t;

using HTTPResponse = std::shared_ptr<const platform::HTTPURLResponse>;
using OptionalRequest = std::optional<platform::URLRequest>;
using OptionalData = std::optional<platform::Bytes>;
using OptionalError = std::optional<AnyError>;

// A serializer: a replaceable closure from (request, response, data, error) to Result<T>.
template <class T>
struct DataResponseSerializer {
    using SerializedObject = T;
    using Closure = std::function<Result<T>(const OptionalRequest&, const HTTPResponse&, const OptionalData&,
                                            const OptionalError&)>;
    explicit DataResponseSerializer(Closure closure) : serializeResponse(std::move(closure)) {}
    Closure serializeResponse;
};

Result<platform::Bytes> serializeResponseData(const HTTPResponse& response, const OptionalData& data,
                                              const OptionalError& error);
// Encoding: the one given, else the response's charset, else ISO Latin 1. Bytes the encoding cannot
// decode fail with stringSerializationFailed carrying the encoding tried.
Result<std::string> serializeResponseString(const std::optional<StringEncoding>& encoding, const HTTPResponse& response,
                                            const OptionalData& data, const OptionalError& error);
Result<platform::Value> serializeResponseJSON(JSONReadingOptions options, const HTTPResponse& response,
                                              const OptionalData& data, const OptionalError& error);
Result<platform::Value> serializeResponsePropertyList(PropertyListReadOptions options, const HTTPResponse& response,
                                                      const OptionalData& data, const OptionalError& error);

// The built-in serializers (the request argument is ignored); each captures its parameter by value.
DataResponseSerializer<platform::Bytes> dataResponseSerializer();
DataResponseSerializer<std::string> stringResponseSerializer(std::optional<StringEncoding> encoding = std::nullopt);
DataResponseSerializer<platform::Value> jsonResponseSerializer(JSONReadingOptions options = {
                                                                   JSONReadingOptions::allowFragments});
DataResponseSerializer<platform::Value> propertyListResponseSerializer(PropertyListReadOptions options = 0);

}  // namespace rivulet
