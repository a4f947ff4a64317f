#include <gtest/gtest.h>

#include "Rivulet/Source/RVError.h"
#include "Rivulet/Source/ResponseSerializer.h"

using namespace rivulet;
using platform::Bytes;
using platform::Value;
using Kind = RVError::ResponseSerializationFailureReason::Kind;

namespace {

HTTPResponse httpResponse(int status, const std::string& contentType = "") {
    platform::HTTPHeaderFields headers;
    if (!contentType.empty()) headers.set("Content-Type", contentType);
    return std::make_shared<const platform::HTTPURLResponse>(*platform::URL::string("https://h.test/"), status,
                                                             "HTTP/1.1", headers);
}

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::optional<Kind> reasonOf(const AnyError* error) {
    if (!error) return std::nullopt;
    auto rv = error->as<RVError>();
    if (!rv || !rv->responseSerializationReason()) return std::nullopt;
    return rv->responseSerializationReason()->kind;
}

}  // namespace

TEST(CoreSerializers, RulesTable) {
    const AnyError taskError(platform::Error::withDescription("NSURLErrorDomain", -1001, "timed out"));
    struct Case {
        const char* name;
        HTTPResponse response;
        std::optional<Bytes> data;
        std::optional<AnyError> error;
        std::optional<Kind> data_, text, json, plist;
    };
    const Case cases[] = {
        {"empty status 204 ignores body", httpResponse(204), bytes("junk"), std::nullopt, {}, {}, {}, {}},
        {"empty status 205 without data", httpResponse(205), std::nullopt, std::nullopt, {}, {}, {}, {}},
        {"200 empty body",
         httpResponse(200),
         Bytes{},
         std::nullopt,
         {},
         {},
         Kind::inputDataNilOrZeroLength,
         Kind::inputDataNilOrZeroLength},
        {"no response no data", nullptr, std::nullopt, std::nullopt, Kind::inputDataNil, Kind::inputDataNil,
         Kind::inputDataNilOrZeroLength, Kind::inputDataNilOrZeroLength},
        {"bad bodies",
         httpResponse(200),
         bytes("{not json"),
         std::nullopt,
         {},
         {},
         Kind::jsonSerializationFailed,
         Kind::propertyListSerializationFailed},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(reasonOf(serializeResponseData(c.response, c.data, c.error).error()), c.data_) << c.name;
        EXPECT_EQ(reasonOf(serializeResponseString(std::nullopt, c.response, c.data, c.error).error()), c.text)
            << c.name;
        EXPECT_EQ(reasonOf(serializeResponseJSON({}, c.response, c.data, c.error).error()), c.json) << c.name;
        EXPECT_EQ(reasonOf(serializeResponsePropertyList(0, c.response, c.data, c.error).error()), c.plist) << c.name;
    }

    // Empty statuses give empty values; JSON and plist give null.
    EXPECT_EQ(*serializeResponseData(httpResponse(204), bytes("x"), std::nullopt).value(), Bytes{});
    EXPECT_EQ(*serializeResponseString(std::nullopt, httpResponse(204), bytes("x"), std::nullopt).value(), "");
    EXPECT_TRUE(serializeResponseJSON({}, httpResponse(205), bytes("x"), std::nullopt).value()->isNull());

    // The task's error wins over everything, unchanged.
    for (auto response : {httpResponse(204), httpResponse(200), HTTPResponse()}) {
        auto r = serializeResponseJSON({}, response, bytes("[1]"), taskError);
        ASSERT_TRUE(r.isFailure());
        ASSERT_NE(r.error()->platformError(), nullptr);
        EXPECT_EQ(r.error()->platformError()->code, -1001);
        EXPECT_TRUE(serializeResponseData(response, bytes("x"), taskError).isFailure());
    }
}

TEST(CoreSerializers, TextEncodingChoice) {
    const Bytes latin1 = {'c', 'a', 'f', 0xE9};
    const Bytes utf8 = bytes("caf\xC3\xA9");
    struct Case {
        const char* name;
        std::optional<StringEncoding> encoding;
        HTTPResponse response;
        Bytes data;
        std::optional<std::string> expected;  // nullopt: stringSerializationFailed
        std::string encodingTried;
    };
    const Case cases[] = {
        {"charset from response", std::nullopt, httpResponse(200, "text/plain; charset=utf-8"), utf8, "caf\xC3\xA9",
         ""},
        {"no charset is Latin 1", std::nullopt, httpResponse(200, "text/plain"), latin1, "caf\xC3\xA9", ""},
        {"no response is Latin 1", std::nullopt, nullptr, latin1, "caf\xC3\xA9", ""},
        {"explicit encoding wins", StringEncoding::isoLatin1(), httpResponse(200, "text/plain; charset=utf-8"), utf8,
         "caf\xC3\x83\xC2\xA9", ""},
        {"undecodable bytes", std::nullopt, httpResponse(200, "text/plain; charset=utf-8"), latin1, std::nullopt,
         "utf-8"},
        {"unknown charset", std::nullopt, httpResponse(200, "text/plain; charset=x-nonsense"), utf8, std::nullopt,
         "x-nonsense"},
        {"utf-16 with byte order mark", std::nullopt, httpResponse(200, "text/plain; charset=utf-16"),
         Bytes{0xFE, 0xFF, 0x00, 'h', 0x00, 'i'}, "hi", ""},
        {"empty body decodes", std::nullopt, httpResponse(200, "text/plain; charset=utf-8"), Bytes{}, "", ""},
    };
    for (const auto& c : cases) {
        auto r = serializeResponseString(c.encoding, c.response, c.data, std::nullopt);
        if (c.expected) {
            ASSERT_TRUE(r.isSuccess()) << c.name << ": " << r.debugDescription();
            EXPECT_EQ(*r.value(), *c.expected) << c.name;
        } else {
            ASSERT_EQ(reasonOf(r.error()), Kind::stringSerializationFailed) << c.name;
            EXPECT_EQ(r.error()->as<RVError>()->responseSerializationReason()->encoding->ianaCharsetName(),
                      c.encodingTried)
                << c.name;
        }
    }
}

TEST(CoreSerializers, JSONAndPropertyListValues) {
    auto object = serializeResponseJSON({}, httpResponse(200), bytes(R"({"a":[1,true,null]})"), std::nullopt);
    ASSERT_TRUE(object.isSuccess());
    EXPECT_EQ(*object.value(), Value::dictionary({{"a", Value::array({1, true, Value()})}}));

    // Fragments only with allowFragments.
    EXPECT_TRUE(serializeResponseJSON({}, httpResponse(200), bytes("42"), std::nullopt).isFailure());
    auto fragment =
        serializeResponseJSON({JSONReadingOptions::allowFragments}, httpResponse(200), bytes("42"), std::nullopt);
    EXPECT_EQ(*fragment.value(), Value(42));

    auto failed = serializeResponseJSON({}, httpResponse(200), bytes("[1,"), std::nullopt);
    EXPECT_EQ(failed.error()->localizedDescription().rfind("JSON could not be serialized because of error:\n", 0), 0u);

    const std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>k</key><array><integer>1</integer><string>s</string></array></dict></plist>)";
    auto plist = serializeResponsePropertyList(0, httpResponse(200), bytes(xml), std::nullopt);
    ASSERT_TRUE(plist.isSuccess()) << plist.debugDescription();
    EXPECT_EQ(*plist.value(), Value::dictionary({{"k", Value::array({1, "s"})}}));

    // The factories run the same functions and ignore the request.
    auto serializer = stringResponseSerializer(StringEncoding::utf8());
    auto copy = serializer;
    serializer.serializeResponse = nullptr;  // a later change does not reach the copy
    EXPECT_EQ(*copy.serializeResponse(std::nullopt, httpResponse(200), bytes("ok"), std::nullopt).value(), "ok");
    EXPECT_TRUE(
        jsonResponseSerializer().serializeResponse(std::nullopt, nullptr, bytes("1"), std::nullopt).isSuccess());
    EXPECT_EQ(emptyDataStatusCodes(), (std::set<int>{204, 205}));
}
