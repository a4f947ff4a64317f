// Answer heads and authentication challenges as a hostile server would send them. Input: the first
// line is a WWW-Authenticate value; every further line is one line of an answer head.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/urlsession/internal/AuthChallenges.h"
#include "platform/urlsession/internal/RedirectRules.h"
#include "platform/urlsession/internal/ResponseHead.h"

using namespace platform::urlsession_detail;

namespace {

bool isTokenText(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c <= ' ' || c == '"' || c == ',' || c == ';' || c == '=' || c == 0x7f) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t newline = input.find('\n');
    std::string_view challenges = input.substr(0, newline);
    for (const auto& c : parseAuthChallenges(challenges)) {
        if (!isTokenText(c.scheme)) std::abort();
        for (const auto& [name, value] : c.params)
            if (!isTokenText(name)) std::abort();
        (void)c.param("realm");
    }

    ResponseHead head;
    bool malformed = false;
    std::string_view rest = newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);
    while (!rest.empty() && !malformed) {
        size_t end = rest.find('\n');
        std::string line(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        line += "\r\n";
        malformed = head.take(line) == ResponseHead::Line::Malformed;
    }
    // A field is read when the line after it comes: end the head (a trailer's blank line if it has ended).
    if (!malformed) malformed = head.take("\r\n") == ResponseHead::Line::Malformed;
    if (malformed) return 0;
    if (head.status() != 0 && (head.status() < 100 || head.status() > 599)) std::abort();
    auto fields = head.takeFields();
    for (const auto& [name, value] : fields.entries())
        if (name.find_first_of("\r\n:") != std::string::npos || value.find_first_of("\r\n") != std::string::npos)
            std::abort();
    if (const auto* length = fields.find("Content-Length"))
        if (length->empty() || length->find_first_not_of("0123456789") != std::string::npos) std::abort();
    if (const auto* location = fields.find("Location"))
        if (auto target = platform::URL::string(*location, *platform::URL::string("https://a.example/x"))) {
            platform::URLRequest request(*platform::URL::string("https://a.example/x"));
            request.setValue("secret", "Authorization");
            auto next = redirectedRequest(request, head.status(), *target);
            if (!isSameOrigin(*request.url(), *target) && next.valueForHTTPHeaderField("Authorization")) std::abort();
        }
    return 0;
}
