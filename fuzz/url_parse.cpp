// Parses arbitrary text as a URL, checks that components compose back to the same parts, and resolves
// references against a base. Input: "text" or "base\nreference".
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/foundation/URL.h"

using platform::URL;
using platform::URLComponents;

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void exercise(const URL& url) {
    (void)url.scheme();
    (void)url.user();
    (void)url.password();
    (void)url.host();
    (void)url.port();
    (void)url.path();
    (void)url.pathComponents();
    (void)url.pathExtension();
    (void)url.lastPathComponent();
    (void)url.deletingLastPathComponent();
    (void)url.appendingPathComponent("x y");

    auto components = URLComponents::fromURL(url, true);
    check(components.has_value());
    auto composed = components->url();
    check(composed.has_value());
    auto again = URLComponents::fromURL(*composed);
    check(again.has_value() && *again == *components);

    auto items = components->queryItems();
    URLComponents rebuilt = *components;
    rebuilt.setQueryItems(items);
    check(rebuilt.queryItems() == items);
    check(rebuilt.url().has_value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);

    if (auto encoded = platform::addingPercentEncoding(input, platform::CharacterSet::URLQueryAllowed()))
        check(platform::removingPercentEncoding(*encoded) == input);

    size_t newline = input.find('\n');
    if (newline == std::string::npos) {
        if (auto url = URL::string(input)) {
            check(url->absoluteString() == input);
            exercise(*url);
        }
        return 0;
    }
    auto base = URL::string(input.substr(0, newline));
    if (!base) return 0;
    exercise(*base);
    if (auto resolved = URL::string(input.substr(newline + 1), *base)) {
        check(URL::string(resolved->absoluteString()).has_value());
        exercise(*resolved);
    }
    return 0;
}
