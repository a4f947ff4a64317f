#pragma once
// The headless engine reads a page's forms with a reader of a library of its own (platform/webkit/forms),
// which the web views do not link, so no launch of the app loads an HTML parser. Whoever submits forms
// headless sets the reader first: the host loads it as a module with the first `submit`, tests link it.
#include <atomic>
#include <optional>
#include <string>
#include <string_view>

#include "platform/webkit/WebKitTypes.h"

namespace platform::webkit {

// A page as it came: its bytes, the charset its answer named (empty for none) and its URL.
struct FormPage {
    std::string_view bytes;
    std::string charset;
    URL url;
};

// The request a form sends (see FormFill): a GET with the fields as its query, or a POST with them as an
// application/x-www-form-urlencoded body. Without a request, `problem` says why (no such form, field or
// choice; an invalid field; another encoding).
struct FormRequest {
    std::optional<URLRequest> request;
    std::string problem;
    bool noReferrer = false;  // the form's rel says noreferrer: the request goes without a Referer
};

// Reads a form of the page (a read may take seconds: call it off the main thread); `stop`, once set, ends
// a read in progress soon, with a problem.
using FormReader = FormRequest (*)(const FormPage& page, const FormFill& fill, const std::atomic<bool>& stop);

// Any thread; a reader once set stays.
void setFormReader(FormReader reader);
// Null until one is set.
FormReader formReader();

}  // namespace platform::webkit
