#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>

#include "Rivulet/Source/ParameterEncoding.h"

using namespace rivulet;
using platform::URLRequest;
using platform::Value;

namespace {

URLRequest requestFor(const std::string& url, const std::string& method) {
    URLRequest request(*platform::URL::string(url));
    request.setHTTPMethod(method);
    return request;
}

std::string bodyText(const URLRequest& request) {
    const auto& body = request.HTTPBody();
    return body ? std::string(body->begin(), body->end()) : std::string("<none>");
}

Parameters params(std::initializer_list<std::pair<const std::string, Value>> items) { return Parameters(items); }

const RVError* rvError(const AnyError* error) { return error ? error->as<RVError>() : nullptr; }

}  // namespace

TEST(CoreURLEncoding, QueryTextTable) {
    struct Case {
        const char* name;
        URLEncoding encoding;
        Parameters parameters;
        std::string expected;
    };
    const URLEncoding literalNoBrackets(URLEncoding::Destination::methodDependent,
                                        URLEncoding::ArrayEncoding::noBrackets, URLEncoding::BoolEncoding::literal);
    const Case cases[] = {
        {"sorted keys", URLEncoding::Default(), params({{"z", 1}, {"a", 2}}), "a=2&z=1"},
        {"array with brackets", URLEncoding::Default(), params({{"a", Value::array({1, 2})}}), "a%5B%5D=1&a%5B%5D=2"},
        {"array without brackets", literalNoBrackets, params({{"a", Value::array({1, 2})}}), "a=1&a=2"},
        {"nested dictionary", URLEncoding::Default(), params({{"a", Value::dictionary({{"b", 1}})}}), "a%5Bb%5D=1"},
        {"deep nesting", URLEncoding::Default(),
         params({{"a", Value::dictionary({{"b", Value::array({Value::dictionary({{"c", "x"}})})}})}}),
         "a%5Bb%5D%5B%5D%5Bc%5D=x"},
        {"bool numeric", URLEncoding::Default(), params({{"f", true}, {"g", false}}), "f=1&g=0"},
        {"bool literal", literalNoBrackets, params({{"f", true}, {"g", false}}), "f=true&g=false"},
        {"numbers", URLEncoding::Default(), params({{"d", 1.5}, {"i", 42}, {"n", -7}}), "d=1.5&i=42&n=-7"},
        {"escaping", URLEncoding::Default(), params({{"q", "a b&c"}}), "q=a%20b%26c"},
        {"delimiters always escaped", URLEncoding::Default(), params({{"k=&", "!$'()*+,;=:#[]@"}}),
         "k%3D%26=%21%24%27%28%29%2A%2B%2C%3B%3D%3A%23%5B%5D%40"},
        {"slash and question mark kept", URLEncoding::Default(), params({{"p", "/a?b-c._~"}}), "p=/a?b-c._~"},
        {"utf-8 bytes", URLEncoding::Default(), params({{"e", "\xC3\xA9"}}), "e=%C3%A9"},
        {"empty containers add nothing", URLEncoding::Default(),
         params({{"a", Value::array()}, {"b", Value::dictionary()}, {"c", ""}}), "c="},
        {"empty dictionary", URLEncoding::Default(), params({}), ""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.encoding.query(c.parameters), c.expected) << c.name;
}

TEST(CoreURLEncoding, InvalidUTF8IsStillFullyEscaped) {
    // Bytes that are not UTF-8 must not slip "&" or "=" into the query unescaped.
    const std::string raw = std::string("a&b=c") + char(0xFF) + char(0xC3);
    EXPECT_EQ(URLEncoding::escape(raw), "a%26b%3Dc%FF%C3");
}

TEST(CoreURLEncoding, EveryByteIsKeptOrEscapedAsUpperCaseHex) {
    const std::string kept = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~/?";
    std::string all, expected;
    for (int b = 0; b < 256; ++b) {
        const char c = char(b);
        all += c;
        if (kept.find(c) != std::string::npos) {
            expected += c;
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", b);
            expected += hex;
        }
    }
    EXPECT_EQ(URLEncoding::escape(all), expected);
    // The same bytes as a long value and key: escaped alike inside a query, between the pairs' "&" and "=".
    EXPECT_EQ(URLEncoding::Default().query(params({{all, all}, {"plain", "text"}})),
              expected + "=" + expected + "&plain=text");
}

TEST(CoreURLEncoding, DestinationByMethodTable) {
    struct Case {
        const char* name;
        URLEncoding encoding;
        std::string method;
        bool inQuery;
    };
    const Case cases[] = {
        {"GET default", URLEncoding::Default(), "GET", true},
        {"HEAD default", URLEncoding::Default(), "HEAD", true},
        {"DELETE default", URLEncoding::Default(), "DELETE", true},
        {"POST default", URLEncoding::Default(), "POST", false},
        {"PUT default", URLEncoding::Default(), "PUT", false},
        {"POST queryString", URLEncoding::queryString(), "POST", true},
        {"GET httpBody", URLEncoding::httpBody(), "GET", false},
        {"lower-case get is unlisted", URLEncoding::queryString(), "get", false},
        {"unknown method", URLEncoding::Default(), "PROPFIND", false},
    };
    for (const auto& c : cases) {
        auto result = c.encoding.encode(requestFor("https://h.test/p", c.method), params({{"b", 2}}));
        ASSERT_TRUE(result.isSuccess()) << c.name;
        const URLRequest& r = *result.value();
        if (c.inQuery) {
            EXPECT_EQ(r.url()->absoluteString(), "https://h.test/p?b=2") << c.name;
            EXPECT_FALSE(r.HTTPBody()) << c.name;
        } else {
            EXPECT_EQ(r.url()->absoluteString(), "https://h.test/p") << c.name;
            EXPECT_EQ(bodyText(r), "b=2") << c.name;
            EXPECT_EQ(r.valueForHTTPHeaderField("Content-Type"), "application/x-www-form-urlencoded; charset=utf-8")
                << c.name;
        }
    }
}

TEST(CoreURLEncoding, QueryAppendsToExistingQuery) {
    const std::pair<const char*, const char*> cases[] = {
        {"https://h.test/p?a=1", "https://h.test/p?a=1&b=2"},
        {"https://h.test/p?", "https://h.test/p?&b=2"},
        {"https://h.test/p?a=1#frag", "https://h.test/p?a=1&b=2#frag"},
    };
    for (const auto& [in, out] : cases) {
        auto result = URLEncoding::Default().encode(requestFor(in, "GET"), params({{"b", 2}}));
        ASSERT_TRUE(result.isSuccess()) << in;
        EXPECT_EQ(result.value()->url()->absoluteString(), out) << in;
    }
    // An empty dictionary leaves the URL as it was.
    auto unchanged = URLEncoding::Default().encode(requestFor("https://h.test/p", "GET"), params({}));
    EXPECT_EQ(unchanged.value()->url()->absoluteString(), "https://h.test/p");
}

TEST(CoreURLEncoding, BodyKeepsExistingContentTypeAndEmptyDictionaryStillSetsIt) {
    auto request = requestFor("https://h.test/p", "POST");
    request.setValue(std::string("text/custom"), "content-type");
    auto kept = URLEncoding::Default().encode(request, params({{"b", 2}}));
    EXPECT_EQ(kept.value()->valueForHTTPHeaderField("Content-Type"), "text/custom");

    auto empty = URLEncoding::Default().encode(requestFor("https://h.test/p", "POST"), params({}));
    EXPECT_EQ(bodyText(*empty.value()), "");
    EXPECT_EQ(empty.value()->valueForHTTPHeaderField("Content-Type"),
              "application/x-www-form-urlencoded; charset=utf-8");
}

TEST(CoreURLEncoding, MissingURLOnQueryTargetFails) {
    URLRequest noURL;
    auto result = URLEncoding::Default().encode(noURL, params({{"a", 1}}));
    auto error = rvError(result.error());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->errorDescription(), "URL request to encode was missing a URL");
}

TEST(CoreParameterEncoding, AbsentParametersLeaveRequestUntouched) {
    auto request = requestFor("https://h.test/p?x=1", "POST");
    request.setValue(std::string("v"), "X-Custom");
    const ParameterEncoding* encodings[] = {new URLEncoding(), new JSONEncoding(), new PropertyListEncoding()};
    for (auto* encoding : encodings) {
        auto result = encoding->encode(request, std::nullopt);
        ASSERT_TRUE(result.isSuccess());
        EXPECT_EQ(result.value()->url(), request.url());
        EXPECT_EQ(result.value()->allHTTPHeaderFields(), request.allHTTPHeaderFields());
        EXPECT_FALSE(result.value()->HTTPBody());
        delete encoding;
    }
}

TEST(CoreParameterEncoding, ConversionFailurePassesThrough) {
    auto failing = URLRequestConvertible::fromFunction(
        [] { return Result<URLRequest>(AnyError(RVError::invalidURL(std::string("bad url")))); });
    auto result = JSONEncoding::Default().encode(failing, params({{"a", 1}}));
    auto error = rvError(result.error());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->kind(), RVError::Case::invalidURL);
    EXPECT_FALSE(failing.urlRequest());
}

TEST(CoreJSONEncoding, BodyAndContentType) {
    auto result = JSONEncoding::Default().encode(requestFor("https://h.test/", "POST"), params({{"player-id", "p1"}}));
    EXPECT_EQ(bodyText(*result.value()), R"({"player-id":"p1"})");
    EXPECT_EQ(result.value()->valueForHTTPHeaderField("Content-Type"), "application/json");

    auto pretty = JSONEncoding::prettyPrinted().encode(requestFor("https://h.test/", "POST"), params({{"a", 1}}));
    EXPECT_NE(bodyText(*pretty.value()).find('\n'), std::string::npos);

    auto array =
        JSONEncoding::Default().encodeJSONObject(requestFor("https://h.test/", "POST"), Value::array({1, "x"}));
    EXPECT_EQ(bodyText(*array.value()), R"([1,"x"])");
}

TEST(CoreJSONEncoding, UnrepresentableValuesFailWithJSONEncodingFailed) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* name;
        std::optional<Value> object;
    };
    const Case cases[] = {
        {"NaN", Value::dictionary({{"a", nan}})},
        {"infinity", Value::dictionary({{"a", Value::array({-inf})}})},
        {"data", Value::dictionary({{"a", Value::data("x", 1)}})},
        {"date", Value::dictionary({{"a", platform::Date{5}}})},
        {"invalid UTF-8", Value::dictionary({{"a", std::string("\xFF")}})},
        {"string top level", Value("text")},
        {"number top level", Value(1)},
        {"null top level", Value()},
    };
    for (const auto& c : cases) {
        auto result = JSONEncoding::Default().encodeJSONObject(requestFor("https://h.test/", "POST"), c.object);
        auto error = rvError(result.error());
        ASSERT_NE(error, nullptr) << c.name;
        ASSERT_NE(error->parameterEncodingReason(), nullptr) << c.name;
        EXPECT_EQ(error->parameterEncodingReason()->kind,
                  RVError::ParameterEncodingFailureReason::Kind::jsonEncodingFailed)
            << c.name;
        EXPECT_EQ(error->errorDescription().rfind("JSON could not be encoded because of error:\n", 0), 0u) << c.name;
    }
}

TEST(CorePropertyListEncoding, FormatsAndFailure) {
    auto xml = PropertyListEncoding::xml().encode(requestFor("https://h.test/", "POST"), params({{"a", 1}}));
    EXPECT_NE(bodyText(*xml.value()).find("<plist"), std::string::npos);
    EXPECT_EQ(xml.value()->valueForHTTPHeaderField("Content-Type"), "application/x-plist");

    auto binary = PropertyListEncoding::binary().encode(requestFor("https://h.test/", "POST"), params({{"a", 1}}));
    EXPECT_EQ(bodyText(*binary.value()).rfind("bplist00", 0), 0u);

    auto bad = PropertyListEncoding::Default().encode(requestFor("https://h.test/", "POST"), params({{"a", Value()}}));
    auto error = rvError(bad.error());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->parameterEncodingReason()->kind,
              RVError::ParameterEncodingFailureReason::Kind::propertyListEncodingFailed);
}

TEST(CoreRequestBuilding, BuilderAndConversions) {
    auto built = makeURLRequest("https://h.test/x", HTTPMethod::patch, HTTPHeaders{{"Accept", "a"}, {"accept", "b"}});
    ASSERT_TRUE(built.isSuccess());
    EXPECT_EQ(built.value()->HTTPMethod(), "PATCH");
    EXPECT_EQ(built.value()->timeoutInterval(), 60.0);
    EXPECT_EQ(built.value()->cachePolicy(), platform::URLRequestCachePolicy::UseProtocolCachePolicy);
    EXPECT_EQ(built.value()->valueForHTTPHeaderField("Accept"), "b");  // the pair iterated last wins
    EXPECT_EQ(built.value()->allHTTPHeaderFields().size(), 1u);

    auto empty = makeURLRequest("", HTTPMethod::get);
    auto error = rvError(empty.error());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(std::get<std::string>(*error->invalidURLPayload()), "");
    EXPECT_EQ(error->errorDescription(), "URL is not valid: ");

    EXPECT_EQ(HTTPMethodFromRawValue("GET"), HTTPMethod::get);
    EXPECT_EQ(HTTPMethodFromRawValue("get"), std::nullopt);
    EXPECT_EQ(HTTPMethodFromRawValue("DELETE "), std::nullopt);
    for (int i = 0; i <= 8; ++i) {
        auto m = static_cast<HTTPMethod>(i);
        EXPECT_EQ(HTTPMethodFromRawValue(rawValue(m)), m);
    }
}
