#include "platform/foundation/PropertyList.h"

#include <plist/plist.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/TextEncoding.h"

namespace platform::plist {

namespace {

constexpr int64_t kReadCorruptError = 3840;

// Nesting cap for what we read: libplist and our conversion both recurse per level.
constexpr size_t kMaxDepth = 512;

constexpr const char* kDebugDescriptionKey = "NSDebugDescription";

Error readError(const std::string& detail) {
    Value info = Value::dictionary();
    info.set(kLocalizedDescriptionKey,
             "The data couldn\u2019t be read because it isn\u2019t in the correct format: " + detail + ".");
    info.set(kDebugDescriptionKey, detail);
    return Error(kCocoaErrorDomain, kReadCorruptError, std::move(info));
}

Error writeError(const std::string& detail) {
    Value info = Value::dictionary();
    info.set(kLocalizedDescriptionKey, "The property list couldn\u2019t be written: " + detail + ".");
    info.set(kDebugDescriptionKey, detail);
    return Error(kCocoaErrorDomain, kWriteInvalidError, std::move(info));
}

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

// XML 1.0 cannot carry most control characters, not even escaped; libplist would write them raw and
// produce a document no reader accepts.
bool hasXMLForbiddenControl(const std::string& s) {
    for (unsigned char c : s)
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return true;
    return false;
}

// Conservative nesting measure of XML text before libplist sees it: counts open <array>/<dict> tags.
// Comments or CDATA that mention such tags only make it stricter.
size_t xmlNestingDepth(const char* p, size_t n) {
    size_t depth = 0, maxDepth = 0;
    for (size_t i = 0; i + 1 < n; ++i) {
        if (p[i] != '<') continue;
        bool closing = p[i + 1] == '/';
        size_t j = i + 1 + (closing ? 1 : 0);
        auto startsWith = [&](const char* word) {
            size_t len = std::strlen(word);
            if (j + len > n || std::memcmp(p + j, word, len) != 0) return false;
            // Anything that cannot continue a tag name ends it.
            return j + len == n || !(std::isalnum(static_cast<unsigned char>(p[j + len])) || p[j + len] == '_' ||
                                     p[j + len] == '-' || p[j + len] == '.' || p[j + len] == ':');
        };
        if (!startsWith("array") && !startsWith("dict")) continue;
        if (closing) {
            if (depth) --depth;
            continue;
        }
        // <array/> opens nothing.
        size_t close = j;
        while (close < n && p[close] != '>') ++close;
        if (close < n && p[close - 1] == '/') continue;
        maxDepth = std::max(maxDepth, ++depth);
    }
    return maxDepth;
}

// Reads the big-endian unsigned integer of `size` bytes at p.
uint64_t readBE(const uint8_t* p, size_t size) {
    uint64_t v = 0;
    for (size_t i = 0; i < size; ++i) v = (v << 8) | p[i];
    return v;
}

// Structural check of a binary property list before libplist parses it. libplist 2.2 recurses once per
// nesting level and would overflow the stack on a deep (or, in some versions, cyclic) object graph, so
// walk the graph here without recursion: offsets and references must lie inside the data, references
// must not form a cycle, and containers may not nest deeper than the cap.
std::optional<std::string> checkBinaryStructure(const uint8_t* p, size_t n, size_t maxDepth) {
    constexpr size_t kHeader = 8, kTrailer = 32;
    if (n < kHeader + 1 + kTrailer) return "binary property list is too short";
    const uint8_t* t = p + n - kTrailer;
    const size_t offsetSize = t[6], refSize = t[7];
    const uint64_t numObjects = readBE(t + 8, 8), topObject = readBE(t + 16, 8), tableOffset = readBE(t + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8)
        return "binary property list trailer is invalid";
    if (numObjects == 0 || topObject >= numObjects) return "binary property list has no top object";
    if (tableOffset < kHeader || tableOffset >= n - kTrailer)
        return "binary property list offset table is out of range";
    if (numObjects > (n - kTrailer - tableOffset) / offsetSize) return "binary property list offset table is truncated";
    const size_t objectsEnd = size_t(tableOffset);

    auto offsetOf = [&](uint64_t index) { return readBE(p + tableOffset + index * offsetSize, offsetSize); };
    // The references of a container object, as [first, count) in bytes; false when it is not a container.
    struct Refs {
        size_t at = 0, count = 0, keys = 0;  // a dictionary's first `keys` references are its keys
    };
    auto containerRefs = [&](uint64_t index, Refs& refs, std::string& problem) -> bool {
        uint64_t off = offsetOf(index);
        if (off < kHeader || off >= objectsEnd) {
            problem = "binary property list object offset is out of range";
            return false;
        }
        uint8_t marker = p[off];
        uint8_t kind = marker >> 4;
        if (kind != 0xA && kind != 0xC && kind != 0xD) return false;
        size_t at = size_t(off) + 1;
        uint64_t count = marker & 0x0F;
        if (count == 0x0F) {
            if (at >= objectsEnd || (p[at] >> 4) != 0x1 || (p[at] & 0x0F) > 3) {
                problem = "binary property list container count is invalid";
                return false;
            }
            size_t bytes = size_t(1) << (p[at] & 0x0F);
            if (at + 1 + bytes > objectsEnd) {
                problem = "binary property list container count is truncated";
                return false;
            }
            count = readBE(p + at + 1, bytes);
            at += 1 + bytes;
        }
        if (kind == 0xD) count *= 2;  // keys, then values
        if (count > (objectsEnd - at) / refSize) {
            problem = "binary property list container is truncated";
            return false;
        }
        refs.at = at;
        refs.count = size_t(count);
        refs.keys = kind == 0xD ? refs.count / 2 : 0;
        return true;
    };
    // libplist 2.2 asserts (aborts) when handing out a dictionary key with a NUL character in it.
    auto keyHasNUL = [&](uint64_t index) {
        uint64_t off = offsetOf(index);
        if (off < kHeader || off >= objectsEnd) return false;  // libplist refuses it itself
        uint8_t kind = p[off] >> 4;
        if (kind != 0x5 && kind != 0x6) return false;
        size_t at = size_t(off) + 1;
        uint64_t count = p[off] & 0x0F;
        if (count == 0x0F) {
            if (at >= objectsEnd || (p[at] >> 4) != 0x1 || (p[at] & 0x0F) > 3) return false;
            size_t bytes = size_t(1) << (p[at] & 0x0F);
            if (at + 1 + bytes > objectsEnd) return false;
            count = readBE(p + at + 1, bytes);
            at += 1 + bytes;
        }
        const size_t unit = kind == 0x5 ? 1 : 2;
        if (count > (objectsEnd - at) / unit) return false;
        for (size_t i = 0; i < size_t(count); ++i) {
            const uint8_t* c = p + at + i * unit;
            if (c[0] == 0 && (unit == 1 || c[1] == 0)) return true;
        }
        return false;
    };

    // Iterative depth-first walk; the height of each finished container is remembered, so shared
    // objects are visited once.
    enum : uint8_t { kUnseen, kOpen, kDone };
    std::vector<uint8_t> state(size_t(numObjects), kUnseen);
    std::vector<uint32_t> height(size_t(numObjects), 0);
    std::vector<uint8_t> keyChecked(size_t(numObjects), 0);
    struct Frame {
        uint64_t index;
        Refs refs;
        size_t next;
        uint32_t height;
    };
    std::vector<Frame> stack;
    std::string problem;
    auto enter = [&](uint64_t index) -> std::optional<std::string> {
        Refs refs;
        if (!containerRefs(index, refs, problem)) {
            if (!problem.empty()) return problem;
            state[index] = kDone;  // a leaf: height 0
            return std::nullopt;
        }
        if (stack.size() >= maxDepth) return "nesting deeper than " + std::to_string(maxDepth) + " levels";
        state[index] = kOpen;
        stack.push_back({index, refs, 0, 1});
        return std::nullopt;
    };
    if (auto e = enter(topObject)) return e;
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next == f.refs.count) {
            state[f.index] = kDone;
            height[f.index] = f.height;
            uint32_t h = f.height;
            stack.pop_back();
            if (!stack.empty()) stack.back().height = std::max(stack.back().height, h + 1);
            continue;
        }
        uint64_t child = readBE(p + f.refs.at + f.next * refSize, refSize);
        const bool isKey = f.next < f.refs.keys;
        ++f.next;
        if (child >= numObjects) return "binary property list object reference is out of range";
        if (isKey && !keyChecked[child]) {
            if (keyHasNUL(child)) return "binary property list dictionary key contains a NUL character";
            keyChecked[child] = 1;
        }
        if (state[child] == kOpen) return "binary property list object references form a cycle";
        if (state[child] == kDone) {
            if (stack.size() + height[child] > maxDepth)
                return "nesting deeper than " + std::to_string(maxDepth) + " levels";
            f.height = std::max(f.height, height[child] + 1);
            continue;
        }
        if (auto e = enter(child)) return e;
    }
    return std::nullopt;
}

// Measures nesting of a parsed plist without recursion (libplist's tree is already built).
bool deeperThan(plist_t root, size_t limit) {
    struct Item {
        plist_t node;
        size_t depth;
    };
    std::vector<Item> stack{{root, 1}};
    while (!stack.empty()) {
        Item it = stack.back();
        stack.pop_back();
        plist_type type = plist_get_node_type(it.node);
        if (type != PLIST_ARRAY && type != PLIST_DICT) continue;
        if (it.depth > limit) return true;
        if (type == PLIST_ARRAY) {
            plist_array_iter iter = nullptr;
            plist_array_new_iter(it.node, &iter);
            for (;;) {
                plist_t child = nullptr;
                plist_array_next_item(it.node, iter, &child);
                if (!child) break;
                stack.push_back({child, it.depth + 1});
            }
            std::free(iter);
        } else {
            plist_dict_iter iter = nullptr;
            plist_dict_new_iter(it.node, &iter);
            for (;;) {
                char* key = nullptr;
                plist_t child = nullptr;
                plist_dict_next_item(it.node, iter, &key, &child);
                std::free(key);
                if (!child) break;
                stack.push_back({child, it.depth + 1});
            }
            std::free(iter);
        }
    }
    return false;
}

Result<Value> toValue(plist_t node);

Result<Value> dateValue(plist_t node) {
    int32_t sec = 0, usec = 0;
    plist_get_date_val(node, &sec, &usec);
    // libplist 2.2 hands dates out as int32 seconds; one outside that range comes back as INT32_MIN.
    if (sec == std::numeric_limits<int32_t>::min()) return readError("date out of the supported range");
    // The microseconds come as a magnitude, truncated toward zero with the seconds.
    double t = sec < 0 ? double(sec) - usec / 1e6 : double(sec) + usec / 1e6;
    return Value(Date{t});
}

Result<Value> toValue(plist_t node) {
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return Value(b != 0);
    }
    case PLIST_UINT: {
        // libplist 2.2 keeps every integer as 64 bits; signed is what both formats mean by them.
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        return Value(static_cast<int64_t>(u));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return Value(d);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        uint64_t len = 0;
        const char* s = plist_get_string_ptr(node, &len);
        return Value(std::string(s ? s : "", s ? len : 0));
    }
    case PLIST_DATA: {
        uint64_t len = 0;
        const char* d = plist_get_data_ptr(node, &len);
        return d ? Value::data(d, len) : Value(Bytes());
    }
    case PLIST_DATE:
        return dateValue(node);
    case PLIST_UID: {
        // Keyed archives' object references, in the form their XML shows.
        uint64_t u = 0;
        plist_get_uid_val(node, &u);
        return Value::dictionary({{"CF$UID", Value(static_cast<unsigned long long>(u))}});
    }
    case PLIST_ARRAY: {
        ValueArray out;
        out.reserve(plist_array_get_size(node));
        plist_array_iter iter = nullptr;
        plist_array_new_iter(node, &iter);
        for (;;) {
            plist_t child = nullptr;
            plist_array_next_item(node, iter, &child);
            if (!child) break;
            auto v = toValue(child);
            if (!v) {
                std::free(iter);
                return v.error();
            }
            out.push_back(std::move(*v));
        }
        std::free(iter);
        return Value(std::move(out));
    }
    case PLIST_DICT: {
        ValueDictionary out;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        for (;;) {
            char* key = nullptr;
            plist_t child = nullptr;
            plist_dict_next_item(node, iter, &key, &child);
            if (!child) {
                std::free(key);
                break;
            }
            std::string k = key ? key : "";
            std::free(key);
            auto v = toValue(child);
            if (!v) {
                std::free(iter);
                return v.error();
            }
            out.insert_or_assign(std::move(k), std::move(*v));
        }
        std::free(iter);
        return Value(std::move(out));
    }
    default:
        return readError("unsupported property list element");
    }
}

Result<plist_t> toPlist(const Value& v, Format format, size_t depth);

std::optional<Error> checkString(const std::string& s, Format format, const char* what) {
    // libplist takes C strings: an embedded NUL would silently cut the text short.
    if (s.find('\0') != std::string::npos) return writeError(std::string(what) + " contains a NUL character");
    if (!text::isValidUTF8(s)) return writeError(std::string(what) + " is not valid UTF-8");
    if (format == Format::XML && hasXMLForbiddenControl(s))
        return writeError(std::string(what) + " contains a control character XML cannot carry");
    return std::nullopt;
}

Result<plist_t> toPlist(const Value& v, Format format, size_t depth) {
    if (depth > kMaxDepth) return writeError("nesting deeper than " + std::to_string(kMaxDepth) + " levels");
    switch (v.type()) {
    case Value::Type::Null:
        return writeError("property lists cannot hold null");
    case Value::Type::Object:
        return writeError("property lists cannot hold objects");
    case Value::Type::Bool:
        return plist_new_bool(*v.asBool() ? 1 : 0);
    case Value::Type::Integer:
        return plist_new_uint(static_cast<uint64_t>(*v.asInteger()));
    case Value::Type::Double: {
        double d = *v.asDouble();
        if (!std::isfinite(d)) return writeError("non-finite real values cannot be written");
        return plist_new_real(d);
    }
    case Value::Type::String: {
        if (auto e = checkString(*v.asString(), format, "string")) return *e;
        return plist_new_string(v.asString()->c_str());
    }
    case Value::Type::Data: {
        const Bytes& d = *v.asData();
        return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
    }
    case Value::Type::Date: {
        double t = v.asDate()->timeIntervalSinceReferenceDate;
        double sec = std::floor(t);
        if (!std::isfinite(t) || sec <= double(std::numeric_limits<int32_t>::min()) ||
            sec > double(std::numeric_limits<int32_t>::max()))
            return writeError("date out of the supported range (1933-2069)");
        int32_t usec = static_cast<int32_t>(std::lround((t - sec) * 1e6));
        int32_t s = static_cast<int32_t>(sec);
        if (usec >= 1000000) {
            if (s == std::numeric_limits<int32_t>::max())
                usec = 999999;
            else
                ++s, usec -= 1000000;
        }
        return plist_new_date(s, usec);
    }
    case Value::Type::Array: {
        PlistPtr arr(plist_new_array());
        for (const Value& item : *v.asArray()) {
            auto child = toPlist(item, format, depth + 1);
            if (!child) return child.error();
            plist_array_append_item(arr.get(), *child);
        }
        return arr.release();
    }
    case Value::Type::Dictionary: {
        PlistPtr dict(plist_new_dict());
        for (const auto& [key, item] : *v.asDictionary()) {
            if (auto e = checkString(key, format, "dictionary key")) return *e;
            auto child = toPlist(item, format, depth + 1);
            if (!child) return child.error();
            plist_dict_set_item(dict.get(), key.c_str(), *child);
        }
        return dict.release();
    }
    }
    return writeError("unknown value type");
}

}  // namespace

Result<Value> read(const Bytes& data, size_t maxBytes, Format* detected) {
    if (data.size() > maxBytes || data.size() > std::numeric_limits<uint32_t>::max())
        return readError("property list of " + std::to_string(data.size()) + " bytes is larger than the limit of " +
                         std::to_string(maxBytes) + " bytes");
    if (data.empty()) return readError("empty property list");
    const char* p = reinterpret_cast<const char*>(data.data());
    const uint32_t n = static_cast<uint32_t>(data.size());

    plist_t root = nullptr;
    Format format;
    if (n >= 6 && std::memcmp(p, "bplist", 6) == 0) {
        if (n < 8 || std::memcmp(p, "bplist00", 8) != 0) return readError("unsupported binary property list version");
        if (auto problem = checkBinaryStructure(data.data(), n, kMaxDepth)) return readError(*problem);
        format = Format::Binary;
        plist_from_bin(p, n, &root);
    } else {
        // Skip a byte order mark and leading white space; then it must be XML.
        size_t i = 0;
        if (n >= 3 && std::memcmp(p, "\xEF\xBB\xBF", 3) == 0) i = 3;
        while (i < n && (p[i] == ' ' || p[i] == '\t' || p[i] == '\n' || p[i] == '\r')) ++i;
        if (i >= n || p[i] != '<') return readError("not a property list (neither XML nor binary)");
        if (xmlNestingDepth(p, n) > kMaxDepth)
            return readError("nesting deeper than " + std::to_string(kMaxDepth) + " levels");
        format = Format::XML;
        plist_from_xml(p, n, &root);
    }
    if (!root)
        return readError(format == Format::Binary ? "invalid binary property list" : "invalid XML property list");
    PlistPtr owner(root);
    if (deeperThan(root, kMaxDepth)) return readError("nesting deeper than " + std::to_string(kMaxDepth) + " levels");
    auto v = toValue(root);
    if (v && detected) *detected = format;
    return v;
}

Result<Value> read(const std::string& data, size_t maxBytes, Format* detected) {
    return read(Bytes(data.begin(), data.end()), maxBytes, detected);
}

bool isPropertyListValue(const Value& value) {
    switch (value.type()) {
    case Value::Type::Null:
    case Value::Type::Object:
        return false;
    case Value::Type::Array:
        return std::all_of(value.asArray()->begin(), value.asArray()->end(), isPropertyListValue);
    case Value::Type::Dictionary:
        return std::all_of(value.asDictionary()->begin(), value.asDictionary()->end(),
                           [](const auto& entry) { return isPropertyListValue(entry.second); });
    default:
        return true;
    }
}

Result<Bytes> write(const Value& value, Format format) {
    auto root = toPlist(value, format, 1);
    if (!root) return root.error();
    PlistPtr owner(*root);
    char* out = nullptr;
    uint32_t len = 0;
    Bytes bytes;
    if (format == Format::XML) {
        plist_to_xml(*root, &out, &len);
        if (!out) return writeError("libplist could not write XML");
        // libplist leaves a CR in text as it is, and XML readers turn it into LF: write it as a
        // character reference. The writer's own line breaks are LF, so every CR here is text.
        bytes.reserve(len);
        for (const char* p = out; p != out + len; ++p) {
            if (*p == '\r')
                bytes.insert(bytes.end(), {'&', '#', '1', '3', ';'});
            else
                bytes.push_back(uint8_t(*p));
        }
        plist_to_xml_free(out);
    } else {
        plist_to_bin(*root, &out, &len);
        if (!out) return writeError("libplist could not write a binary property list");
        bytes.assign(out, out + len);
        plist_to_bin_free(out);
    }
    return bytes;
}

Result<Value> readFile(const std::string& path, size_t maxBytes) {
    auto data = FileManager::defaultManager().contentsOfFile(path, maxBytes);
    if (!data) return data.error();
    return read(*data, maxBytes);
}

Result<void> writeFile(const Value& value, const std::string& path, Format format) {
    auto bytes = write(value, format);
    if (!bytes) return bytes.error();
    return FileManager::defaultManager().writeAtomically(path, *bytes);
}

}  // namespace platform::plist
