#include "platform/foundation/HTTPURLResponse.h"

#include <algorithm>
#include <charconv>

#include "platform/foundation/ASCII.h"

namespace platform {

namespace {

std::string unquote(std::string_view v) {
    v = trimmingHTTPWhitespace(v);
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') {
        std::string out;
        for (size_t i = 1; i + 1 < v.size(); ++i) {
            if (v[i] == '\\' && i + 2 < v.size()) ++i;
            out += v[i];
        }
        return out;
    }
    return std::string(v);
}

// Splits "a; b=c; d=\"e;f\"" on ';' outside quotes.
std::vector<std::string_view> splitParams(std::string_view s) {
    std::vector<std::string_view> out;
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '"' && (i == 0 || s[i - 1] != '\\')) quoted = !quoted;
        if (s[i] == ';' && !quoted) {
            out.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    }
    out.push_back(s.substr(start));
    return out;
}

// Only a last path component that cannot climb or hide: no separators, no "." / "..", no controls.
std::optional<std::string> safeComponent(std::string name) {
    auto slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name = name.substr(slash + 1);
    name.erase(std::remove_if(name.begin(), name.end(),
                              [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }),
               name.end());
    auto t = std::string(trimmingHTTPWhitespace(name));
    if (t.empty() || t == "." || t == "..") return std::nullopt;
    return t;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

void parseContentType(std::string_view contentType, std::string& mimeType, std::string& charset) {
    mimeType.clear();
    charset.clear();
    auto parts = splitParams(contentType);
    auto type = trimmingHTTPWhitespace(parts[0]);
    if (type.find('/') != std::string_view::npos) mimeType = lowercasedASCII(type);
    for (size_t i = 1; i < parts.size(); ++i) {
        auto p = trimmingHTTPWhitespace(parts[i]);
        auto eq = p.find('=');
        if (eq == std::string_view::npos) continue;
        if (equalsIgnoringASCIICase(trimmingHTTPWhitespace(p.substr(0, eq)), "charset"))
            charset = lowercasedASCII(unquote(p.substr(eq + 1)));
    }
}

std::optional<std::string> filenameFromContentDisposition(std::string_view value) {
    auto parts = splitParams(value);
    std::optional<std::string> plain, extended;
    for (size_t i = 1; i < parts.size(); ++i) {
        auto p = trimmingHTTPWhitespace(parts[i]);
        auto eq = p.find('=');
        if (eq == std::string_view::npos) continue;
        auto key = lowercasedASCII(trimmingHTTPWhitespace(p.substr(0, eq)));
        auto val = trimmingHTTPWhitespace(p.substr(eq + 1));
        if (key == "filename") {
            plain = unquote(val);
        } else if (key == "filename*") {
            // charset'lang'percent-encoded
            auto q1 = val.find('\'');
            auto q2 = q1 == std::string_view::npos ? q1 : val.find('\'', q1 + 1);
            if (q2 == std::string_view::npos) continue;
            std::string decoded;
            bool ok = true;
            for (size_t j = q2 + 1; j < val.size(); ++j) {
                if (val[j] == '%') {
                    if (j + 2 >= val.size() || hexValue(val[j + 1]) < 0 || hexValue(val[j + 2]) < 0) {
                        ok = false;
                        break;
                    }
                    decoded += char(hexValue(val[j + 1]) * 16 + hexValue(val[j + 2]));
                    j += 2;
                } else {
                    decoded += val[j];
                }
            }
            if (ok) extended = decoded;
        }
    }
    if (extended)
        if (auto s = safeComponent(*extended)) return s;
    if (plain) return safeComponent(*plain);
    return std::nullopt;
}

URLResponse::URLResponse(std::optional<URL> url, std::string MIMEType, int64_t expectedContentLength,
                         std::string textEncodingName)
    : url_(std::move(url)), mimeType_(std::move(MIMEType)), expectedLength_(expectedContentLength),
      encoding_(std::move(textEncodingName)) {}

std::string URLResponse::suggestedFilename() const {
    if (url_) {
        auto last = url_->lastPathComponent();
        if (last != "/")
            if (auto s = safeComponent(last)) return *s;
    }
    return "Unknown";
}

HTTPURLResponse::HTTPURLResponse(URL url, int statusCode, std::string HTTPVersion, HTTPHeaderFields headerFields)
    : URLResponse(std::move(url), "", kURLResponseUnknownLength, ""), statusCode_(statusCode),
      version_(std::move(HTTPVersion)), headers_(std::move(headerFields)) {
    if (const auto* ct = headers_.find("Content-Type")) parseContentType(*ct, mimeType_, encoding_);
    const auto* ce = headers_.find("Content-Encoding");
    bool encoded =
        ce && !trimmingHTTPWhitespace(*ce).empty() && lowercasedASCII(trimmingHTTPWhitespace(*ce)) != "identity";
    if (const auto* cl = headers_.find("Content-Length"); cl && !encoded) {
        auto t = trimmingHTTPWhitespace(*cl);
        int64_t n = 0;
        auto [p, ec] = std::from_chars(t.data(), t.data() + t.size(), n);
        if (ec == std::errc() && p == t.data() + t.size() && n >= 0) expectedLength_ = n;
    }
}

std::optional<std::string> HTTPURLResponse::valueForHTTPHeaderField(std::string_view name) const {
    if (const auto* v = headers_.find(name)) return *v;
    return std::nullopt;
}

std::string HTTPURLResponse::suggestedFilename() const {
    if (const auto* cd = headers_.find("Content-Disposition"))
        if (auto name = filenameFromContentDisposition(*cd)) return *name;
    return URLResponse::suggestedFilename();
}

}  // namespace platform
