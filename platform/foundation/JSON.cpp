#include "platform/foundation/JSON.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace platform::json {

namespace {

using nlohmann::json;

// The system's user-info key for the byte offset of a read error.
constexpr const char* kJSONErrorIndexKey = "NSJSONSerializationErrorIndex";
constexpr const char* kDebugDescriptionKey = "NSDebugDescription";

Error readError(const std::string& detail, size_t offset) {
    Value info = Value::dictionary();
    info.set(kLocalizedDescriptionKey, "The data couldn\u2019t be read because it isn\u2019t in the correct format: " +
                                           detail + " (at byte " + std::to_string(offset) + ").");
    info.set(kDebugDescriptionKey, detail);
    info.set(kJSONErrorIndexKey, Value(uint64_t(offset)));
    return Error(kCocoaErrorDomain, kJSONReadErrorCode, std::move(info));
}

Error writeError(const std::string& detail) {
    Value info = Value::dictionary();
    info.set(kLocalizedDescriptionKey,
             "The data couldn\u2019t be written because it isn\u2019t in the correct format: " + detail + ".");
    info.set(kDebugDescriptionKey, detail);
    return Error(kCocoaErrorDomain, kJSONWriteErrorCode, std::move(info));
}

// nlohmann's messages start with "[json.exception.parse_error.101] "; the rest is what a reader needs.
std::string stripExceptionPrefix(const std::string& what) {
    if (!what.empty() && what[0] == '[') {
        size_t end = what.find("] ");
        if (end != std::string::npos) return what.substr(end + 2);
    }
    return what;
}

// Builds a Value straight from parser events: no DOM in between, and an explicit stack, so neither
// the parse nor the build recurses (nlohmann's SAX parser is iterative too). Nesting beyond maxDepth
// stops the parse.
//
// Each container is made in its final place (an array element, a dictionary slot or the root) and the
// stack holds pointers to the open ones: nothing is moved once built. The pointers stay valid because a
// container is only added to after the child it holds last has been closed, and map nodes never move.
// Not derived from nlohmann's abstract handler, so the parser's calls are direct.
class ValueBuilder final {
public:
    using number_integer_t = json::number_integer_t;
    using number_unsigned_t = json::number_unsigned_t;
    using number_float_t = json::number_float_t;
    using string_t = json::string_t;
    using binary_t = json::binary_t;

    explicit ValueBuilder(const ReadOptions& options) : options_(options) {}

    bool null() { return add(nullptr); }
    bool boolean(bool val) { return add(val); }
    bool number_integer(number_integer_t val) { return add(int64_t(val)); }
    bool number_unsigned(number_unsigned_t val) {
        // Above INT64_MAX the Value constructor makes a double.
        return add(static_cast<unsigned long long>(val));
    }
    bool number_float(number_float_t val, const string_t&) { return add(double(val)); }
    // Copied, not moved: the parser reuses this buffer for the next token, and keeping its capacity
    // saves regrowing it byte by byte.
    bool string(string_t& val) { return add(std::string_view(val)); }
    bool binary(binary_t&) { return fail("binary values are not JSON", 0); }

    bool start_object(std::size_t) { return open(ValueDictionary()); }
    bool key(string_t& val) {
        // Later duplicates replace earlier ones, as in every common reader.
        slot_ = &stack_.back().dictionary->try_emplace(val).first->second;
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(ValueArray()); }
    bool end_array() { return close(); }

    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) {
        // nlohmann counts characters read; the offending byte is the last one read.
        if (!error_) error_ = readError(stripExceptionPrefix(ex.what()), position > 0 ? position - 1 : 0);
        return false;
    }

    // The top level when the parse succeeded.
    Value take() { return std::move(root_); }
    const std::optional<Error>& error() const { return error_; }

private:
    // An open container: exactly one of the two is set.
    struct Open {
        ValueArray* array;
        ValueDictionary* dictionary;
    };

    bool fail(const std::string& detail, size_t offset) {
        if (!error_) error_ = readError(detail, offset);
        return false;
    }

    // Makes a value from `args` where the innermost open container wants its next one.
    template <class... Args>
    Value& place(Args&&... args) {
        if (stack_.empty()) {
            root_ = Value(std::forward<Args>(args)...);
            haveRoot_ = true;
            return root_;
        }
        if (ValueArray* array = stack_.back().array) return array->emplace_back(std::forward<Args>(args)...);
        *slot_ = Value(std::forward<Args>(args)...);
        return *slot_;
    }

    template <class T>
    bool add(T&& v) {
        if (stack_.empty() && !haveRoot_ && !options_.allowFragments)
            return fail("JSON text did not start with array or object and option to allow fragments not set", 0);
        place(std::forward<T>(v));
        return true;
    }

    template <class Container>
    bool open(Container empty) {
        if (stack_.size() >= options_.maxDepth)
            return fail("nesting deeper than " + std::to_string(options_.maxDepth) + " levels", 0);
        Value& made = place(std::move(empty));
        stack_.push_back({made.asArray(), made.asDictionary()});
        return true;
    }

    bool close() {
        stack_.pop_back();
        return true;
    }

    const ReadOptions& options_;
    std::vector<Open> stack_;
    Value* slot_ = nullptr;  // the dictionary value the last key made
    Value root_;
    bool haveRoot_ = false;
    std::optional<Error> error_;
};

// The depth error is raised from a SAX callback, which does not see the byte offset; the rare failure
// path rescans the text for where the limit was crossed.
size_t offsetOfDepth(std::string_view text, size_t depth) {
    size_t level = 0;
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"')
            inString = true;
        else if (c == '[' || c == '{') {
            if (++level > depth) return i;
        } else if (c == ']' || c == '}') {
            if (level) --level;
        }
    }
    return 0;
}

void appendString(const std::string& s, std::string& out) {
    // Most strings are plain ASCII that needs no escaping: copy those straight through. Everything else
    // goes to nlohmann, which escapes and refuses invalid UTF-8 (type_error 316).
    bool plain = true;
    for (unsigned char c : s) {
        if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') {
            plain = false;
            break;
        }
    }
    if (plain) {
        out += '"';
        out += s;
        out += '"';
        return;
    }
    out += json(s).dump(-1, ' ', false, json::error_handler_t::strict);
}

void appendNewline(const WriteOptions& options, int indent, std::string& out) {
    if (!options.prettyPrinted) return;
    out += '\n';
    out.append(size_t(indent) * 2, ' ');
}

std::optional<Error> writeValue(const Value& v, const WriteOptions& options, int indent, std::string& out) {
    switch (v.type()) {
    case Value::Type::Null:
        out += "null";
        return std::nullopt;
    case Value::Type::Bool:
        out += *v.asBool() ? "true" : "false";
        return std::nullopt;
    case Value::Type::Integer:
        out += std::to_string(*v.asInteger());
        return std::nullopt;
    case Value::Type::Double: {
        double d = *v.asDouble();
        if (!std::isfinite(d))
            return writeError(std::string("invalid number value (") + (std::isnan(d) ? "NaN" : "infinite") +
                              ") in JSON write");
        out += json(d).dump();
        return std::nullopt;
    }
    case Value::Type::String:
        try {
            appendString(*v.asString(), out);
        } catch (const std::exception&) {
            return writeError("invalid UTF-8 in string");
        }
        return std::nullopt;
    case Value::Type::Data:
    case Value::Type::Date:
    case Value::Type::Object:
        return writeError(std::string("invalid type in JSON write (") + v.typeName() + ")");
    case Value::Type::Array: {
        const ValueArray& a = *v.asArray();
        out += '[';
        for (size_t i = 0; i < a.size(); ++i) {
            if (i) out += ',';
            appendNewline(options, indent + 1, out);
            if (auto e = writeValue(a[i], options, indent + 1, out)) return e;
        }
        if (!a.empty()) appendNewline(options, indent, out);
        out += ']';
        return std::nullopt;
    }
    case Value::Type::Dictionary: {
        const ValueDictionary& d = *v.asDictionary();
        out += '{';
        bool first = true;
        for (const auto& [key, item] : d) {
            if (!first) out += ',';
            first = false;
            appendNewline(options, indent + 1, out);
            try {
                appendString(key, out);
            } catch (const std::exception&) {
                return writeError("invalid UTF-8 in dictionary key");
            }
            out += options.prettyPrinted ? ": " : ":";
            if (auto e = writeValue(item, options, indent + 1, out)) return e;
        }
        if (!d.empty()) appendNewline(options, indent, out);
        out += '}';
        return std::nullopt;
    }
    }
    return writeError("unknown value type");
}

}  // namespace

Result<Value> read(std::string_view text, const ReadOptions& options) {
    if (text.size() > options.maxBytes)
        return readError("JSON text of " + std::to_string(text.size()) + " bytes is larger than the limit of " +
                             std::to_string(options.maxBytes) + " bytes",
                         0);
    if (text.empty()) return readError("unexpected end of file; no value", 0);
    ValueBuilder builder(options);
    bool ok = false;
    try {
        ok = json::sax_parse(text.begin(), text.end(), &builder, nlohmann::json::input_format_t::json, true, false);
    } catch (const std::exception& e) {
        return readError(stripExceptionPrefix(e.what()), 0);
    }
    if (!ok || builder.error()) {
        if (builder.error()) {
            Error e = *builder.error();
            // A depth failure is reported without a position from the callback; find it.
            if (e.userInfo[kDebugDescriptionKey].stringOr("").rfind("nesting deeper", 0) == 0)
                e = readError(e.userInfo[kDebugDescriptionKey].stringOr(""), offsetOfDepth(text, options.maxDepth));
            return e;
        }
        return readError("invalid JSON", 0);
    }
    return builder.take();
}

Result<Value> read(const Bytes& data, const ReadOptions& options) {
    return read(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()), options);
}

Result<std::string> write(const Value& value, const WriteOptions& options) {
    if (!options.allowFragments && !value.isArray() && !value.isDictionary())
        return writeError(std::string("invalid top-level type in JSON write (") + value.typeName() + ")");
    std::string out;
    try {
        if (auto e = writeValue(value, options, 0, out)) return *e;
    } catch (const std::exception& e) {
        return writeError(stripExceptionPrefix(e.what()));
    }
    return out;
}

bool isValidJSONObject(const Value& value) { return write(value).ok(); }

}  // namespace platform::json
