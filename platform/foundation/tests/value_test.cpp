#include "platform/foundation/Value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

namespace platform {
namespace {

struct NumberCase {
    const char* name;
    Value value;
    std::optional<bool> asBool;
    std::optional<int64_t> asInteger;
    std::optional<double> asDouble;
    bool isNumber;
};

TEST(ValueTest, NumberRules) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const NumberCase cases[] = {
        {"true", Value(true), true, 1, 1.0, false},
        {"false", Value(false), false, 0, 0.0, false},
        {"zero", Value(0), false, 0, 0.0, true},
        {"negative", Value(-7), true, -7, -7.0, true},
        {"int64 max", Value(std::numeric_limits<int64_t>::max()), true, std::numeric_limits<int64_t>::max(),
         9223372036854775807.0, true},
        {"fraction truncates", Value(2.9), true, 2, 2.9, true},
        {"negative fraction truncates toward zero", Value(-2.9), true, -2, -2.9, true},
        {"half", Value(0.5), true, 0, 0.5, true},
        {"2^63 does not fit", Value(9223372036854775808.0), true, std::nullopt, 9223372036854775808.0, true},
        {"-2^63 fits", Value(-9223372036854775808.0), true, std::numeric_limits<int64_t>::min(), -9223372036854775808.0,
         true},
        {"infinity", Value(std::numeric_limits<double>::infinity()), true, std::nullopt,
         std::numeric_limits<double>::infinity(), true},
        {"string of digits is not a number", Value("42"), std::nullopt, std::nullopt, std::nullopt, false},
        {"string true is not a bool", Value("true"), std::nullopt, std::nullopt, std::nullopt, false},
        {"null", Value(), std::nullopt, std::nullopt, std::nullopt, false},
        {"array", Value::array({1}), std::nullopt, std::nullopt, std::nullopt, false},
        {"data", Value::data("\x01", 1), std::nullopt, std::nullopt, std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.value.asBool(), c.asBool);
        EXPECT_EQ(c.value.asInteger(), c.asInteger);
        EXPECT_EQ(c.value.asDouble(), c.asDouble);
        EXPECT_EQ(c.value.isNumber(), c.isNumber);
    }
    // NaN is non-zero for asBool and has no integer value.
    EXPECT_EQ(Value(nan).asBool(), true);
    EXPECT_EQ(Value(nan).asInteger(), std::nullopt);
}

TEST(ValueTest, UnsignedAboveInt64BecomesDouble) {
    EXPECT_TRUE(Value(uint64_t(std::numeric_limits<int64_t>::max())).isInteger());
    Value big(std::numeric_limits<uint64_t>::max());
    EXPECT_TRUE(big.isDouble());
    EXPECT_EQ(*big.asDouble(), 18446744073709551616.0);
    EXPECT_TRUE(Value(static_cast<unsigned long long>(1ULL << 63)).isDouble());
}

TEST(ValueTest, Equality) {
    struct Case {
        const char* name;
        Value a, b;
        bool equal;
    };
    const Case cases[] = {
        {"int and integral double", Value(1), Value(1.0), true},
        {"int and fractional double", Value(1), Value(1.5), false},
        {"int64 max and 2^63", Value(std::numeric_limits<int64_t>::max()), Value(9223372036854775808.0), false},
        {"int64 min and -2^63", Value(std::numeric_limits<int64_t>::min()), Value(-9223372036854775808.0), true},
        {"true is not 1", Value(true), Value(1), false},
        {"false is not 0.0", Value(false), Value(0.0), false},
        {"string is not number", Value("1"), Value(1), false},
        {"null is not false", Value(), Value(false), false},
        {"null is null", Value(), Value(nullptr), true},
        {"nested numbers compare by value", Value::dictionary({{"a", Value::array({1, 2.0})}}),
         Value::dictionary({{"a", Value::array({1.0, 2})}}), true},
        {"arrays differ in order", Value::array({1, 2}), Value::array({2, 1}), false},
        {"dictionaries differ in a key", Value::dictionary({{"a", 1}}), Value::dictionary({{"b", 1}}), false},
        {"data", Value::data("ab", 2), Value::data("ab", 2), true},
        {"data vs string", Value::data("ab", 2), Value("ab"), false},
        {"dates", Value(Date{5}), Value(Date{5}), true},
        {"date vs number", Value(Date{5}), Value(5.0), false},
        {"NaN never equals", Value(std::nan("")), Value(std::nan("")), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.a == c.b, c.equal);
        EXPECT_EQ(c.b == c.a, c.equal);
    }
}

TEST(ValueTest, NullIsNotAbsent) {
    Value d = Value::dictionary({{"present", Value()}, {"n", 1}});
    ASSERT_NE(d.find("present"), nullptr);
    EXPECT_TRUE(d.find("present")->isNull());
    EXPECT_EQ(d.find("absent"), nullptr);
    EXPECT_TRUE(d.contains("present"));
    EXPECT_FALSE(d.contains("absent"));
    // operator[] folds both into a null, by design.
    EXPECT_TRUE(d["absent"].isNull());
    EXPECT_TRUE(d["present"].isNull());
    // Not a dictionary: nothing is found and nothing throws.
    EXPECT_EQ(Value(3).find("n"), nullptr);
    EXPECT_TRUE(Value("s")["n"].isNull());
}

TEST(ValueTest, TypedAccessorsNeverTrustShape) {
    Value v = Value::dictionary({{"name", "x"}, {"list", Value::array({1})}});
    EXPECT_EQ(v["name"].asArray(), nullptr);
    EXPECT_EQ(v["list"].asString(), nullptr);
    EXPECT_EQ(v["list"].stringOr("fallback"), "fallback");
    EXPECT_EQ(v["name"].integerOr(-1), -1);
    EXPECT_TRUE(v["list"].at(5).isNull());
    EXPECT_TRUE(v["name"].at(0).isNull());
    EXPECT_EQ(v["name"].asDate(), std::nullopt);
    EXPECT_EQ(v.asObject(), nullptr);
    const char* nothing = nullptr;
    EXPECT_TRUE(Value(nothing).isNull());
}

TEST(ValueTest, MutationAndCopies) {
    Value v;
    v.set("a", 1);  // null turns into a dictionary
    EXPECT_TRUE(v.isDictionary());
    Value list;
    list.push("x");  // null turns into an array
    v.set("list", list);
    Value copy = v;
    copy.find("list")->push("y");
    EXPECT_EQ(v["list"].size(), 1u) << "copies share nothing";
    EXPECT_EQ(copy["list"].size(), 2u);
    EXPECT_TRUE(v.erase("a"));
    EXPECT_FALSE(v.erase("a"));

    Value s("text");
    EXPECT_THROW(s.set("k", 1), std::logic_error);
    EXPECT_THROW(s.push(1), std::logic_error);
    EXPECT_EQ(s.size(), 4u);
    EXPECT_EQ(Value(5).size(), 0u);
}

TEST(ValueTest, DescriptionOfNestedContainers) {
    Value v = Value::dictionary({
        {"name", "Tesmar"},
        {"two words", "a b"},
        {"count", 3},
        {"ratio", 0.25},
        {"on", true},
        {"nothing", Value()},
        {"bytes", Value::data("\x01\x02\x03\x04\x05", 5)},
        {"list", Value::array({1, "x", Value::array(), Value::dictionary({{"k", "quote\"d"}})})},
        {"empty", Value::dictionary()},
    });
    const std::string expected = "{\n"
                                 "    bytes = <01020304 05>;\n"
                                 "    count = 3;\n"
                                 "    empty = {\n"
                                 "    };\n"
                                 "    list = (\n"
                                 "        1,\n"
                                 "        x,\n"
                                 "        (\n"
                                 "        ),\n"
                                 "        {\n"
                                 "            k = \"quote\\\"d\";\n"
                                 "        }\n"
                                 "    );\n"
                                 "    name = Tesmar;\n"
                                 "    nothing = \"<null>\";\n"
                                 "    on = 1;\n"
                                 "    ratio = 0.25;\n"
                                 "    \"two words\" = \"a b\";\n"
                                 "}";
    EXPECT_EQ(v.description(), expected);
    // Top-level strings are bare, whatever they contain.
    EXPECT_EQ(Value("a b").description(), "a b");
    EXPECT_EQ(Value(0.1).description(), "0.1");
    EXPECT_EQ(Value(1e300).description(), "1e+300");
}

}  // namespace
}  // namespace platform
