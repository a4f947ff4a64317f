#include "platform/foundation/Value.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <stdexcept>

namespace platform {

namespace {

const Value& sharedNull() {
    static const Value null;
    return null;
}

bool isBareWord(const std::string& s) {
    if (s.empty()) return false;
    for (unsigned char c : s)
        if (!(std::isalnum(c) || c == '_')) return false;
    return true;
}

std::string quoted(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out + "\"";
}

std::string formatDouble(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", d);
    // Prefer the shortest text that reads back to the same double.
    for (int precision = 1; precision <= 17; ++precision) {
        char shortBuf[32];
        std::snprintf(shortBuf, sizeof shortBuf, "%.*g", precision, d);
        if (std::strtod(shortBuf, nullptr) == d) return shortBuf;
    }
    return buf;
}

void describe(const Value& v, int indent, bool topLevel, std::string& out) {
    const std::string pad(indent * 4, ' ');
    switch (v.type()) {
    case Value::Type::Null:
        out += topLevel ? "<null>" : "\"<null>\"";
        break;  // quoted like any non-word text
    case Value::Type::Bool:
        out += *v.asBool() ? "1" : "0";
        break;
    case Value::Type::Integer:
        out += std::to_string(*v.asInteger());
        break;
    case Value::Type::Double:
        out += formatDouble(*v.asDouble());
        break;
    case Value::Type::String: {
        const std::string& s = *v.asString();
        out += (topLevel || isBareWord(s)) ? s : quoted(s);
        break;
    }
    case Value::Type::Data: {
        static const char* hex = "0123456789abcdef";
        out += "<";
        const Bytes& d = *v.asData();
        for (size_t i = 0; i < d.size(); ++i) {
            if (i && i % 4 == 0) out += ' ';
            out += hex[d[i] >> 4];
            out += hex[d[i] & 15];
        }
        out += ">";
        break;
    }
    case Value::Type::Date:
        out += v.asDate()->iso8601UTC();
        break;
    case Value::Type::Array: {
        const ValueArray& a = *v.asArray();
        if (a.empty()) {
            out += "(\n" + pad + ")";
            break;
        }
        out += "(\n";
        for (size_t i = 0; i < a.size(); ++i) {
            out += pad + "    ";
            describe(a[i], indent + 1, false, out);
            out += i + 1 < a.size() ? ",\n" : "\n";
        }
        out += pad + ")";
        break;
    }
    case Value::Type::Dictionary: {
        out += "{\n";
        for (const auto& [key, item] : *v.asDictionary()) {
            out += pad + "    " + (isBareWord(key) ? key : quoted(key)) + " = ";
            describe(item, indent + 1, false, out);
            out += ";\n";
        }
        out += pad + "}";
        break;
    }
    case Value::Type::Object: {
        char buf[48];
        std::snprintf(buf, sizeof buf, "<object %p>", static_cast<const void*>(v.asObject().get()));
        out += buf;
        break;
    }
    }
}

}  // namespace

Value::Value(unsigned long i) {
    if (i > uint64_t(std::numeric_limits<int64_t>::max()))
        v_ = double(i);
    else
        v_ = int64_t(i);
}

Value::Value(unsigned long long i) {
    if (i > uint64_t(std::numeric_limits<int64_t>::max()))
        v_ = double(i);
    else
        v_ = int64_t(i);
}

Value Value::data(const void* bytes, size_t size) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    return Value(Bytes(p, p + size));
}

const char* Value::typeName(Type t) {
    switch (t) {
    case Type::Null:
        return "null";
    case Type::Bool:
        return "bool";
    case Type::Integer:
        return "integer";
    case Type::Double:
        return "double";
    case Type::String:
        return "string";
    case Type::Data:
        return "data";
    case Type::Date:
        return "date";
    case Type::Array:
        return "array";
    case Type::Dictionary:
        return "dictionary";
    case Type::Object:
        return "object";
    }
    return "?";
}

std::optional<bool> Value::asBool() const {
    switch (type()) {
    case Type::Bool:
        return std::get<bool>(v_);
    case Type::Integer:
        return std::get<int64_t>(v_) != 0;
    case Type::Double:
        return std::get<double>(v_) != 0;
    default:
        return std::nullopt;
    }
}

std::optional<int64_t> Value::asInteger() const {
    switch (type()) {
    case Type::Bool:
        return std::get<bool>(v_) ? 1 : 0;
    case Type::Integer:
        return std::get<int64_t>(v_);
    case Type::Double: {
        double d = std::get<double>(v_);
        // The double must fit; 2^63 itself does not.
        if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0) return std::nullopt;
        return static_cast<int64_t>(d);
    }
    default:
        return std::nullopt;
    }
}

std::optional<double> Value::asDouble() const {
    switch (type()) {
    case Type::Bool:
        return std::get<bool>(v_) ? 1.0 : 0.0;
    case Type::Integer:
        return double(std::get<int64_t>(v_));
    case Type::Double:
        return std::get<double>(v_);
    default:
        return std::nullopt;
    }
}

const std::string* Value::asString() const { return std::get_if<std::string>(&v_); }
const Bytes* Value::asData() const { return std::get_if<Bytes>(&v_); }
std::optional<Date> Value::asDate() const {
    if (const Date* d = std::get_if<Date>(&v_)) return *d;
    return std::nullopt;
}
const ValueArray* Value::asArray() const { return std::get_if<ValueArray>(&v_); }
const ValueDictionary* Value::asDictionary() const { return std::get_if<ValueDictionary>(&v_); }
ValueArray* Value::asArray() { return std::get_if<ValueArray>(&v_); }
ValueDictionary* Value::asDictionary() { return std::get_if<ValueDictionary>(&v_); }
ObjectHandle Value::asObject() const {
    if (const ObjectHandle* o = std::get_if<ObjectHandle>(&v_)) return *o;
    return nullptr;
}

std::string Value::stringOr(std::string fallback) const {
    if (const std::string* s = asString()) return *s;
    return fallback;
}

const Value* Value::find(std::string_view key) const {
    const ValueDictionary* d = asDictionary();
    if (!d) return nullptr;
    auto it = d->find(key);
    return it == d->end() ? nullptr : &it->second;
}

Value* Value::find(std::string_view key) {
    ValueDictionary* d = asDictionary();
    if (!d) return nullptr;
    auto it = d->find(key);
    return it == d->end() ? nullptr : &it->second;
}

const Value& Value::operator[](std::string_view key) const {
    const Value* v = find(key);
    return v ? *v : sharedNull();
}

void Value::set(std::string key, Value value) {
    if (isNull()) v_ = ValueDictionary();
    ValueDictionary* d = asDictionary();
    if (!d) throw std::logic_error(std::string("Value::set on a ") + typeName());
    (*d)[std::move(key)] = std::move(value);
}

bool Value::erase(std::string_view key) {
    ValueDictionary* d = asDictionary();
    if (!d) return false;
    auto it = d->find(key);
    if (it == d->end()) return false;
    d->erase(it);
    return true;
}

const Value& Value::at(size_t index) const {
    const ValueArray* a = asArray();
    return (a && index < a->size()) ? (*a)[index] : sharedNull();
}

void Value::push(Value value) {
    if (isNull()) v_ = ValueArray();
    ValueArray* a = asArray();
    if (!a) throw std::logic_error(std::string("Value::push on a ") + typeName());
    a->push_back(std::move(value));
}

size_t Value::size() const {
    switch (type()) {
    case Type::Array:
        return asArray()->size();
    case Type::Dictionary:
        return asDictionary()->size();
    case Type::Data:
        return asData()->size();
    case Type::String:
        return asString()->size();
    default:
        return 0;
    }
}

std::string Value::description() const {
    std::string out;
    describe(*this, 0, true, out);
    return out;
}

bool Value::operator==(const Value& other) const {
    if (isNumber() && other.isNumber()) {
        if (isInteger() && other.isInteger()) return std::get<int64_t>(v_) == std::get<int64_t>(other.v_);
        // Compare an integer with a double exactly: the double must be integral and equal.
        if (isDouble() && other.isDouble()) return std::get<double>(v_) == std::get<double>(other.v_);
        const double d = isDouble() ? std::get<double>(v_) : std::get<double>(other.v_);
        const int64_t i = isInteger() ? std::get<int64_t>(v_) : std::get<int64_t>(other.v_);
        if (!std::isfinite(d) || d != std::trunc(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0)
            return false;
        return static_cast<int64_t>(d) == i;
    }
    return v_ == other.v_;
}

std::ostream& operator<<(std::ostream& out, const Value& value) { return out << value.description(); }

}  // namespace platform
