#include "zidedova_core/utilities/ZUTFormat.h"

#include <cstdio>
#include <vector>

namespace zidedova {

std::string ZUTFormatArg::object() const {
    struct Visitor {
        std::string operator()(int64_t v) const { return std::to_string(v); }
        std::string operator()(uint64_t v) const { return std::to_string(v); }
        std::string operator()(double v) const {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%g", v);
            return buf;
        }
        std::string operator()(std::string_view s) const { return std::string(s); }
        std::string operator()(const platform::Value* v) const {
            if (const std::string* s = v->asString()) return *s;
            if (v->isNull()) return "(null)";
            return v->description();
        }
    };
    return std::visit(Visitor{}, v_);
}

bool ZUTFormatArg::integer(int64_t& out) const {
    if (auto* i = std::get_if<int64_t>(&v_)) return out = *i, true;
    if (auto* u = std::get_if<uint64_t>(&v_)) return out = int64_t(*u), true;
    if (auto* d = std::get_if<double>(&v_)) return out = int64_t(*d), true;
    if (auto* v = std::get_if<const platform::Value*>(&v_)) {
        if (auto i = (*v)->asInteger()) return out = *i, true;
    }
    return false;
}

bool ZUTFormatArg::floating(double& out) const {
    if (auto* d = std::get_if<double>(&v_)) return out = *d, true;
    if (auto* i = std::get_if<int64_t>(&v_)) return out = double(*i), true;
    if (auto* u = std::get_if<uint64_t>(&v_)) return out = double(*u), true;
    if (auto* v = std::get_if<const platform::Value*>(&v_)) {
        if (auto d = (*v)->asDouble()) return out = *d, true;
    }
    return false;
}

std::string ZUTFormat(std::string_view format, std::initializer_list<ZUTFormatArg> args) {
    std::string out;
    out.reserve(format.size() + 16 * args.size());
    const ZUTFormatArg* next = args.begin();
    auto take = [&]() -> const ZUTFormatArg* { return next != args.end() ? next++ : nullptr; };

    for (size_t i = 0; i < format.size(); ++i) {
        char c = format[i];
        if (c != '%') {
            out += c;
            continue;
        }
        size_t start = i++;
        std::string flags;
        while (i < format.size() && std::string_view("-+ #0").find(format[i]) != std::string_view::npos)
            flags += format[i++];
        std::string width;
        while (i < format.size() && format[i] >= '0' && format[i] <= '9') width += format[i++];
        std::string precision;
        if (i < format.size() && format[i] == '.') {
            precision += format[i++];
            while (i < format.size() && format[i] >= '0' && format[i] <= '9') precision += format[i++];
        }
        while (i < format.size() && (format[i] == 'l' || format[i] == 'h' || format[i] == 'z' || format[i] == 'q')) ++i;
        if (i >= format.size()) {
            out.append(format.substr(start));
            break;
        }
        char conv = format[i];
        std::string conversion = "%" + flags + width + precision;
        char buf[128];
        switch (conv) {
        case '%':
            out += '%';
            break;
        case '@':
        case 's': {
            const ZUTFormatArg* a = take();
            out += a ? a->object() : "(null)";
            break;
        }
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X': {
            const ZUTFormatArg* a = take();
            int64_t v = 0;
            if (!a) {
                out += "(null)";
            } else if (!a->integer(v)) {
                out += a->object();
            } else {
                std::string f = conversion + "ll" + (conv == 'i' ? 'd' : conv);
                std::snprintf(buf, sizeof buf, f.c_str(), static_cast<long long>(v));
                out += buf;
            }
            break;
        }
        case 'f':
        case 'g':
        case 'e': {
            const ZUTFormatArg* a = take();
            double v = 0;
            if (!a) {
                out += "(null)";
            } else if (!a->floating(v)) {
                out += a->object();
            } else {
                std::string f = conversion + conv;
                std::snprintf(buf, sizeof buf, f.c_str(), v);
                out += buf;
            }
            break;
        }
        default:
            out.append(format.substr(start, i - start + 1));
        }
    }
    return out;
}

}  // namespace zidedova
