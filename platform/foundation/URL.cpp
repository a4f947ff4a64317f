#include "platform/foundation/URL.h"

#include <arpa/inet.h>

#include <algorithm>
#include <filesystem>

#include "platform/foundation/ASCII.h"
#include "platform/foundation/TextEncoding.h"

namespace platform {

// A parsed reference, every part as written.
struct URLParts {
    std::optional<std::string> scheme;
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::optional<std::string> host;  // present exactly when there is an authority
    std::optional<int> port;
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;
};

namespace {

constexpr std::string_view kUnreserved = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~";
constexpr std::string_view kSubDelims = "!$&'()*+,;=";
constexpr std::string_view kGenDelims = ":/?#[]@";

bool isAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The sets a well-formed part may hold ('%' is checked separately, as part of an escape).
const CharacterSet& userChars() {
    static const CharacterSet set = CharacterSet::fromCharacters(kUnreserved).adding(kSubDelims);
    return set;
}
const CharacterSet& passwordChars() {
    static const CharacterSet set = userChars().adding(":");
    return set;
}
const CharacterSet& regNameChars() { return userChars(); }
const CharacterSet& pathChars() {
    static const CharacterSet set = userChars().adding(":@/");
    return set;
}
const CharacterSet& queryChars() {
    static const CharacterSet set = pathChars().adding("?");
    return set;
}

// Every character is in `allowed` or starts a well-formed "%XX" escape.
bool isWellFormed(std::string_view text, const CharacterSet& allowed) {
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            if (text.size() - i < 3) return false;
            if (hexValue(text[i + 1]) < 0 || hexValue(text[i + 2]) < 0) return false;
            i += 2;
        } else if (!allowed.contains(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

// Escapes every byte outside `allowed`; never fails (bytes need not be UTF-8).
std::string encodeBytes(std::string_view text, const CharacterSet& allowed) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (allowed.contains(c)) {
            out += ch;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

// Decodes escapes without any UTF-8 check; the caller has validated the escapes.
std::string decodeBytes(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && text.size() - i >= 3 && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string decodeLeniently(std::string_view text) {
    if (auto decoded = removingPercentEncoding(text)) return *decoded;
    return std::string(text);
}

bool isValidScheme(std::string_view s) {
    if (s.empty() || !isAlpha(s[0])) return false;
    for (char c : s)
        if (!isAlpha(c) && !isDigit(c) && c != '+' && c != '-' && c != '.') return false;
    return true;
}

bool isIPv6Literal(std::string_view inner) {
    if (inner.empty() || inner.size() > 45) return false;
    in6_addr addr;
    return inet_pton(AF_INET6, std::string(inner).c_str(), &addr) == 1;
}

// A host as written: a reg-name, or "[IPv6]".
bool isValidHost(std::string_view host) {
    if (!host.empty() && host.front() == '[') {
        return host.size() >= 2 && host.back() == ']' && isIPv6Literal(host.substr(1, host.size() - 2));
    }
    return isWellFormed(host, regNameChars());
}

using Parts = URLParts;

std::optional<Parts> parseReference(std::string_view text) {
    static const CharacterSet allowed =
        CharacterSet::fromCharacters(kUnreserved).adding(kSubDelims).adding(kGenDelims).adding("%");
    if (!isWellFormed(text, allowed)) return std::nullopt;

    Parts parts;
    std::string_view rest = text;
    if (size_t hash = rest.find('#'); hash != std::string_view::npos) {
        std::string_view fragment = rest.substr(hash + 1);
        if (!isWellFormed(fragment, queryChars())) return std::nullopt;
        parts.fragment = std::string(fragment);
        rest = rest.substr(0, hash);
    }
    if (size_t q = rest.find('?'); q != std::string_view::npos) {
        std::string_view query = rest.substr(q + 1);
        if (!isWellFormed(query, queryChars())) return std::nullopt;
        parts.query = std::string(query);
        rest = rest.substr(0, q);
    }
    size_t colon = rest.find(':');
    size_t slash = rest.find('/');
    if (colon != std::string_view::npos && (slash == std::string_view::npos || colon < slash)) {
        // A ':' in the first segment only ever ends a scheme.
        std::string_view scheme = rest.substr(0, colon);
        if (!isValidScheme(scheme)) return std::nullopt;
        parts.scheme = std::string(scheme);
        rest = rest.substr(colon + 1);
    }
    if (rest.substr(0, 2) == "//") {
        rest = rest.substr(2);
        size_t end = rest.find('/');
        std::string_view authority = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
        if (size_t at = authority.rfind('@'); at != std::string_view::npos) {
            std::string_view userinfo = authority.substr(0, at);
            authority = authority.substr(at + 1);
            size_t sep = userinfo.find(':');
            std::string_view user = userinfo.substr(0, sep);
            if (!isWellFormed(user, userChars())) return std::nullopt;
            parts.user = std::string(user);
            if (sep != std::string_view::npos) {
                std::string_view password = userinfo.substr(sep + 1);
                if (!isWellFormed(password, passwordChars())) return std::nullopt;
                parts.password = std::string(password);
            }
        }
        std::string_view host = authority;
        std::optional<std::string_view> portText;
        if (!authority.empty() && authority.front() == '[') {
            size_t close = authority.find(']');
            if (close == std::string_view::npos) return std::nullopt;
            host = authority.substr(0, close + 1);
            std::string_view after = authority.substr(close + 1);
            if (!after.empty()) {
                if (after.front() != ':') return std::nullopt;
                portText = after.substr(1);
            }
        } else if (size_t sep = authority.rfind(':'); sep != std::string_view::npos) {
            host = authority.substr(0, sep);
            portText = authority.substr(sep + 1);
        }
        if (!isValidHost(host)) return std::nullopt;
        parts.host = std::string(host);
        if (portText && !portText->empty()) {
            if (portText->size() > 5) return std::nullopt;
            int port = 0;
            for (char c : *portText) {
                if (!isDigit(c)) return std::nullopt;
                port = port * 10 + (c - '0');
            }
            if (port > 65535) return std::nullopt;
            parts.port = port;
        }
    }
    if (!isWellFormed(rest, pathChars())) return std::nullopt;
    parts.path = std::string(rest);
    return parts;
}

std::string compose(const Parts& p) {
    std::string out;
    if (p.scheme) out += *p.scheme + ":";
    if (p.host) {
        out += "//";
        if (p.user) {
            out += *p.user;
            if (p.password) out += ":" + *p.password;
            out += "@";
        }
        out += *p.host;
        if (p.port) out += ":" + std::to_string(*p.port);
    }
    out += p.path;
    if (p.query) out += "?" + *p.query;
    if (p.fragment) out += "#" + *p.fragment;
    return out;
}

std::string removeDotSegments(std::string_view input) {
    std::string out;
    while (!input.empty()) {
        if (input.substr(0, 3) == "../") {
            input.remove_prefix(3);
        } else if (input.substr(0, 2) == "./") {
            input.remove_prefix(2);
        } else if (input.substr(0, 3) == "/./") {
            input.remove_prefix(2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.substr(0, 4) == "/../" || input == "/..") {
            input = input.size() == 3 ? std::string_view("/") : input.substr(3);
            size_t last = out.rfind('/');
            out.erase(last == std::string::npos ? 0 : last);
        } else if (input == "." || input == "..") {
            input = {};
        } else {
            size_t next = input.find('/', input.front() == '/' ? 1 : 0);
            out += input.substr(0, next);
            input = next == std::string_view::npos ? std::string_view() : input.substr(next);
        }
    }
    return out;
}

Parts resolve(const Parts& base, const Parts& ref) {
    Parts t;
    if (ref.scheme) {
        t = ref;
        t.path = removeDotSegments(ref.path);
        return t;
    }
    if (ref.host) {
        t = ref;
        t.path = removeDotSegments(ref.path);
    } else {
        if (ref.path.empty()) {
            t.path = base.path;
            t.query = ref.query ? ref.query : base.query;
        } else {
            if (ref.path.front() == '/') {
                t.path = removeDotSegments(ref.path);
            } else {
                std::string merged;
                if (base.host && base.path.empty()) {
                    merged = "/" + ref.path;
                } else {
                    size_t last = base.path.rfind('/');
                    merged = (last == std::string::npos ? std::string() : base.path.substr(0, last + 1)) + ref.path;
                }
                t.path = removeDotSegments(merged);
            }
            t.query = ref.query;
        }
        t.user = base.user;
        t.password = base.password;
        t.host = base.host;
        t.port = base.port;
    }
    t.scheme = base.scheme;
    t.fragment = ref.fragment;
    return t;
}

std::shared_ptr<const URLParts> keep(std::optional<Parts> parts) {
    return parts ? std::make_shared<const URLParts>(std::move(*parts)) : nullptr;
}

}  // namespace

// ---- CharacterSet ----

CharacterSet CharacterSet::fromCharacters(std::string_view ascii) { return CharacterSet().adding(ascii); }

CharacterSet CharacterSet::adding(std::string_view ascii) const {
    CharacterSet out = *this;
    for (char c : ascii)
        if (static_cast<unsigned char>(c) < 128) out.bits_.set(static_cast<unsigned char>(c));
    return out;
}

CharacterSet CharacterSet::removing(std::string_view ascii) const {
    CharacterSet out = *this;
    for (char c : ascii)
        if (static_cast<unsigned char>(c) < 128) out.bits_.reset(static_cast<unsigned char>(c));
    return out;
}

CharacterSet CharacterSet::URLQueryAllowed() { return fromCharacters(kUnreserved).adding(kSubDelims).adding(":@/?"); }
CharacterSet CharacterSet::URLFragmentAllowed() { return URLQueryAllowed(); }
CharacterSet CharacterSet::URLPathAllowed() {
    return fromCharacters(kUnreserved).adding(kSubDelims).removing(";").adding(":@/");
}
CharacterSet CharacterSet::URLHostAllowed() { return fromCharacters(kUnreserved).adding(kSubDelims).adding(":[]"); }
CharacterSet CharacterSet::URLUserAllowed() { return fromCharacters(kUnreserved).adding(kSubDelims); }
CharacterSet CharacterSet::alphanumerics() {
    return fromCharacters("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789");
}

// ---- percent-encoding ----

std::optional<std::string> addingPercentEncoding(std::string_view text, const CharacterSet& allowed) {
    if (!platform::text::isValidUTF8(text)) return std::nullopt;
    return encodeBytes(text, allowed);
}

std::optional<std::string> removingPercentEncoding(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (text.size() - i < 3) return std::nullopt;
        int hi = hexValue(text[i + 1]), lo = hexValue(text[i + 2]);
        if (hi < 0 || lo < 0) return std::nullopt;
        out += char(hi * 16 + lo);
        i += 2;
    }
    if (!platform::text::isValidUTF8(out)) return std::nullopt;
    return out;
}

// ---- URL ----

const URLParts& URL::parsed() const {
    static const URLParts none;
    return parts_ ? *parts_ : none;
}

std::optional<URL> URL::string(std::string_view text) {
    if (text.empty()) return std::nullopt;
    auto parts = parseReference(text);
    if (!parts) return std::nullopt;
    URL url;
    url.absolute_ = std::string(text);
    url.parts_ = keep(std::move(parts));
    return url;
}

std::optional<URL> URL::string(std::string_view text, const URL& base) {
    if (base.isEmpty()) return string(text);
    auto ref = parseReference(text);
    if (!ref) return std::nullopt;
    Parts target = resolve(base.parsed(), *ref);
    // Against a relative base the result may read differently than it was built; keep it a path.
    if (!target.host && target.path.substr(0, 2) == "//") target.path = "/." + target.path;
    if (!target.scheme && !target.host) {
        size_t colon = target.path.find(':');
        if (colon != std::string::npos && colon < target.path.find('/')) target.path = "./" + target.path;
    }
    URL url;
    url.absolute_ = compose(target);
    auto parts = url.absolute_.empty() ? std::nullopt : parseReference(url.absolute_);
    if (!parts) return std::nullopt;
    url.parts_ = keep(std::move(parts));
    url.relative_ = std::string(text);
    url.base_ = std::make_shared<const URL>(base);
    return url;
}

URL URL::fileURL(std::string_view path, bool isDirectory) {
    std::string full(path);
    if (full.empty() || full.front() != '/') {
        std::error_code ec;
        auto cwd = std::filesystem::current_path(ec);
        std::string dir = ec ? std::string("/") : cwd.string();
        if (dir.empty() || dir.back() != '/') dir += '/';
        full = dir + full;
    }
    if (isDirectory && full.back() != '/') full += '/';
    URL url;
    url.absolute_ = "file://" + encodeBytes(full, CharacterSet::URLPathAllowed());
    url.parts_ = keep(parseReference(url.absolute_));
    return url;
}

URL URL::absoluteURL() const {
    URL url;
    url.absolute_ = absolute_;
    url.parts_ = parts_;
    return url;
}

std::optional<std::string> URL::scheme() const {
    const auto& s = parsed().scheme;
    if (s) return lowercasedASCII(*s);
    return std::nullopt;
}

std::optional<std::string> URL::user() const {
    const auto& u = parsed().user;
    if (u) return decodeLeniently(*u);
    return std::nullopt;
}

std::optional<std::string> URL::password() const {
    const auto& p = parsed().password;
    if (p) return decodeLeniently(*p);
    return std::nullopt;
}

std::optional<std::string> URL::host() const {
    const auto& h = parsed().host;
    if (!h) return std::nullopt;
    if (!h->empty() && h->front() == '[') return h->substr(1, h->size() - 2);
    return decodeLeniently(*h);
}

std::optional<int> URL::port() const { return parsed().port; }

std::string URL::percentEncodedPath() const { return parsed().path; }

std::string URL::path() const {
    std::string p = percentEncodedPath();
    if (p.size() > 1 && p.back() == '/') p.pop_back();
    return decodeBytes(p);
}

std::optional<std::string> URL::query() const { return parsed().query; }
std::optional<std::string> URL::fragment() const { return parsed().fragment; }

std::vector<std::string> URL::pathComponents() const {
    std::string p = path();
    std::vector<std::string> out;
    if (p.empty()) return out;
    if (p.front() == '/') out.push_back("/");
    size_t i = 0;
    while (i < p.size()) {
        size_t next = p.find('/', i);
        if (next == std::string::npos) next = p.size();
        if (next > i) out.push_back(p.substr(i, next - i));
        i = next + 1;
    }
    return out;
}

std::string URL::lastPathComponent() const {
    auto components = pathComponents();
    return components.empty() ? std::string() : components.back();
}

std::string URL::pathExtension() const {
    std::string last = lastPathComponent();
    size_t dot = last.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == last.size() || last == "/") return {};
    return last.substr(dot + 1);
}

bool URL::hasDirectoryPath() const {
    std::string p = percentEncodedPath();
    return !p.empty() && p.back() == '/';
}

bool URL::isFileURL() const { return scheme() == "file"; }

URL URL::appendingPathComponent(std::string_view component, bool isDirectory) const {
    Parts parts = parsed();
    std::string path = parts.path;
    if (path.empty() ? parts.host.has_value() : path.back() != '/') path += '/';
    std::string_view c = component;
    if (!c.empty() && c.front() == '/' && !path.empty() && path.back() == '/') c.remove_prefix(1);
    path += encodeBytes(c, CharacterSet::URLPathAllowed());
    if (isDirectory && (path.empty() || path.back() != '/')) path += '/';
    parts.path = path;
    if (auto url = string(compose(parts))) return *url;
    return *this;
}

URL URL::deletingLastPathComponent() const {
    Parts parts = parsed();
    std::string path = parts.path;
    if (path.empty() || path == "/") return absoluteURL();
    if (path.back() == '/') path.pop_back();
    size_t last = path.rfind('/');
    path = last == std::string::npos ? std::string("./") : path.substr(0, last + 1);
    parts.path = path;
    parts.query.reset();
    parts.fragment.reset();
    if (auto url = string(compose(parts))) return *url;
    return *this;
}

// ---- URLComponents ----

std::optional<URLComponents> URLComponents::fromString(std::string_view text) {
    auto parts = parseReference(text);
    if (!parts) return std::nullopt;
    URLComponents c;
    c.scheme_ = parts->scheme;
    c.user_ = parts->user;
    c.password_ = parts->password;
    c.host_ = parts->host;
    c.port_ = parts->port;
    c.path_ = parts->path;
    c.query_ = parts->query;
    c.fragment_ = parts->fragment;
    return c;
}

std::optional<URLComponents> URLComponents::fromURL(const URL& url, bool resolvingAgainstBaseURL) {
    return fromString(resolvingAgainstBaseURL ? url.absoluteString() : url.relativeString());
}

std::optional<std::string> URLComponents::string() const {
    if (scheme_ && !isValidScheme(*scheme_)) return std::nullopt;
    if (port_ && (*port_ < 0 || *port_ > 65535)) return std::nullopt;
    bool hasAuthority = host_ || user_ || password_ || port_;
    if (hasAuthority && !path_.empty() && path_.front() != '/') return std::nullopt;
    if (!hasAuthority && path_.substr(0, 2) == "//") return std::nullopt;
    if (!scheme_ && !hasAuthority) {
        size_t colon = path_.find(':');
        if (colon != std::string::npos && colon < path_.find('/')) return std::nullopt;
    }
    Parts p;
    p.scheme = scheme_;
    p.user = user_;
    p.password = password_;
    p.host = hasAuthority ? host_.value_or("") : host_;
    p.port = port_;
    p.path = path_;
    p.query = query_;
    p.fragment = fragment_;
    std::string text = compose(p);
    if (!parseReference(text)) return std::nullopt;
    return text;
}

std::optional<URL> URLComponents::url() const {
    auto text = string();
    if (!text) return std::nullopt;
    return URL::string(*text);
}

std::optional<URL> URLComponents::url(const URL& base) const {
    auto text = string();
    if (!text) return std::nullopt;
    return URL::string(*text, base);
}

std::optional<std::string> URLComponents::user() const {
    if (user_) return decodeLeniently(*user_);
    return std::nullopt;
}
void URLComponents::setUser(const std::optional<std::string>& user) {
    user_ = user ? std::optional<std::string>(encodeBytes(*user, userChars())) : std::nullopt;
}
std::optional<std::string> URLComponents::password() const {
    if (password_) return decodeLeniently(*password_);
    return std::nullopt;
}
std::optional<std::string> URLComponents::host() const {
    if (!host_) return std::nullopt;
    if (!host_->empty() && host_->front() == '[') return host_->substr(1, host_->size() - 2);
    return decodeLeniently(*host_);
}
void URLComponents::setHost(const std::optional<std::string>& host) {
    if (!host) {
        host_.reset();
    } else if (isIPv6Literal(*host)) {
        host_ = "[" + *host + "]";
    } else {
        host_ = encodeBytes(*host, regNameChars());
    }
}
std::string URLComponents::path() const { return decodeLeniently(path_); }
void URLComponents::setPath(std::string_view path) { path_ = encodeBytes(path, pathChars()); }
std::optional<std::string> URLComponents::query() const {
    if (query_) return decodeLeniently(*query_);
    return std::nullopt;
}
std::optional<std::string> URLComponents::fragment() const {
    if (fragment_) return decodeLeniently(*fragment_);
    return std::nullopt;
}
void URLComponents::setFragment(const std::optional<std::string>& fragment) {
    fragment_ = fragment ? std::optional<std::string>(encodeBytes(*fragment, queryChars())) : std::nullopt;
}

bool URLComponents::setPercentEncodedQuery(std::optional<std::string> query) {
    if (query && !isWellFormed(*query, queryChars())) return false;
    query_ = std::move(query);
    return true;
}

std::optional<std::vector<URLQueryItem>> URLComponents::percentEncodedQueryItems() const {
    if (!query_) return std::nullopt;
    std::vector<URLQueryItem> items;
    if (query_->empty()) return items;
    std::string_view rest = *query_;
    while (true) {
        size_t amp = rest.find('&');
        std::string_view piece = rest.substr(0, amp);
        size_t eq = piece.find('=');
        URLQueryItem item;
        item.name = std::string(piece.substr(0, eq));
        if (eq != std::string_view::npos) item.value = std::string(piece.substr(eq + 1));
        items.push_back(std::move(item));
        if (amp == std::string_view::npos) break;
        rest = rest.substr(amp + 1);
    }
    return items;
}

std::optional<std::vector<URLQueryItem>> URLComponents::queryItems() const {
    auto items = percentEncodedQueryItems();
    if (!items) return std::nullopt;
    for (auto& item : *items) {
        item.name = decodeLeniently(item.name);
        if (item.value) item.value = decodeLeniently(*item.value);
    }
    return items;
}

void URLComponents::setQueryItems(const std::optional<std::vector<URLQueryItem>>& items) {
    if (!items) {
        query_.reset();
        return;
    }
    static const CharacterSet allowed = queryChars().removing("&=+#");
    std::string query;
    for (size_t i = 0; i < items->size(); ++i) {
        if (i) query += '&';
        query += encodeBytes((*items)[i].name, allowed);
        if ((*items)[i].value) query += "=" + encodeBytes(*(*items)[i].value, allowed);
    }
    query_ = std::move(query);
}

std::string URLComponents::description() const {
    std::string out = "URLComponents {";
    auto field = [&out](const char* name, const std::optional<std::string>& v) {
        if (v) out += std::string(" ") + name + ": " + *v;
    };
    field("scheme", scheme_);
    field("user", user_);
    field("password", password_);
    field("host", host_);
    if (port_) out += " port: " + std::to_string(*port_);
    out += " path: " + path_;
    field("query", query_);
    field("fragment", fragment_);
    out += " }";
    return out;
}

std::string withoutURLPasswords(std::string_view text) {
    std::string out;
    size_t from = 0;
    for (size_t mark = text.find("://"); mark != std::string_view::npos; mark = text.find("://", from)) {
        // The authority ends where its URL's path, query or fragment starts, or where the text leaves the URL.
        size_t start = mark + 3;
        size_t end = std::min(text.find_first_of("/?#\"'<> \t\r\n", start), text.size());
        std::string_view authority = text.substr(start, end - start);
        size_t at = authority.rfind('@');
        size_t colon = authority.find(':');
        if (at != std::string_view::npos && colon < at) {
            out.append(text.substr(from, start + colon - from));
            from = start + at;
        } else {
            out.append(text.substr(from, end - from));
            from = end;
        }
    }
    out.append(text.substr(from));
    return out;
}

}  // namespace platform
