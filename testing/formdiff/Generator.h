#pragma once
// Random form pages for the engines' differential run: each page is a list of parts (fields, buttons,
// odd markup), so a page that differs can be cut down part by part to the few that make it differ.
// The same seed and index give the same page on every machine.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/webkit/WebKitTypes.h"

namespace tesmar_formdiff {

// One piece of a page: its markup in the page's encoding, and what the user fills in for it.
struct Part {
    std::string kind;  // what it is, for grouping ("select multiple", "date", "disabled fieldset", ...)
    std::string html;
    std::vector<platform::webkit::FormField> fill;
    bool outside = false;  // placed after the form, owned through form=
    bool risky = false;    // may fail a check other than `required`: the form then skips checks
};

struct PageSpec {
    uint64_t seed = 0;
    size_t index = 0;
    std::string encoding;              // the encoding's canonical name, "windows-1252" when nothing says
    std::string declaredBy;            // "answer", "meta", "meta http-equiv", "accept-charset", "nothing", ...
    std::string contentType;           // of the page's answer
    std::string referrerPolicy;        // the answer's Referrer-Policy header, or ""
    std::vector<std::string> cookies;  // Set-Cookie values of the page's answer (and of the other site's)
    std::string pageOrigin = "http://site.test";  // where the page is, http or https
    bool crossSite = false;                       // the form goes to another origin:
    std::string actionOrigin;                     // this one
    std::string head;                             // before the forms: <meta>, a decoy form
    std::string formOpen;                         // "<form ...>" without the wrapper
    std::string wrapper;                          // "plain", "table", "div"
    std::string action;                           // as the form writes it; the fill's action
    std::vector<Part> parts;
    bool wholePageUTF16 = false;  // the page is written in UTF-8 and turned into UTF-16 at the end
    bool utf8BOM = false;         // the page starts with UTF-8's byte order mark
};

// The page `index` of run `seed`.
PageSpec generate(uint64_t seed, size_t index);

// The page's bytes with the engine's own folder (prefix "/r/12/") in its URLs.
std::string render(const PageSpec& spec, const std::string& prefix);
platform::webkit::FormFill fillOf(const PageSpec& spec, const std::string& prefix);
// One line naming what the page holds: encoding, how it was declared, the form's attributes, the parts.
std::string describe(const PageSpec& spec);

}  // namespace tesmar_formdiff
