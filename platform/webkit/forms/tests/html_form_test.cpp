// The form reader alone: the requests below are those the real engine sends for the same pages and fills
// (host/tests/web_engine_page_test.cpp compares the two engines over the pages that matter most).
#include <gtest/gtest.h>
#include <locale.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "platform/webkit/forms/HTMLForm.h"

namespace {

using namespace platform;
using namespace platform::webkit;

const std::atomic<bool> noStop{false};

TEST(HTMLForm, FillsInAndSendsAFormAsTheEngineDoes) {
    const std::string form =
        "<form id=a action='/search.html'><input name=q value='x y'></form>"
        "<form id=f method=POST action=post.html><input type=hidden name=token value='t&amp;k'>"
        "<input name=user required><input name=dis value=no disabled>"
        "<fieldset disabled><input name=fs value=no></fieldset><input type=checkbox name=remember>"
        "<input type=checkbox name=opt value=a checked><input type=checkbox name=opt value=b>"
        "<input type=radio name=r value=1 checked><input type=radio name=r value=2>"
        "<select name=s><option>One</option><option value=2>Two</option><option disabled>Three</option></select>"
        "<textarea name=t>\nline1\nline2</textarea><input type=file name=file>"
        "<input type=reset name=reset><input type=button name=b value=b>"
        "<button name=go value=first>First</button><input type=submit name=go2></form>"
        "<input name=outside value=o form=f>";
    const std::string search = "<form action='/search.html?old=1#frag'><input name=q value='caf\xC3\xA9'>"
                               "<input type=submit name=go></form>";
    const std::string twice = "<form method=post action=/t><input name=item><input name=item value=second>"
                              "<input type=checkbox name=c value=1 checked><select name=m multiple>"
                              "<option selected>a<option selected>b</select></form>";
    const std::string spelt = "<form method=post action='  /s/pad  '><input name=a value=1></form>"
                              "<form method=post action='HTTPS://INTRANET.Example:443/s/u\tp'><input name=a value=2>"
                              "</form><form method=post action='/s/\xC3\xA9'><input name=a value=3></form>";
    std::string everyPrivateUse = "<form action=/p><input name=c value='\x01'>";
    for (int c = 0xF0000; c <= 0x10FFFF; ++c) everyPrivateUse += "&#" + std::to_string(c);
    auto page = *URL::string("https://intranet.example/dir/page.html");
    struct Case {
        std::string label, html;
        FormFill fill;
        std::string request;  // "METHOD URL [BODY]", or the problem
        const char* charset = "utf-8";
    } cases[] = {
        {"every kind of field filled in",
         form,
         {"post.html",
          {{"user", "an na\xC3\xA9"}, {"remember", "on"}, {"r", "2"}, {"s", "2"}, {"t", "new\ntext"}, {"opt", "b"}}},
         "POST https://intranet.example/dir/post.html token=t%26k&user=an+na%C3%A9&remember=on&opt=a&opt=b&r=2&s=2&"
         "t=new%0D%0Atext&file=&go=first&outside=o"},
        {"the page's values, another button",
         form,
         {"https://intranet.example/dir/post.html", {{"user", "x"}, {"go2", ""}}},
         "POST https://intranet.example/dir/post.html token=t%26k&user=x&opt=a&r=1&s=One&t=line1%0D%0Aline2&file=&"
         "go2=Submit&outside=o"},
        {"a GET replaces the action's query",
         search,
         {"/search.html?old=1#frag", {{"go", ""}}},
         "GET https://intranet.example/search.html?q=caf%C3%A9&go=Submit#frag"},
        {"no action: the page itself",
         "<form method=post><input name=a value=1></form>",
         {"page.html", {}},
         "POST https://intranet.example/dir/page.html a=1"},
        {"fields of one name filled in order, a box unchecked, an option deselected",
         twice,
         {"/t", {{"item", "A"}, {"item", "B"}, {"c", "1", true}, {"m", "a", true}}},
         "POST https://intranet.example/t item=A&item=B&m=b"},
        {"more values than fields of the name",
         twice,
         {"/t", {{"item", "A"}, {"item", "B"}, {"item", "C"}}},
         "the form has 2 text fields named item, and more values for them"},
        {"nothing to uncheck in a text field",
         twice,
         {"/t", {{"item", "A", true}}},
         "the form's item is a text field: it has nothing to uncheck"},
        {"no such form",
         form,
         {"/nothing", {}},
         "no form on the page submits to /nothing (its forms submit to: /search.html, post.html)"},
        {"found by the URL its action resolves to: spaces at its ends",
         spelt,
         {"/s/pad", {}},
         "POST https://intranet.example/s/pad a=1"},
        {"... upper case, its scheme's port and a tab",
         spelt,
         {"https://intranet.example/s/up", {}},
         "POST https://intranet.example/s/up a=2"},
        {"... a non-ASCII path", spelt, {"/s/%C3%A9", {}}, "POST https://intranet.example/s/%C3%A9 a=3"},
        {"... sent with its query in the page's encoding",
         "<form method=post action='/s/\xE9?q=\xE9#\xE9'></form>",
         {"/s/%C3%A9?q=%C3%A9#%C3%A9", {}},
         "POST https://intranet.example/s/%C3%A9?q=%E9#%C3%A9 ",
         "windows-1252"},
        {"no forms", "<p>text</p>", {"/nothing", {}}, "the page has no form"},
        {"no such field", form, {"post.html", {{"nofield", "1"}}}, "the form has no field nofield"},
        {"a disabled field", form, {"post.html", {{"fs", "1"}}}, "the form has no field fs"},
        {"no such choice", form, {"post.html", {{"r", "3"}}}, "the form's r has no choice 3"},
        {"a disabled option", form, {"post.html", {{"s", "Three"}}}, "the form's s has no choice Three"},
        {"a required field left empty",
         form,
         {"post.html", {}},
         "the form's field \"user\" is not valid: Fill out this field"},
        {"an empty value chosen is no placeholder in a list, a group, or after the first option",
         "<form method=post action=/p><select name=m multiple required><option value='' selected>e</select>"
         "<select name=l size=2 required><option value='' selected>e</select><select name=g required><optgroup>"
         "<option value='' selected>e</optgroup></select><select name=s required><option value=x><option value='' "
         "selected></select></form>",
         {"/p", {}},
         "POST https://intranet.example/p m=&l=&g=&s="},
        {"a required drop-down list left on its placeholder",
         "<form method=post action=/p><select name=s required><option value=''>pick<option>x</select></form>",
         {"/p", {}},
         "the form's field \"s\" is not valid: Select an item in the list"},
        {"private-use characters of the page, a control character and a noncharacter kept",
         "<form method=post action=/p><input name=a value='&#xF0041;\xF3\xB0\x81\x82'>"
         "<textarea name=t>\xF3\xB0\x80\x8A</textarea><input name=c value='\x01&#xF0001;&#xFDD0;&#xF0100;'></form>",
         {"/p", {}},
         "POST https://intranet.example/p "
         "a=%F3%B0%81%81%F3%B0%81%82&t=%F3%B0%80%8A&c=%01%F3%B0%80%81%EF%B7%90%F3%B0%84%80"},
        {"a select closed by an input leaves the form's end tag be",
         "<form method=post action=/p><select name=s><option>x<input name=i value=1></form><input name=z value=Z>",
         {"/p", {}},
         "POST https://intranet.example/p s=x&i=1"},
        {"deselecting an option not selected changes nothing",
         "<form method=post action=/p><select name=size><option>S<option selected>M<option>L</select></form>",
         {"/p", {{"size", "L", true}}},
         "POST https://intranet.example/p size=M"},
        {"an encoding of no known kind is the default",
         "<form method=post enctype=bogus action=/p><input name=a value=1></form>",
         {"/p", {}},
         "POST https://intranet.example/p a=1"},
        {"a range steps from its value attribute, tiny steps and huge ranges stay finite, the last day is kept",
         "<form method=post action=/p><input type=range name=r value=0.5><input type=range name=r2 step=1e-320>"
         "<input type=range name=r3 min=-1e308 max=1e308><input type=range name=r4 value=-3 step=10>"
         "<input type=date name=d value=275760-09-13><input type=date name=d2 value=275760-09-14>"
         "<input type=month name=m value=275760-10><input type=week name=w value=275760-W38>"
         "<input type=datetime-local name=t value=275760-09-13T00:00:00.001>"
         "<input type=range name=r5 step=0.1 max=1></form>",
         {"/p", {{"r", "3"}, {"r5", "0.33"}}},
         "POST https://intranet.example/p r=3.5&r2=50&r3=0&r4=7&d=275760-09-13&d2=&m=&w=&t=&r5=0.3"},
        {"a later checked radio unchecks those of its group before it, not those of another form",
         "<form method=post action=/p><input type=radio name=r value=0 checked><input type=radio name=r value=x>"
         "<input type=radio name=r checked></form><form><input type=radio name=r value=o checked></form>",
         {"/p", {}},
         "POST https://intranet.example/p r=on"},
        {"dirname on the text fields, hidden and the submitter, not on numbers or boxes",
         "<form method=post action=/p><input type=tel name=t value=x dirname=t.d><input type=password name=p "
         "dirname=p.d><input type=url name=u dirname=u.d><input type=email name=e dirname=e.d><input type=hidden "
         "name=h dirname=h.d><input type=number name=n value=1 dirname=n.d><input type=checkbox name=c checked "
         "dirname=c.d><input type=submit name=s value=go dirname=s.d></form>",
         {"/p", {{"s", "go"}}},
         "POST https://intranet.example/p "
         "t=x&t.d=ltr&p=&p.d=ltr&u=&u.d=ltr&e=&e.d=ltr&h=&h.d=ltr&n=1&c=on&s=go&s.d=ltr"},
        {"a url or email field keeps a vertical tab at its ends",
         "<form method=post action=/p><input type=url name=u value='&#x0B;a&#x0C; '>"
         "<input type=email name=e value='&#x0B;e&#x0B;'></form>",
         {"/p", {}},
         "POST https://intranet.example/p u=%0Ba&e=%0Be%0B"},
        {"a range's number written as the engine writes it; with no step between its min and max, as clamped",
         "<form method=post action=/p><input type=range name=a max=-3 step=5 value=0.5><input type=range name=b "
         "max=1 step=5 value=7><input type=range name=c step=any value=1e1><input type=range name=d step=any "
         "value=1.5e1><input type=range name=e max=5000 step=any value=1.0e2><input type=range name=f step=any "
         "value=2.50><input type=range name=g step=any value=1.234e-7><input type=range name=h step=any "
         "value=0.000001><input type=range name=i step=any value=.5><input type=range name=j step=any value=-0>"
         "<input type=range name=k max=1e30 step=any value=100000000000000000000><input type=range name=l "
         "min=-10 step=any value=-1e1><input type=range name=m value=20.0><input type=range name=n step=any "
         "value=+5><input type=range name=o max=1e1 value=200><input type=range name=p min=7 value=1e1>"
         "<input type=range name=q min=1e1 max=1e1 value=200><input type=range name=s min=x value=100>"
         "<input type=range name=t min=1e1 step=1e1></form>",
         {"/p", {{"s", "0.5"}}},
         "POST https://intranet.example/p a=0&b=1&c=1e%2B1&d=15&e=1e%2B2&f=2.5&g=1.234e-7&h=0.000001&i=0.5&j=0&"
         "k=1e%2B20&l=-10&m=20&n=50&o=10&p=10&q=1e%2B1&s=0&t=6e%2B1"},
        {"a step that adds nothing to a base with an exponent counts in the step's power of ten, unless the value "
         "was the base (an invalid or typed value is clamped twice, a range without a value once)",
         "<form method=post action=/p><input type=range name=a min=1e1 step=100><input type=range name=b min=1e1 "
         "step=100 value=x><input type=range name=c min=1e1 step=0.5 max=10.2><input type=range name=d value=1e1>"
         "<input type=range name=e min=1e1 step=1e2><input type=range name=f min=2e1 step=100 value=20></form>",
         {"/p", {{"d", "10"}}},
         "POST https://intranet.example/p a=10&b=1e%2B1&c=10&d=10&e=1e%2B1&f=2e%2B1"},
        {"_charset_ names the replacement encoding, though the form goes in UTF-8",
         "<form method=post action=/p accept-charset='bogus iso-2022-kr'><input type=hidden name=_charset_>"
         "<input name=a value='\xC3\xA9'></form>",
         {"/p", {}},
         "POST https://intranet.example/p _charset_=replacement&a=%C3%A9"},
        {"accept-charset's labels are parted at spaces and commas only: one with a tab or a line break names none",
         "<form method=post action=/p accept-charset='bogus\tiso-8859-2,l2\n \fl2'><input name=a value='\xC5\x82'>"
         "</form>",
         {"/p", {}},
         "POST https://intranet.example/p a=%C5%82"},
        {"no private-use character left to read a control character with",
         everyPrivateUse,
         {"/p", {}},
         "the page writes nearly every private-use character of planes 15 and 16, which the headless web view reads "
         "its control characters with (run with --web-engine real)"},
        {"another encoding",
         "<form method=post enctype=multipart/form-data action=/up></form>",
         {"/up", {}},
         "the headless web view sends forms as application/x-www-form-urlencoded only, this one is "
         "multipart/form-data (run with --web-engine real)"},
    };
    for (const auto& c : cases) {
        auto made = forms::readForm({c.html, c.charset, page}, c.fill, noStop);
        std::string seen = made.problem;
        if (made.request) {
            const auto& body = made.request->HTTPBody();
            seen = made.request->HTTPMethod() + " " + made.request->url()->absoluteString() +
                   (body ? " " + std::string(body->begin(), body->end()) : "");
            if (body) {
                EXPECT_EQ(made.request->valueForHTTPHeaderField("Content-Type"), "application/x-www-form-urlencoded");
            }
        }
        EXPECT_EQ(seen, c.request) << c.label;
    }
}

// Whatever the page, a read ends within its limits and says which; the tags a browser closes by itself
// (or that hold no elements) nest nothing.
TEST(HTMLForm, AReadEndsWithinItsLimits) {
    auto repeated = [](const std::string& text, size_t times) {
        std::string out;
        for (size_t i = 0; i < times; ++i) out += text;
        return out;
    };
    const std::string form = "<form method=post action=/p><input name=a value=1>";
    forms::ReadLimits nesting, memory, time;
    nesting.nesting = 100;
    memory.memory = 1 << 20;
    time.time = std::chrono::milliseconds(0);
    const std::string deep = "the page's elements nest more than 100 deep, more than the headless web view reads a "
                             "form from (run with --web-engine real)";
    // Each character of text in a formatting element, and each end tag, has the parser look through the open
    // elements.
    const std::string slow = "the page would take more than 10 s to read, more than the headless web view gives a "
                             "form (run with --web-engine real)";
    struct Case {
        std::string label, html;
        forms::ReadLimits limits;
        bool stop;
        std::string request;  // the body, or the problem
    } cases[] = {
        {"nested deeper than the limit", form + repeated("<div>", 101), nesting, false, deep},
        {"closed by the browser (with what was opened inside), void, self-closing in SVG, in a comment, a script or "
         "a quoted attribute",
         form +
             repeated("<p>x<li>y<option>z<a href=#>w<br><img src=x><svg><path/></svg><div title='>'></div>"
                      "<table><tr><td><font>1<td><font>2</table><ul><li><b>3<li><i>4</ul><p><font>5<div>6</div>",
                      1000) +
             "<!--" + repeated("<div>", 200) + "--><script>" + repeated("<div>", 200) + "</script>",
         nesting, false, "a=1"},
        {"an end tag that a block inside its element stops", form + repeated("<span><div></span>", 60), nesting, false,
         deep},
        {"a table's cells that end the selects in it", form + repeated("<table><select><td>", 40), nesting, false,
         deep},
        {"headings, tables and selects closed by their own kind",
         repeated("<h1>", 200) + "</h1>" + repeated("<table>", 200) + "</table>" + repeated("<select>", 200) + form,
         nesting, false, "a=1"},
        {"text that the parser looks through thousands of open elements for",
         form + repeated("<span>", 4000) + "<b>" + std::string(600'000, 'x'),
         {},
         false,
         slow},
        {"end tags that the parser looks through thousands of open elements for",
         form + repeated("<span>", 4000) + repeated("</x>", 600'000),
         {},
         false,
         slow},
        {"more memory than the limit", form + repeated("<br>", 100'000), memory, false,
         "the page takes more than 1 MiB to read, more than the headless web view gives a form (run with --web-engine "
         "real)"},
        {"more time than the limit", form + repeated("<br>", 10'000), time, false,
         "the page took more than 0 s to read, more than the headless web view gives a form (run with --web-engine "
         "real)"},
        {"stopped", form, {}, true, "the read of the page was stopped"},
    };
    for (const auto& c : cases) {
        std::atomic<bool> stop{c.stop};
        auto made =
            forms::readForm({c.html, "utf-8", *URL::string("https://intranet.example/")}, {"/p", {}}, stop, c.limits);
        auto body = made.request ? made.request->HTTPBody().value_or(Bytes()) : Bytes();
        EXPECT_EQ(std::string(body.begin(), body.end()) + made.problem, c.request) << c.label;
    }
}

// The process's locale (the toolkit sets the user's) has its own decimal point and letters: neither may
// change a number the page gives nor leave a byte of the body unescaped.
TEST(HTMLForm, ReadsAndSendsAPageTheSameInAnyLocale) {
    auto dir = std::filesystem::temp_directory_path() / ("tesmar-locale-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    if (std::system(
            ("localedef -i de_DE -f ISO-8859-1 " + (dir / "de_DE.ISO-8859-1").string() + " 2>/dev/null").c_str())) {
        std::filesystem::remove_all(dir);
        GTEST_SKIP() << "localedef cannot make a German ISO-8859-1 locale here";
    }
    ::setenv("LOCPATH", dir.c_str(), 1);
    locale_t german = ::newlocale(LC_ALL_MASK, "de_DE.ISO-8859-1", nullptr);
    ::unsetenv("LOCPATH");
    std::filesystem::remove_all(dir);
    ASSERT_NE(german, locale_t(nullptr));
    const std::string html = "<form method=post action=/r accept-charset=iso-8859-1>"
                             "<input type=range name=r min=0.5 max=2.5 step=0.5 value=2.75>"
                             "<input name=t value='\xC3\xA4'></form>";
    auto body = [&html] {
        auto made = forms::readForm({html, "utf-8", *URL::string("https://intranet.example/")}, {"/r", {}}, noStop);
        auto bytes = made.request ? made.request->HTTPBody().value_or(Bytes()) : Bytes();
        return std::string(bytes.begin(), bytes.end()) + made.problem;
    };
    ::uselocale(german);
    std::string seen = body();
    ::uselocale(LC_GLOBAL_LOCALE);
    ::freelocale(german);
    EXPECT_EQ(seen, "r=2.5&t=%E4");
}

}  // namespace
