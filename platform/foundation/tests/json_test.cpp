#include "platform/foundation/JSON.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace platform::json {
namespace {

std::string compact(const Value& v) {
    auto text = write(v, WriteOptions{.allowFragments = true});
    return text ? *text : "<error: " + text.error().localizedDescription() + ">";
}

TEST(JSONTest, ReadsAndWritesBack) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"[]", "[]"},
        {"{}", "{}"},
        {" [ 1 , -2 , 0 , -0 ] ", "[1,-2,0,0]"},
        {"[1.5, -0.25, 1e2, 1E-2, 2.0]", "[1.5,-0.25,100.0,0.01,2.0]"},
        {"[true, false, null]", "[true,false,null]"},
        {R"({"b": 1, "a": {"c": [[]]}})", R"({"a":{"c":[[]]},"b":1})"},  // keys come out sorted
        {R"({"k": 1, "k": 2})", R"({"k":2})"},                           // the last duplicate wins
        {R"(["a\"b\\c\/d\b\f\n\r\t"])", R"(["a\"b\\c/d\b\f\n\r\t"])"},
        {R"(["\u0001\u001f"])", R"(["\u0001\u001f"])"},
        {R"(["\u00e9\u4e2d"])", "[\"\xC3\xA9\xE4\xB8\xAD\"]"},
        {R"(["\ud83d\ude00"])", "[\"\xF0\x9F\x98\x80\"]"},  // surrogate pair -> one 4-byte character
        {"[\"\xF0\x9F\x98\x80\"]", "[\"\xF0\x9F\x98\x80\"]"},
        {"\xEF\xBB\xBF[1]", "[1]"},  // byte order mark
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        auto v = read(std::string_view(c.in));
        ASSERT_TRUE(v.ok()) << v.error().localizedDescription();
        EXPECT_EQ(compact(*v), c.out);
        // And what we write reads back to the same value.
        auto again = read(std::string_view(compact(*v)));
        ASSERT_TRUE(again.ok());
        EXPECT_EQ(*again, *v);
    }
}

TEST(JSONTest, ContainersBuiltInPlace) {
    struct Case {
        const char* what;
        std::string in;
        std::string out;
    };
    const std::string longText(100, 'x');  // past any small-string buffer
    std::string many = "[", manyOut = "[";
    for (int i = 0; i < 2000; ++i) {
        // Arrays grow (and move their elements) while each element's own containers are filled.
        const std::string item = "[" + std::to_string(i) + R"(,{"k":[)" + std::to_string(i) + R"(,[]],"a":{}}])";
        many += (i ? "," : "") + item;
        manyOut += (i ? "," : "") + ("[" + std::to_string(i) + R"(,{"a":{},"k":[)" + std::to_string(i) + ",[]]}]");
    }
    many += "]";
    manyOut += "]";
    const Case cases[] = {
        {"a duplicate container replaced by a scalar", R"({"k":[1,{"a":2}],"k":3})", R"({"k":3})"},
        {"a duplicate scalar replaced by a container", R"({"k":3,"k":{"b":[4]}})", R"({"k":{"b":[4]}})"},
        {"a duplicate container replaced by a container", R"({"k":{"a":1},"k":[2],"z":0})", R"({"k":[2],"z":0})"},
        {"siblings after a closed nested object", R"({"a":{"b":{"c":1}},"d":[[],[{}]],"e":2})",
         R"({"a":{"b":{"c":1}},"d":[[],[{}]],"e":2})"},
        {"long keys and values", "{\"" + longText + "\":[\"" + longText + "\",\"" + longText + "y\"]}",
         "{\"" + longText + "\":[\"" + longText + "\",\"" + longText + "y\"]}"},
        {"many elements holding containers", many, manyOut},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto v = read(std::string_view(c.in));
        ASSERT_TRUE(v.ok()) << v.error().localizedDescription();
        EXPECT_EQ(compact(*v), c.out);
    }
}

TEST(JSONTest, NumberTypes) {
    struct Case {
        const char* text;
        Value::Type type;
        double value;
    };
    const Case cases[] = {
        {"[9223372036854775807]", Value::Type::Integer, 9223372036854775807.0},
        {"[-9223372036854775808]", Value::Type::Integer, -9223372036854775808.0},
        {"[9223372036854775808]", Value::Type::Double, 9223372036854775808.0},
        {"[18446744073709551615]", Value::Type::Double, 18446744073709551615.0},
        {"[123456789012345678901234567890]", Value::Type::Double, 123456789012345678901234567890.0},
        {"[-9223372036854775809]", Value::Type::Double, -9223372036854775809.0},
        {"[1.0]", Value::Type::Double, 1.0},
        {"[1e2]", Value::Type::Double, 100.0},
        {"[42]", Value::Type::Integer, 42.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto v = read(std::string_view(c.text));
        ASSERT_TRUE(v.ok()) << v.error().localizedDescription();
        EXPECT_EQ(v->at(0).type(), c.type);
        EXPECT_EQ(*v->at(0).asDouble(), c.value);
    }
    auto exact = read(std::string_view("[9223372036854775807, -9223372036854775808]"));
    EXPECT_EQ(*exact->at(0).asInteger(), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(*exact->at(1).asInteger(), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(compact(*exact), "[9223372036854775807,-9223372036854775808]");
}

TEST(JSONTest, Fragments) {
    for (const char* text : {"3", "\"s\"", "null", "true", "-1.5"}) {
        SCOPED_TRACE(text);
        auto refused = read(std::string_view(text));
        ASSERT_FALSE(refused.ok());
        EXPECT_EQ(refused.error().code, kJSONReadErrorCode);
        EXPECT_NE(refused.error().localizedDescription().find("fragments"), std::string::npos);
        auto allowed = read(std::string_view(text), ReadOptions{.allowFragments = true});
        ASSERT_TRUE(allowed.ok()) << allowed.error().localizedDescription();
        EXPECT_FALSE(allowed->isArray() || allowed->isDictionary());
    }
    EXPECT_EQ(*read(std::string_view("\"s\""), ReadOptions{.allowFragments = true}), Value("s"));

    auto w = write(Value(3));
    ASSERT_FALSE(w.ok());
    EXPECT_EQ(w.error().code, kJSONWriteErrorCode);
    EXPECT_EQ(*write(Value(3), WriteOptions{.allowFragments = true}), "3");
    EXPECT_EQ(*write(Value("x"), WriteOptions{.allowFragments = true}), "\"x\"");
}

TEST(JSONTest, DepthCap) {
    auto nested = [](size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    EXPECT_TRUE(read(std::string_view(nested(512))).ok());
    auto tooDeep = read(std::string_view(nested(513)));
    ASSERT_FALSE(tooDeep.ok());
    EXPECT_NE(tooDeep.error().localizedDescription().find("nesting deeper than 512"), std::string::npos);
    EXPECT_EQ(tooDeep.error().userInfo["NSJSONSerializationErrorIndex"], Value(512));

    // Far deeper than any stack could take: refused, not crashed (and not even closed).
    auto hostile = read(std::string_view(std::string(200000, '[')));
    ASSERT_FALSE(hostile.ok());
    EXPECT_EQ(hostile.error().code, kJSONReadErrorCode);

    std::string objects;
    for (int i = 0; i < 5; ++i) objects += "{\"k\":";
    objects += "1}}}}}";
    EXPECT_TRUE(read(std::string_view(objects), ReadOptions{.maxDepth = 5}).ok());
    EXPECT_FALSE(read(std::string_view(objects), ReadOptions{.maxDepth = 4}).ok());
}

TEST(JSONTest, SizeCap) {
    const std::string text = "[1,2,3,4,5]";  // 11 bytes
    EXPECT_TRUE(read(std::string_view(text), ReadOptions{.maxBytes = 11}).ok());
    auto r = read(std::string_view(text), ReadOptions{.maxBytes = 10});
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().domain, kCocoaErrorDomain);
    EXPECT_EQ(r.error().code, kJSONReadErrorCode);
    EXPECT_NE(r.error().localizedDescription().find("limit of 10 bytes"), std::string::npos);
}

TEST(JSONTest, BadInputNamesTheOffset) {
    struct Case {
        const char* name;
        std::string text;
        size_t offset;
        const char* mentions;
    };
    const Case cases[] = {
        {"empty", "", 0, "end of file"},
        {"trailing comma", "[1,]", 3, "unexpected ']'"},
        {"bad literal", "{\"a\":tru}", 8, "invalid literal"},
        {"trailing garbage", "[1] x", 4, "expected end of input"},
        {"unterminated string", "[\"abc", 5, "missing closing quote"},
        {"lone high surrogate", "[\"\\ud800\"]", 8, "surrogate"},
        {"lone low surrogate", "[\"\\udc00\"]", 7, "surrogate"},
        {"raw control character", std::string("[\"a\x01\"]"), 3, "control character"},
        {"invalid UTF-8", "[\"\xC3\x28\"]", 3, "UTF-8"},
        {"number overflow", "[1e999]", 5, "overflow"},
        {"single quotes", "['a']", 1, "invalid literal"},
        {"comment", "[1 /* c */]", 3, ""},
        {"unclosed", "[1,2", 4, "unexpected end of input"},
        {"NUL byte", std::string("[1\0]", 4), 2, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = read(std::string_view(c.text));
        ASSERT_FALSE(r.ok());
        const Error& e = r.error();
        EXPECT_EQ(e.domain, kCocoaErrorDomain);
        EXPECT_EQ(e.code, kJSONReadErrorCode);
        EXPECT_EQ(e.userInfo["NSJSONSerializationErrorIndex"], Value(int64_t(c.offset)));
        const std::string description = e.localizedDescription();
        EXPECT_NE(description.find("(at byte " + std::to_string(c.offset) + ")"), std::string::npos) << description;
        EXPECT_NE(description.find(c.mentions), std::string::npos) << description;
        EXPECT_EQ(description.find("[json.exception"), std::string::npos) << "library prefix leaked";
    }
}

TEST(JSONTest, WriteRefusesWhatJSONCannotHold) {
    struct Case {
        const char* name;
        Value value;
    };
    const Case cases[] = {
        {"NaN", Value::array({std::nan("")})},
        {"infinity", Value::array({std::numeric_limits<double>::infinity()})},
        {"negative infinity", Value::dictionary({{"x", -std::numeric_limits<double>::infinity()}})},
        {"data", Value::array({Value::data("ab", 2)})},
        {"date", Value::dictionary({{"when", Date{0}}})},
        {"object", Value::array({ObjectHandle()})},
        {"invalid UTF-8 string", Value::array({"\xC3\x28"})},
        {"invalid UTF-8 key", Value::dictionary({{"\xFF", 1}})},
        {"deep inside", Value::array({Value::dictionary({{"a", Value::array({1, std::nan("")})}})})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto w = write(c.value);
        ASSERT_FALSE(w.ok());
        EXPECT_EQ(w.error().domain, kCocoaErrorDomain);
        EXPECT_EQ(w.error().code, kJSONWriteErrorCode);
        EXPECT_FALSE(write(c.value, WriteOptions{.prettyPrinted = true}).ok());
        EXPECT_FALSE(isValidJSONObject(c.value));
    }
    EXPECT_TRUE(isValidJSONObject(Value::dictionary({{"a", Value::array({1, "x", Value(), true, 2.5})}})));
    EXPECT_FALSE(isValidJSONObject(Value("top-level string")));
}

TEST(JSONTest, WriteEscapes) {
    Value v = Value::array({std::string("q\"b\\s/\n\t\x01\x7f", 10), "\xC3\xA9", std::string("nul\0x", 5)});
    EXPECT_EQ(compact(v), "[\"q\\\"b\\\\s/\\n\\t\\u0001\x7f\",\"\xC3\xA9\",\"nul\\u0000x\"]");
    auto back = read(std::string_view(compact(v)));
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(*back, v);
}

TEST(JSONTest, PrettyOutput) {
    Value v = Value::dictionary({
        {"name", "Tesmar"},
        {"list", Value::array({1, 2.5, Value::dictionary({{"ok", true}})})},
        {"empty", Value::array()},
        {"none", Value::dictionary()},
        {"nothing", Value()},
    });
    const std::string expected = "{\n"
                                 "  \"empty\": [],\n"
                                 "  \"list\": [\n"
                                 "    1,\n"
                                 "    2.5,\n"
                                 "    {\n"
                                 "      \"ok\": true\n"
                                 "    }\n"
                                 "  ],\n"
                                 "  \"name\": \"Tesmar\",\n"
                                 "  \"none\": {},\n"
                                 "  \"nothing\": null\n"
                                 "}";
    auto text = write(v, WriteOptions{.prettyPrinted = true});
    ASSERT_TRUE(text.ok());
    EXPECT_EQ(*text, expected);
    EXPECT_EQ(*write(v), R"({"empty":[],"list":[1,2.5,{"ok":true}],"name":"Tesmar","none":{},"nothing":null})");
    EXPECT_EQ(*read(std::string_view(expected)), v);
}

TEST(JSONTest, ReadsBytes) {
    const std::string text = R"({"a":[1,"x"]})";
    auto v = read(Bytes(text.begin(), text.end()));
    ASSERT_TRUE(v.ok());
    EXPECT_EQ((*v)["a"].at(1), Value("x"));
}

}  // namespace
}  // namespace platform::json
