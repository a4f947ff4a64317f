#include "testing/formdiff/Kinds.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

namespace tesmar_formdiff {

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); !from.empty() && at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string shown(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += char(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

namespace {

std::string percentDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() + 0 && std::isxdigit((unsigned char)text[i + 1]) &&
                   std::isxdigit((unsigned char)text[i + 2])) {
            out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// An encoded value as tokens: an escaped reference, an escaped byte or one character, as written.
std::vector<std::string> tokens(const std::string& encoded) {
    std::vector<std::string> out;
    for (size_t i = 0; i < encoded.size();) {
        size_t length = 1;
        size_t end = encoded.find("%3B", i + 6);
        if (encoded.compare(i, 6, "%26%23") == 0 && end != std::string::npos && end > i + 6 &&
            encoded.find_first_not_of("0123456789", i + 6) == end)
            length = end + 3 - i;
        else if (encoded[i] == '%' && i + 2 < encoded.size())
            length = 3;
        out.push_back(encoded.substr(i, length));
        i += length;
    }
    return out;
}

// Tokens by kind: a run of escaped non-ASCII bytes (with the ASCII a multibyte character carries among
// them, and the escape bytes of a stateful encoding) as one "%XX", a run of references as one "&#N;",
// the rest as written.
std::string shape(const std::vector<std::string>& from) {
    std::string out;
    auto endsWith = [&](const char* what) {
        size_t n = std::strlen(what);
        return out.size() >= n && out.compare(out.size() - n, n, what) == 0;
    };
    for (const std::string& t : from) {
        bool reference = t.size() > 6;
        bool byte = t.size() == 3 && (t[1] >= '8' || t == "%1B");
        if (reference) {
            if (!endsWith("&#N;")) out += "&#N;";
        } else if (byte || (endsWith("%XX") && (std::isalnum((unsigned char)t[0]) || t[0] == '%'))) {
            if (!endsWith("%XX")) out += "%XX";
        } else {
            out += t;
        }
    }
    return out.size() > 40 ? out.substr(0, 40) + "..." : out;
}

// A part's own kind, without where it stands ("outside, form=main, range": "range").
std::string bare(const std::string& part) {
    size_t comma = part.rfind(", ");
    return comma == std::string::npos ? part : part.substr(comma + 2);
}

// The kind of part a field name belongs to (the kinds of all of them, when parts share the name), with
// where it stands or without.
std::string partOf(const PageSpec& spec, const std::string& encodedName, bool where) {
    std::string name = percentDecoded(encodedName);
    std::set<std::string> kinds;
    for (const auto& p : spec.parts)
        for (const std::string& written :
             {"name='" + name + "'", "name=\"" + name + "\"", "name=" + name + " ", "name=" + name + ">"})
            if (p.html.find(written) != std::string::npos) kinds.insert(where ? p.kind : bare(p.kind));
    if (kinds.empty()) return "field whose name has characters outside ASCII";
    std::string out;
    for (const auto& k : kinds) out += (out.empty() ? "" : " or ") + k;
    return out;
}

std::vector<std::string> split(const std::string& text, char by) {
    std::vector<std::string> out;
    if (text.empty()) return out;
    size_t from = 0;
    for (size_t at; (at = text.find(by, from)) != std::string::npos; from = at + 1)
        out.push_back(text.substr(from, at - from));
    out.push_back(text.substr(from));
    return out;
}

// The kind of difference between two urlencoded lists of entries (a body or a query). A field's kind is
// named by the field itself, where it stands (outside the form, in a legend) as the detail.
std::string entriesKind(const PageSpec& spec, const std::string& what, const std::string& real,
                        const std::string& headless) {
    auto a = split(real, '&'), b = split(headless, '&');
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    if (a.size() != b.size()) {
        std::map<std::string, int> count;
        for (const auto& e : a) ++count[nameOf(e)];
        for (const auto& e : b) --count[nameOf(e)];
        for (const auto& [name, more] : count)
            if (more != 0) {
                return what + ": the " + std::string(more > 0 ? "real" : "headless") + " engine sends more of a " +
                       partOf(spec, name, false) + "\t" + partOf(spec, name, true);
            }
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == b[i]) continue;
        bool inName = nameOf(a[i]) != nameOf(b[i]);
        // Only the stretch that differs, in whole escapes and references.
        auto x = tokens(inName ? nameOf(a[i]) : a[i].substr(nameOf(a[i]).size()));
        auto y = tokens(inName ? nameOf(b[i]) : b[i].substr(nameOf(b[i]).size()));
        size_t head = 0;
        while (head < x.size() && head < y.size() && x[head] == y[head]) ++head;
        size_t tail = 0;
        while (tail < x.size() - head && tail < y.size() - head && x[x.size() - 1 - tail] == y[y.size() - 1 - tail])
            ++tail;
        std::vector<std::string> dx(x.begin() + ptrdiff_t(head), x.end() - ptrdiff_t(tail));
        std::vector<std::string> dy(y.begin() + ptrdiff_t(head), y.end() - ptrdiff_t(tail));
        std::string sx = shape(dx), sy = shape(dy);
        bool encoded = (sx + sy).find("%XX") != std::string::npos || (sx + sy).find("&#N;") != std::string::npos;
        // An ASCII character escaped by one engine only differs the same in any field; other values by field.
        bool escaping = !encoded && percentDecoded(sx) == percentDecoded(sy);
        if (!encoded && !escaping) {
            return what + " value of a " + partOf(spec, nameOf(a[i]), false) + " differs\t" +
                   partOf(spec, nameOf(a[i]), true);
        }
        std::string shapes = "real '" + sx + "', headless '" + sy + "'";
        if (!encoded)
            return what + ": the real engine leaves an ASCII character as it is, the headless escapes it\t" + shapes;
        // Characters: a query's and a body's are written alike. The characters a reference names
        // tell the cause when one engine leaves them out or writes a look-alike instead.
        std::set<std::string> named;
        for (const auto& t : dy)
            if (t.size() > 6) {
                char buf[16];
                std::snprintf(buf, sizeof buf, "U+%04lX", std::stoul(t.substr(6, t.size() - 9)));
                named.insert(buf);
            }
        std::string characters;
        for (const auto& c : named) characters += (characters.empty() ? "" : " ") + c;
        bool onlyReferences = sy == "&#N;";
        std::string plainX = percentDecoded(sx);
        bool ascii = !plainX.empty() && sx.find("%XX") == std::string::npos && sx.find("&#N;") == std::string::npos &&
                     std::all_of(plainX.begin(), plainX.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
        if (onlyReferences && sx.empty())
            return "the real engine leaves out a character, the headless writes a reference\t" + characters + " in " +
                   spec.encoding;
        if (onlyReferences && ascii)
            return "the real engine writes an ASCII look-alike, the headless a reference\t" + characters + " as '" +
                   plainX + "' in " + spec.encoding;
        return "characters encoded otherwise in " + spec.encoding + "\t" + shapes;
    }
    return what + " differs";
}

}  // namespace

// Every kind of difference between the two requests of a page.
std::vector<std::string> kindsOf(const PageSpec& spec, const Sent& real, const Sent& headless) {
    std::vector<std::string> kinds;
    if (real.outcome != headless.outcome) {
        // The first words of a refusal, without the names it quotes.
        auto brief = [](std::string outcome) {
            for (size_t at = outcome.find('"'); at != std::string::npos; at = outcome.find('"', at + 3)) {
                size_t end = outcome.find('"', at + 1);
                if (end == std::string::npos) break;
                outcome.replace(at, end - at + 1, "\"..\"");
            }
            auto words = split(outcome, ' ');
            std::string out;
            for (size_t i = 0; i < words.size() && i < 8; ++i) out += (i ? " " : "") + words[i];
            return out;
        };
        kinds.push_back("outcome: real '" + brief(real.outcome) + "', headless '" + brief(headless.outcome) + "'");
        return kinds;
    }
    // Referer and Origin by the schemes, the method and the policy; the page's own URL and origin by name.
    auto scheme = [](const std::string& origin) { return origin.substr(0, origin.find(':')); };
    std::string context = scheme(spec.pageOrigin) + " page to " +
                          (spec.crossSite ? "another origin over " + scheme(spec.actionOrigin) : "its own origin") +
                          ", " + real.method +
                          (spec.referrerPolicy.empty() ? "" : ", Referrer-Policy " + spec.referrerPolicy);
    auto named = [&](std::string value) -> std::string {
        value = replaced(value, spec.pageOrigin + "/@/form", "the page's URL");
        if (value == spec.pageOrigin || value == spec.pageOrigin + "/") return "the page's origin";
        return value;
    };
    if (real.method != headless.method)
        kinds.push_back("method: real " + real.method + ", headless " + headless.method);
    auto [realPath, realQuery] = std::pair(
        real.target.substr(0, real.target.find('?')),
        real.target.find('?') == std::string::npos ? std::string() : real.target.substr(real.target.find('?') + 1));
    auto [headlessPath, headlessQuery] = std::pair(headless.target.substr(0, headless.target.find('?')),
                                                   headless.target.find('?') == std::string::npos
                                                       ? std::string()
                                                       : headless.target.substr(headless.target.find('?') + 1));
    if (realPath != headlessPath) kinds.push_back("target path: real " + realPath + ", headless " + headlessPath);
    if (realQuery != headlessQuery) kinds.push_back(entriesKind(spec, "query", realQuery, headlessQuery));
    if (real.body != headless.body) kinds.push_back(entriesKind(spec, "body", real.body, headless.body));
    if (real.referer != headless.referer)
        kinds.push_back("Referer (" + context + "): real " + named(real.referer) + ", headless " +
                        named(headless.referer));
    if (real.origin != headless.origin)
        kinds.push_back("Origin (" + context + "): real " + named(real.origin) + ", headless " +
                        named(headless.origin));
    if (real.cookie != headless.cookie) {
        // By the cookies one engine sends and the other does not, with the attributes they were set with.
        auto names = [](const std::string& header) {
            std::set<std::string> out;
            for (auto& c : split(header, ';')) {
                std::string trimmed = c.substr(std::min(c.size(), c.find_first_not_of(' ')));
                out.insert(trimmed.substr(0, trimmed.find('=')));
            }
            return out;
        };
        auto a = names(real.cookie), b = names(headless.cookie);
        std::string only;
        for (const auto& c : spec.cookies) {
            std::string name = c.substr(0, c.find('='));
            std::string attributes = c.find(';') == std::string::npos ? "" : c.substr(c.find(';'));
            attributes = replaced(attributes, "; Path=@P@", "");
            if (a.count(name) != b.count(name))
                only += std::string(a.count(name) ? " the real engine" : " the headless engine") + " sends " + name +
                        " (" + (attributes.empty() ? "no attributes" : attributes.substr(2)) + ")";
        }
        kinds.push_back("Cookie on a " + std::string(spec.crossSite ? "cross-site " : "same-origin ") + real.method +
                        ":" + (only.empty() ? " differs" : only));
    }
    return kinds;
}

}  // namespace tesmar_formdiff
