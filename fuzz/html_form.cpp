// Reads arbitrary pages for a form and fills it in. Input: first line the answer's charset (may be
// empty), second line the fields as a submit command gives them ("NAME=VALUE -NAME=VALUE ...", the first
// word the form's action), the rest the page's bytes.
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "platform/webkit/forms/HTMLForm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    auto line = [&input](size_t& at) {
        size_t end = input.find('\n', at);
        if (end == std::string::npos) end = input.size();
        std::string text = input.substr(at, end - at);
        at = std::min(end + 1, input.size());
        return text;
    };
    size_t at = 0;
    std::string charset = line(at);
    std::istringstream words(line(at));
    platform::webkit::FormFill fill;
    words >> fill.action;
    for (std::string word; words >> word;) {
        bool off = word.size() > 1 && word[0] == '-';
        size_t equals = word.find('=');
        if (equals == std::string::npos) continue;
        fill.values.push_back({word.substr(off ? 1 : 0, equals - (off ? 1 : 0)), word.substr(equals + 1), off});
    }
    auto page = platform::URL::string("https://intranet.example/dir/page.html");
    std::atomic<bool> noStop{false};
    auto made = platform::webkit::forms::readForm({std::string_view(input).substr(at), charset, *page}, fill, noStop);
    if (made.request.has_value() == !made.problem.empty()) std::abort();
    if (made.request && made.request->HTTPMethod() == "POST") {
        const auto& body = made.request->HTTPBody();
        // Encoded bytes only: letters, digits, "*-._+&=" and %XX.
        for (uint8_t c : body.value_or(platform::Bytes()))
            if (!std::isalnum(c) && std::string_view("*-._+&=%").find(static_cast<char>(c)) == std::string_view::npos)
                std::abort();
    }
    return 0;
}
