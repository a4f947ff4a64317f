// The differential run's own parts: the pages it generates and how it names a difference.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/formdiff/Generator.h"
#include "testing/formdiff/Kinds.h"

namespace {

using namespace tesmar_formdiff;

TEST(FormDiff, DifferencesAreNamedByTheirCause) {
    PageSpec spec;
    spec.encoding = "Shift_JIS";
    spec.crossSite = true;
    spec.actionOrigin = "http://other.test";
    spec.pageOrigin = "http://site.test";
    spec.cookies = {"plain=1; Path=@P@", "ss=2; Path=@P@; SameSite=Lax"};
    spec.parts = {{"outside, radio", "<input type=radio name='r' checked>", {}},
                  {"disabled fieldset, select", "<select name='r'></select>", {}}};
    auto post = [](std::string body, std::string cookie = "plain=1") {
        return Sent{"sent", "POST", "/@/sent", std::move(body), "(none)", "(none)", std::move(cookie)};
    };
    Sent get{"sent", "GET", "/@/sent?q=~", "", "(none)", "(none)", "plain=1"};
    Sent getEscaped = get;
    getEscaped.target = "/@/sent?q=%7E";
    struct Row {
        const char* label;
        Sent real, headless;
        std::vector<std::string> kinds;
    } rows[] = {
        {"alike", post("a=1"), post("a=1"), {}},
        {"an ASCII character escaped",
         get,
         getEscaped,
         {"query: the real engine leaves an ASCII character as it is, the headless escapes it\treal '~', headless "
          "'%7E'"}},
        {"a character one engine encodes",
         post("a=x%81%40y"),
         post("a=x%26%2312316%3By"),
         {"characters encoded otherwise in Shift_JIS\treal '%XX', headless '&#N;'"}},
        {"a character left out",
         post("a=x"),
         post("a=x%26%2365279%3B"),
         {"the real engine leaves out a character, the headless writes a reference\tU+FEFF in Shift_JIS"}},
        {"a look-alike, escaped",
         post("a=%3C1"),
         post("a=%26%2365308%3B1"),
         {"the real engine writes an ASCII look-alike, the headless a reference\tU+FF1C as '<' in Shift_JIS"}},
        {"an entry more",
         post("r=on"),
         post("r=on&r=on"),
         {"body: the headless engine sends more of a radio or select\tdisabled fieldset, select or outside, radio"}},
        {"a cookie more",
         post("a=1"),
         post("a=1", "ss=2; plain=1"),
         {"Cookie on a cross-site POST: the headless engine sends ss (SameSite=Lax)"}},
        {"the page's origin by name",
         Sent{"sent", "POST", "/@/sent", "", "http://site.test/", "null", "plain=1"},
         Sent{"sent", "POST", "/@/sent", "", "http://site.test/", "http://site.test", "plain=1"},
         {"Origin (http page to another origin over http, POST): real null, headless the page's origin"}},
        {"a refusal, without the names it quotes",
         post("a=1"),
         Sent{"refused: the form's field \"a\" is not valid: x y z", "", "", "", "", "", ""},
         {"outcome: real 'sent', headless 'refused: the form's field \"..\" is not valid:'"}},
    };
    for (const auto& row : rows) EXPECT_EQ(kindsOf(spec, row.real, row.headless), row.kinds) << row.label;
}

TEST(FormDiff, PagesAreReproducibleAndFillOnlyWhatTheUserSees) {
    for (size_t index = 0; index < 300; ++index) {
        PageSpec spec = generate(7, index);
        std::string page = render(spec, "/r/1/");
        EXPECT_EQ(render(generate(7, index), "/r/1/"), page) << index;
        EXPECT_EQ(page.find("@P@"), std::string::npos) << index;
        // A fill is UTF-8 as the user types it: names in the page's own bytes are never filled.
        for (const auto& field : fillOf(spec, "/r/1/").values)
            for (unsigned char c : field.name) EXPECT_TRUE(c >= 0x20 && c < 0x7F && c != '&') << index;
    }
    EXPECT_NE(render(generate(7, 0), "/r/1/"), render(generate(8, 0), "/r/1/"));
}

}  // namespace
