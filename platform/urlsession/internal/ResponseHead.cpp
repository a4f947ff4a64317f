#include "platform/urlsession/internal/ResponseHead.h"

#include <algorithm>
#include <utility>

namespace platform::urlsession_detail {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// RFC 9110 token characters: what a field name may hold.
bool isTokenChar(char c) {
    if (c >= 'a' && c <= 'z') return true;
    if (c >= 'A' && c <= 'Z') return true;
    if (isDigit(c)) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// One line end: LF, or CR LF. Any other CR is left for the caller to refuse.
std::string_view withoutLineEnd(std::string_view line) {
    if (line.ends_with('\n')) line.remove_suffix(1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    return line;
}

}  // namespace

std::optional<StatusLine> parseStatusLine(std::string_view line) {
    line = withoutLineEnd(line);
    if (!line.starts_with("HTTP/")) return std::nullopt;
    size_t sp = line.find(' ');
    if (sp == std::string_view::npos || sp == 5) return std::nullopt;
    for (size_t i = 5; i < sp; ++i)
        if (!isDigit(line[i]) && line[i] != '.') return std::nullopt;
    std::string_view rest = line.substr(sp + 1);
    if (rest.size() < 3 || !isDigit(rest[0]) || !isDigit(rest[1]) || !isDigit(rest[2])) return std::nullopt;
    if (rest.size() > 3 && rest[3] != ' ') return std::nullopt;
    int status = (rest[0] - '0') * 100 + (rest[1] - '0') * 10 + (rest[2] - '0');
    if (status < 100 || status > 599) return std::nullopt;
    return StatusLine{std::string(line.substr(0, sp)), status};
}

ResponseHead::Line ResponseHead::fail(std::string why) {
    problem_ = std::move(why);
    return Line::Malformed;
}

ResponseHead::Line ResponseHead::take(std::string_view line) {
    if (line.size() > kMaxLineLength) return fail("header line longer than the limit");
    line = withoutLineEnd(line);
    if (ended_ && !line.starts_with("HTTP/")) return Line::Ignored;
    // A CR, LF or NUL inside a line would reach the fields (and whoever forwards them) as a line end
    // or a string end of its own.
    if (std::any_of(line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n' || c == '\0'; }))
        return fail("control character in a header line");
    if (status_ == 0 || ended_) return takeStatus(line);
    // An obsolete folded continuation line: the fold becomes one space. The field is read only once
    // its last fold is in, so what it says (a length above all) is checked on the value as joined.
    if (line.starts_with(' ') || line.starts_with('\t')) {
        if (!hasUnread_) return fail("continuation line before any header field");
        if (unread_.size() + line.size() > kMaxLineLength) return fail("folded header line longer than the limit");
        unread_ += ' ';
        unread_ += trimmingHTTPWhitespace(line);
        return Line::Field;
    }
    if (std::exchange(hasUnread_, false))
        if (takeField(unread_) == Line::Malformed) return Line::Malformed;
    if (line.empty()) {
        ended_ = true;
        return Line::End;
    }
    unread_.assign(line);  // the buffer is kept from line to line
    hasUnread_ = true;
    return Line::Field;
}

ResponseHead::Line ResponseHead::takeStatus(std::string_view line) {
    auto parsed = parseStatusLine(line);
    if (!parsed) return fail("malformed status line");
    status_ = parsed->status;
    version_ = std::move(parsed->version);
    fields_.clear();
    fields_.reserve(8);  // room for a usual head at once
    setCookies_.clear();
    contentLength_.reset();
    hasUnread_ = false;
    ended_ = false;
    return Line::Status;
}

ResponseHead::Line ResponseHead::takeField(std::string_view line) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return fail("malformed header line");
    std::string_view name = line.substr(0, colon);
    for (char c : name)
        if (!isTokenChar(c)) return fail("malformed header field name");
    std::string_view value = trimmingHTTPWhitespace(line.substr(colon + 1));
    if (equalsIgnoringASCIICase(name, "Content-Length")) {
        // Every Content-Length a server sends must name the same length (a list of equal values too):
        // otherwise where the body ends is anyone's guess, and a guess lets one answer hide another.
        std::string_view rest = value;
        do {
            size_t comma = rest.find(',');
            std::string_view one = trimmingHTTPWhitespace(rest.substr(0, comma));
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            if (one.empty()) return fail("empty Content-Length");
            for (char c : one)
                if (!isDigit(c)) return fail("malformed Content-Length");
            if (contentLength_ && *contentLength_ != one) return fail("conflicting Content-Length fields");
            if (!contentLength_) {
                contentLength_ = std::string(one);
                fields_.emplace_back(std::string(name), *contentLength_);
            }
        } while (!rest.empty());
        return Line::Field;  // kept once
    }
    if (equalsIgnoringASCIICase(name, "Set-Cookie")) setCookies_.emplace_back(value);
    fields_.emplace_back(std::string(name), std::string(value));
    return Line::Field;
}

HTTPHeaderFields ResponseHead::takeFields() { return HTTPHeaderFields::combining(std::exchange(fields_, {})); }

}  // namespace platform::urlsession_detail
