#pragma once
// Parameter encodings: put a Parameters dictionary into a request as a query string, a URL-form body,
// a JSON body or a property-list body.
//
// Every encoding first converts the request (a failure passes through unchanged) and returns it
// untouched when the parameters are absent; an empty dictionary is not absent. "Content-Type" is set
// only when the request carries none. Encodings are immutable values; encode() is pure and may run on
// any thread.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Rivulet/Source/RVError.h"
#include "Rivulet/Source/Result.h"
#include "Rivulet/Source/URLConvertible.h"
#include "platform/foundation/URLRequest.h"
#include "platform/foundation/Value.h"

namespace rivulet {

class ParameterEncoding {
public:
    virtual ~ParameterEncoding() = default;
    virtual Result<platform::URLRequest> encode(const URLRequestConvertible& request,
                                                const std::optional<Parameters>& parameters) const = 0;
};

class URLEncoding final : public ParameterEncoding {
public:
    enum class Destination : uint8_t { methodDependent, queryString, httpBody };
    enum class ArrayEncoding : uint8_t { brackets, noBrackets };
    enum class BoolEncoding : uint8_t { numeric, literal };

    explicit URLEncoding(Destination destination = Destination::methodDependent,
                         ArrayEncoding arrayEncoding = ArrayEncoding::brackets,
                         BoolEncoding boolEncoding = BoolEncoding::numeric)
        : destination_(destination), arrayEncoding_(arrayEncoding), boolEncoding_(boolEncoding) {}

    // methodDependent / queryString / httpBody, each with brackets and numeric bools.
    static URLEncoding Default() { return URLEncoding(); }
    static URLEncoding queryString() { return URLEncoding(Destination::queryString); }
    static URLEncoding httpBody() { return URLEncoding(Destination::httpBody); }

    Destination destination() const { return destination_; }
    ArrayEncoding arrayEncoding() const { return arrayEncoding_; }
    BoolEncoding boolEncoding() const { return boolEncoding_; }

    // Query for GET, HEAD and DELETE under methodDependent (or always under queryString), appended
    // to an existing query with "&"; otherwise a form body (also for a method string outside the
    // nine). A query target without a URL fails with missingURL.
    Result<platform::URLRequest> encode(const URLRequestConvertible& request,
                                        const std::optional<Parameters>& parameters) const override;

    // Keys sorted, pairs joined with "&"; every key and value percent-encoded.
    std::string query(const Parameters& parameters) const;
    // The escaped (key, value) pairs of one parameter; nested keys as key[sub] and key[] (escaped).
    std::vector<std::pair<std::string, std::string>> queryComponents(const std::string& key,
                                                                     const platform::Value& value) const;
    // Percent-encodes everything but ASCII letters, digits and "-._~/?" (UTF-8 bytes, always).
    static std::string escape(std::string_view string);

private:
    template <class Sink>
    void visitComponents(const std::string& key, const platform::Value& value, Sink& sink) const;
    Destination destination_;
    ArrayEncoding arrayEncoding_;
    BoolEncoding boolEncoding_;
};

// JSON writing options, as raw option bits.
struct JSONWritingOptions {
    static constexpr uint32_t prettyPrinted = 1;
    static constexpr uint32_t sortedKeys = 2;
    uint32_t rawValue = 0;
};

class JSONEncoding final : public ParameterEncoding {
public:
    explicit JSONEncoding(JSONWritingOptions options = {}) : options_(options) {}
    static JSONEncoding Default() { return JSONEncoding(); }
    static JSONEncoding prettyPrinted() { return JSONEncoding({JSONWritingOptions::prettyPrinted}); }

    JSONWritingOptions options() const { return options_; }

    // A value JSON cannot hold (NaN, infinities, data, dates, objects) fails with jsonEncodingFailed.
    Result<platform::URLRequest> encode(const URLRequestConvertible& request,
                                        const std::optional<Parameters>& parameters) const override;
    // Any JSON object (array or dictionary); another top level fails with jsonEncodingFailed.
    Result<platform::URLRequest> encodeJSONObject(const URLRequestConvertible& request,
                                                  const std::optional<platform::Value>& jsonObject) const;

private:
    JSONWritingOptions options_;
};

enum class PropertyListFormat : uint32_t { xml = 100, binary = 200 };

class PropertyListEncoding final : public ParameterEncoding {
public:
    explicit PropertyListEncoding(PropertyListFormat format = PropertyListFormat::xml, uint64_t options = 0)
        : format_(format), options_(options) {}
    static PropertyListEncoding Default() { return PropertyListEncoding(); }
    static PropertyListEncoding xml() { return PropertyListEncoding(PropertyListFormat::xml); }
    static PropertyListEncoding binary() { return PropertyListEncoding(PropertyListFormat::binary); }

    PropertyListFormat format() const { return format_; }
    uint64_t options() const { return options_; }

    // A value a property list cannot hold (null, objects, ...) fails with propertyListEncodingFailed.
    Result<platform::URLRequest> encode(const URLRequestConvertible& request,
                                        const std::optional<Parameters>& parameters) const override;

private:
    PropertyListFormat format_;
    uint64_t options_;
};

}  // namespace rivulet
