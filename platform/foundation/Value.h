#pragma once
// Value: the one dynamic value of the system. It carries JSON, property lists, user defaults,
// notification user info and request parameters.
//
// - Bool is never a number: isNumber() is false for a bool and a bool never equals 1.
// - Null is a value (JSON null); an absent key is reported by find() returning nullptr.
// - Dictionaries keep their keys sorted.
// - Accessors are checked: as*() answers nullptr / std::nullopt when the value has another type, so code
//   never trusts the shape of data that came from outside.
// - Numbers follow the platform's number rules: an integer or a double answers asBool() (non-zero), and
//   asInteger() / asDouble() convert between the two (a double is truncated toward zero, and must fit);
//   a bool answers asInteger() 0/1 too, as a platform number would. Strings are never silently numbers.
//
// A Value is a plain value type: copies are deep (containers share nothing), and it is not synchronised.
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/foundation/Date.h"

namespace platform {

namespace objc {
class Object;  // a runtime object carried by handle (platform/objc)
}

class Value;
using Bytes = std::vector<uint8_t>;
using ValueArray = std::vector<Value>;
using ValueDictionary = std::map<std::string, Value, std::less<>>;
using ObjectHandle = std::shared_ptr<objc::Object>;

class Value {
public:
    enum class Type { Null, Bool, Integer, Double, String, Data, Date, Array, Dictionary, Object };

    Value() = default;  // null
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(int64_t(i)) {}
    Value(long i) : v_(int64_t(i)) {}
    Value(long long i) : v_(int64_t(i)) {}
    Value(unsigned int i) : v_(int64_t(i)) {}
    Value(unsigned long i);       // above INT64_MAX becomes a double
    Value(unsigned long long i);  // above INT64_MAX becomes a double
    Value(double d) : v_(d) {}
    Value(const char* s) {  // a null pointer makes a null value
        if (s) v_ = std::string(s);
    }
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(Bytes d) : v_(std::move(d)) {}
    Value(Date d) : v_(d) {}
    Value(ValueArray a) : v_(std::move(a)) {}
    Value(ValueDictionary d) : v_(std::move(d)) {}
    Value(ObjectHandle o) : v_(std::move(o)) {}

    static Value null() { return Value(); }
    static Value array(std::initializer_list<Value> items = {}) { return Value(ValueArray(items)); }
    static Value dictionary(std::initializer_list<std::pair<const std::string, Value>> items = {}) {
        return Value(ValueDictionary(items));
    }
    static Value data(const void* bytes, size_t size);

    Type type() const { return static_cast<Type>(v_.index()); }
    static const char* typeName(Type t);
    const char* typeName() const { return typeName(type()); }

    bool isNull() const { return type() == Type::Null; }
    bool isBool() const { return type() == Type::Bool; }
    bool isInteger() const { return type() == Type::Integer; }
    bool isDouble() const { return type() == Type::Double; }
    bool isNumber() const { return isInteger() || isDouble(); }
    bool isString() const { return type() == Type::String; }
    bool isData() const { return type() == Type::Data; }
    bool isDate() const { return type() == Type::Date; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }
    bool isObject() const { return type() == Type::Object; }

    // Checked accessors (see the header comment for the number rules).
    std::optional<bool> asBool() const;
    std::optional<int64_t> asInteger() const;
    std::optional<double> asDouble() const;
    const std::string* asString() const;
    const Bytes* asData() const;
    std::optional<Date> asDate() const;
    const ValueArray* asArray() const;
    const ValueDictionary* asDictionary() const;
    ValueArray* asArray();
    ValueDictionary* asDictionary();
    ObjectHandle asObject() const;

    // Shortcuts with a fallback for the wrong type or absence.
    bool boolOr(bool fallback) const { return asBool().value_or(fallback); }
    int64_t integerOr(int64_t fallback) const { return asInteger().value_or(fallback); }
    double doubleOr(double fallback) const { return asDouble().value_or(fallback); }
    std::string stringOr(std::string fallback) const;

    // Dictionary access. find() answers nullptr when this is not a dictionary or the key is absent;
    // operator[] answers a shared null value instead.
    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);
    const Value& operator[](std::string_view key) const;
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    // Sets a key, turning a null value into a dictionary first. Setting on another type is a logic error.
    void set(std::string key, Value value);
    bool erase(std::string_view key);

    // Array access: at() answers a shared null value when out of range or not an array.
    const Value& at(size_t index) const;
    void push(Value value);  // turns a null value into an array first
    // Element count of an array or dictionary, byte count of data, else 0.
    size_t size() const;
    bool empty() const { return size() == 0; }

    // A readable text in the platform's style: strings bare at the top level, quoted when they
    // contain anything but letters, digits and '_', dictionaries as "{ key = value; }", arrays as "( a, b )".
    std::string description() const;

    // Deep equality. Integers and doubles compare by numeric value; a bool never equals a number.
    bool operator==(const Value& other) const;
    bool operator!=(const Value& other) const { return !(*this == other); }

private:
    std::variant<std::monostate, bool, int64_t, double, std::string, Bytes, Date, ValueArray, ValueDictionary,
                 ObjectHandle>
        v_;
};

// Writes description(); lets test frameworks and logs print values.
std::ostream& operator<<(std::ostream& out, const Value& value);

}  // namespace platform
