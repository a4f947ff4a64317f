#include "platform/urlsession/internal/AuthChallenges.h"

#include "platform/foundation/ASCII.h"
#include "platform/foundation/URLRequest.h"

namespace platform::urlsession_detail {

namespace {

bool isTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken68Char(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("-._~+/").find(c) != std::string_view::npos;
}

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

class Reader {
public:
    explicit Reader(std::string_view s) : s_(s) {}
    bool atEnd() const { return pos_ >= s_.size(); }
    char peek() const { return atEnd() ? '\0' : s_[pos_]; }
    size_t pos() const { return pos_; }
    void seek(size_t pos) { pos_ = pos; }
    void skipSpace() {
        while (!atEnd() && (s_[pos_] == ' ' || s_[pos_] == '\t')) ++pos_;
    }
    void skipSpaceAndCommas() {
        while (!atEnd() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == ',')) ++pos_;
    }
    std::string_view token() {
        size_t start = pos_;
        while (!atEnd() && isTokenChar(s_[pos_])) ++pos_;
        return s_.substr(start, pos_ - start);
    }
    // A token68 that stands alone (followed by the end or a comma); pos is unchanged otherwise.
    std::optional<std::string_view> token68() {
        size_t start = pos_;
        while (!atEnd() && isToken68Char(s_[pos_])) ++pos_;
        if (pos_ == start) return std::nullopt;
        while (!atEnd() && s_[pos_] == '=') ++pos_;
        size_t end = pos_;
        skipSpace();
        if (atEnd() || peek() == ',') return s_.substr(start, end - start);
        pos_ = start;
        return std::nullopt;
    }
    std::optional<std::string> quotedString() {
        if (peek() != '"') return std::nullopt;
        ++pos_;
        std::string out;
        while (!atEnd()) {
            char c = s_[pos_++];
            if (c == '"') return out;
            if (c == '\\') {
                if (atEnd()) return std::nullopt;
                c = s_[pos_++];
            }
            out += c;
        }
        return std::nullopt;  // unterminated
    }
    // At a parameter: token BWS "=" BWS and a value; a token68 ends in '=' padding instead ("abc==").
    bool atParameter() {
        size_t start = pos_;
        auto name = token();
        skipSpace();
        bool yes = false;
        if (!name.empty() && peek() == '=') {
            ++pos_;
            skipSpace();
            yes = !atEnd() && peek() != '=' && peek() != ',';
        }
        pos_ = start;
        return yes;
    }

private:
    std::string_view s_;
    size_t pos_ = 0;
};

}  // namespace

bool AuthChallengeHeader::isScheme(std::string_view name) const { return equalsIgnoringASCIICase(scheme, name); }

std::optional<std::string> AuthChallengeHeader::param(std::string_view lowerName) const {
    auto it = params.find(std::string(lowerName));
    if (it == params.end()) return std::nullopt;
    return it->second;
}

std::vector<AuthChallengeHeader> parseAuthChallenges(std::string_view field) {
    std::vector<AuthChallengeHeader> out;
    Reader r(field);
    for (;;) {
        r.skipSpaceAndCommas();
        if (r.atEnd()) break;
        AuthChallengeHeader challenge;
        challenge.scheme = std::string(r.token());
        if (challenge.scheme.empty()) break;  // not a scheme: nothing after this can be trusted
        if (!r.atEnd() && r.peek() != ' ' && r.peek() != '\t' && r.peek() != ',') break;
        r.skipSpace();
        if (r.atEnd() || r.peek() == ',') {
            out.push_back(std::move(challenge));
            continue;
        }
        if (!r.atParameter()) {
            auto t68 = r.token68();
            if (!t68) break;
            challenge.token68 = std::string(*t68);
            out.push_back(std::move(challenge));
            continue;
        }
        bool malformed = false;
        for (;;) {
            auto name = r.token();
            r.skipSpace();
            if (name.empty() || r.peek() != '=') {
                malformed = true;
                break;
            }
            r.seek(r.pos() + 1);
            r.skipSpace();
            std::optional<std::string> value;
            if (r.peek() == '"')
                value = r.quotedString();
            else if (auto t = r.token(); !t.empty())
                value = std::string(t);
            if (!value) {
                malformed = true;
                break;
            }
            challenge.params.try_emplace(lower(name),
                                         std::move(*value));  // a repeated name: the first counts
            r.skipSpace();
            if (r.atEnd()) break;
            if (r.peek() != ',') {
                malformed = true;
                break;
            }
            // After the comma: another parameter of this challenge, or the next challenge.
            size_t comma = r.pos();
            r.skipSpaceAndCommas();
            if (r.atEnd() || !r.atParameter()) {
                r.seek(comma);
                break;
            }
        }
        if (malformed) break;
        out.push_back(std::move(challenge));
    }
    return out;
}

std::string basicAuthorization(const URLCredential& credential) {
    return "Basic " + base64Encoded(credential.user().value_or("") + ":" + credential.password().value_or(""));
}

}  // namespace platform::urlsession_detail
