// tesmar-formdiff: submits generated form pages on both web engines and compares what the server received
// (method, target, body, Referer, Origin, Cookie, or the refusal). The real engine is the reference.
//
//   tesmar-formdiff [--seed S] [--pages N] [--first I] [--out DIR] [--cut N]
//
// Prints "N pages compared, K differ" and the differences grouped by kind; writes a reproducer for each
// differing page to DIR (page bytes, its answer's headers, the fill, both requests), and, for the first N
// (--cut) of them, the same page cut down to the parts that still make it differ. Exits 1 when any page
// differs, 2 when the engines cannot run.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "demo/Certificates.h"
#include "host/VirtualDisplay.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/uikit/Classes.h"
#include "platform/urlsession/HTTPCookieStorage.h"
#include "platform/webkit/FormReader.h"
#include "platform/webkit/WebKit.h"
#include "platform/webkit/forms/HTMLForm.h"
#include "platform/webkit/gtk/WebEngine.h"
#include "testing/TemporaryDeviceRoot.h"
#include "testing/TestHttpServer.h"
#include "testing/formdiff/Generator.h"

namespace {

using namespace platform;
using namespace platform::webkit;
using tesmar_formdiff::PageSpec;
using tesmar_testing::Reply;

class Ends : public NavigationDelegate {
public:
    void didFinishNavigation(WebView&, const std::shared_ptr<Navigation>&) override { ended = true; }
    void didFailNavigation(WebView&, const std::shared_ptr<Navigation>&, const Error& error) override {
        ended = true;
        failure = error.code;
    }
    void didFailProvisionalNavigation(WebView&, const std::shared_ptr<Navigation>&, const Error& error) override {
        ended = true;
        failure = error.code;
    }
    bool ended = false;
    std::optional<long> failure;
};

// What one engine sent for a page, with its own folder in URLs written as "/@/".
struct Sent {
    std::string outcome;  // "sent", "refused: why", "nothing", "page did not load: ..."
    std::string method, target, body, referer, origin, cookie;

    std::vector<std::pair<const char*, const std::string*>> items() const {
        return {{"outcome", &outcome}, {"method", &method}, {"target", &target}, {"body", &body},
                {"Referer", &referer}, {"Origin", &origin}, {"Cookie", &cookie}};
    }
};

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); !from.empty() && at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// Bytes as a reader sees them: printable ASCII as is, the rest as \xNN.
std::string shown(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += char(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

class Run {
public:
    // `server` answers http, `secure` https.
    Run(tesmar_testing::TestHttpServer& server, tesmar_testing::TestHttpServer& secure) : servers_{&server, &secure} {}

    bool start(std::string* error) {
        // Made before the engine starts, so it keeps the headless engine.
        headless_ = std::make_shared<WebView>(uikit::Rect(0, 0, 320, 480));
        headless_->setNavigationDelegate(headlessEnds_);
        if (auto problem = gtk::start()) {
            *error = *problem;
            return false;
        }
        real_ = std::make_shared<WebView>(uikit::Rect(0, 0, 320, 480));
        real_->setNavigationDelegate(realEnds_);
        return true;
    }
    void stop() {
        real_.reset();
        gtk::stop();
        headless_.reset();
    }

    // Both engines' requests for one page.
    std::pair<Sent, Sent> both(const PageSpec& spec) {
        Sent real = one(spec, *real_, *realEnds_, "r");
        Sent headless = one(spec, *headless_, *headlessEnds_, "h");
        return {real, headless};
    }

private:
    bool load(WebView& view, Ends& ends, const std::string& url) {
        ends.ended = false;
        ends.failure.reset();
        view.loadRequest(URLRequest(*URL::string(url)));
        return dispatch::MainLoop::shared().runUntil([&] { return ends.ended; }, 20) && !ends.failure;
    }

    Sent one(const PageSpec& spec, WebView& view, Ends& ends, const char* engine) {
        // Each try of a page has folders of its own on both sites, so no cookie or route of another
        // try (or of the other engine) is seen.
        std::string prefix = std::string("/") + engine + "/" + std::to_string(++tries_) + "/";
        std::string page = tesmar_formdiff::render(spec, prefix);
        Reply reply = Reply::text(page, 200, spec.contentType);
        Reply cookies = Reply::text("<p>cookies</p>", 200, "text/html");
        if (!spec.referrerPolicy.empty()) reply.header("Referrer-Policy", spec.referrerPolicy);
        for (const std::string& cookie : spec.cookies) {
            reply.header("Set-Cookie", replaced(cookie, "@P@", prefix));
            cookies.header("Set-Cookie", replaced(cookie, "@P@", prefix));
        }
        for (auto* server : servers_) {
            server->route("*", prefix + "*", Reply::text("<p>sent</p>", 200, "text/html"));
            server->route("GET", prefix + "form", reply);
            server->route("GET", prefix + "cookies", cookies);
        }

        Sent sent;
        // The form's target has its cookies before the page is shown.
        if (spec.crossSite && !load(view, ends, spec.actionOrigin + prefix + "cookies")) {
            sent.outcome = "the other site's page did not load";
            return sent;
        }
        if (!load(view, ends, spec.pageOrigin + prefix + "form")) {
            sent.outcome = "page did not load: " + std::to_string(ends.failure.value_or(0));
            return sent;
        }
        for (auto* server : servers_) server->clearRequests();
        std::optional<std::optional<std::string>> answer;
        ends.ended = false;
        view.submitForm(tesmar_formdiff::fillOf(spec, prefix),
                        [&](const std::optional<std::string>& problem) { answer = problem; });
        dispatch::MainLoop::shared().runUntil([&] { return answer.has_value(); }, 20);
        if (!answer) {
            sent.outcome = "no answer";
            return sent;
        }
        if (*answer) {
            sent.outcome = "refused: " + replaced(**answer, prefix, "/@/");
            return sent;
        }
        dispatch::MainLoop::shared().runUntil([&] { return ends.ended; }, 20);
        auto ours = [&](const std::vector<tesmar_testing::RecordedRequest>& all) {
            for (const auto& r : all)
                if (r.path.rfind(prefix, 0) == 0) return &r - all.data();
            return ptrdiff_t(-1);
        };
        std::vector<tesmar_testing::RecordedRequest> all;
        ptrdiff_t at = -1;
        for (int waited = 0; at < 0 && waited < 30; ++waited) {
            all.clear();
            for (auto* server : servers_)
                for (auto& r : server->requests()) all.push_back(std::move(r));
            at = ours(all);
            if (at < 0) dispatch::MainLoop::shared().runUntil([] { return false; }, 0.1);
        }
        if (at < 0) {
            sent.outcome = "nothing";
            return sent;
        }
        const auto& r = all[size_t(at)];
        sent.outcome = "sent";
        sent.method = r.method;
        sent.target = replaced(r.target, prefix, "/@/");
        sent.body = r.body;
        sent.referer = replaced(r.header("Referer").value_or("(none)"), prefix, "/@/");
        sent.origin = r.header("Origin").value_or("(none)");
        sent.cookie = r.header("Cookie").value_or("(none)");
        return sent;
    }

    std::vector<tesmar_testing::TestHttpServer*> servers_;
    std::shared_ptr<WebView> real_, headless_;
    std::shared_ptr<Ends> realEnds_ = std::make_shared<Ends>(), headlessEnds_ = std::make_shared<Ends>();
    size_t tries_ = 0;
};

// Grouping: each difference is named by its likely cause, so thousands of pages read as a handful of
// kinds. A kind says which part of the request differs, the field it comes from, and the shape of the
// two engines' bytes there ("%XX" an escaped byte, "&#N;" a character reference).

std::string percentDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out += ' ';
        } else if (text[i] == '%' && i + 2 < text.size() + 0 && std::isxdigit((unsigned char)text[i + 1]) &&
                   std::isxdigit((unsigned char)text[i + 2])) {
            out += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// An encoded value as tokens: an escaped reference, an escaped byte or one character, as written.
std::vector<std::string> tokens(const std::string& encoded) {
    std::vector<std::string> out;
    for (size_t i = 0; i < encoded.size();) {
        size_t length = 1;
        size_t end = encoded.find("%3B", i + 6);
        if (encoded.compare(i, 6, "%26%23") == 0 && end != std::string::npos && end > i + 6 &&
            encoded.find_first_not_of("0123456789", i + 6) == end)
            length = end + 3 - i;
        else if (encoded[i] == '%' && i + 2 < encoded.size())
            length = 3;
        out.push_back(encoded.substr(i, length));
        i += length;
    }
    return out;
}

// Tokens by kind: a run of escaped non-ASCII bytes (with the ASCII a multibyte character carries among
// them, and the escape bytes of a stateful encoding) as one "%XX", a run of references as one "&#N;",
// the rest as written.
std::string shape(const std::vector<std::string>& from) {
    std::string out;
    auto endsWith = [&](const char* what) {
        size_t n = std::strlen(what);
        return out.size() >= n && out.compare(out.size() - n, n, what) == 0;
    };
    for (const std::string& t : from) {
        bool reference = t.size() > 6;
        bool byte = t.size() == 3 && (t[1] >= '8' || t == "%1B");
        if (reference) {
            if (!endsWith("&#N;")) out += "&#N;";
        } else if (byte || (endsWith("%XX") && (std::isalnum((unsigned char)t[0]) || t[0] == '%'))) {
            if (!endsWith("%XX")) out += "%XX";
        } else {
            out += t;
        }
    }
    return out.size() > 40 ? out.substr(0, 40) + "..." : out;
}

// The kind of part a field name belongs to.
std::string partOf(const PageSpec& spec, const std::string& encodedName) {
    std::string name = percentDecoded(encodedName);
    for (const auto& p : spec.parts)
        for (const std::string& written :
             {"name='" + name + "'", "name=\"" + name + "\"", "name=" + name + " ", "name=" + name + ">"})
            if (p.html.find(written) != std::string::npos) return p.kind;
    return "field whose name has characters outside ASCII";
}

std::vector<std::string> split(const std::string& text, char by) {
    std::vector<std::string> out;
    if (text.empty()) return out;
    size_t from = 0;
    for (size_t at; (at = text.find(by, from)) != std::string::npos; from = at + 1)
        out.push_back(text.substr(from, at - from));
    out.push_back(text.substr(from));
    return out;
}

// The kind of difference between two urlencoded lists of entries (a body or a query).
std::string entriesKind(const PageSpec& spec, const std::string& what, const std::string& real,
                        const std::string& headless) {
    auto a = split(real, '&'), b = split(headless, '&');
    auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
    if (a.size() != b.size()) {
        std::map<std::string, int> count;
        for (const auto& e : a) ++count[nameOf(e)];
        for (const auto& e : b) --count[nameOf(e)];
        for (const auto& [name, more] : count)
            if (more != 0)
                return what + ": the " + std::string(more > 0 ? "real" : "headless") + " engine sends more of a " +
                       partOf(spec, name);
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == b[i]) continue;
        bool inName = nameOf(a[i]) != nameOf(b[i]);
        // Only the stretch that differs, in whole escapes and references.
        auto x = tokens(inName ? nameOf(a[i]) : a[i].substr(nameOf(a[i]).size()));
        auto y = tokens(inName ? nameOf(b[i]) : b[i].substr(nameOf(b[i]).size()));
        size_t head = 0;
        while (head < x.size() && head < y.size() && x[head] == y[head]) ++head;
        size_t tail = 0;
        while (tail < x.size() - head && tail < y.size() - head && x[x.size() - 1 - tail] == y[y.size() - 1 - tail])
            ++tail;
        std::vector<std::string> dx(x.begin() + ptrdiff_t(head), x.end() - ptrdiff_t(tail));
        std::vector<std::string> dy(y.begin() + ptrdiff_t(head), y.end() - ptrdiff_t(tail));
        std::string sx = shape(dx), sy = shape(dy);
        bool encoded = (sx + sy).find("%XX") != std::string::npos || (sx + sy).find("&#N;") != std::string::npos;
        // An ASCII character escaped by one engine only differs the same in any field; other values by field.
        bool escaping = !encoded && percentDecoded(sx) == percentDecoded(sy);
        if (!encoded && !escaping) return what + " value of a " + partOf(spec, nameOf(a[i])) + " differs";
        std::string shapes = "real '" + sx + "', headless '" + sy + "'";
        if (!encoded) return what + ": " + shapes;
        // Characters: a query's and a body's are written alike. The characters a reference names
        // tell the cause when one engine leaves them out or writes a look-alike instead.
        std::set<std::string> named;
        for (const auto& t : dy)
            if (t.size() > 6) {
                char buf[16];
                std::snprintf(buf, sizeof buf, "U+%04lX", std::stoul(t.substr(6, t.size() - 9)));
                named.insert(buf);
            }
        std::string characters;
        for (const auto& c : named) characters += (characters.empty() ? "" : " ") + c;
        bool onlyReferences = sy == "&#N;";
        if (onlyReferences && sx.empty() && named.size() <= 2)
            return "the real engine leaves out " + characters + ", the headless writes a reference\t" + spec.encoding;
        if (onlyReferences && sx.find_first_of("%&") == std::string::npos)
            return "the real engine writes an ASCII look-alike, the headless a reference\t" + characters + " as '" +
                   sx + "' in " + spec.encoding;
        return "characters encoded otherwise in " + spec.encoding + "\t" + shapes;
    }
    return what + " differs";
}

// Every kind of difference between the two requests of a page.
std::vector<std::string> kindsOf(const PageSpec& spec, const Sent& real, const Sent& headless) {
    std::vector<std::string> kinds;
    if (real.outcome != headless.outcome) {
        // The first words of a refusal, without the names it quotes.
        auto brief = [](std::string outcome) {
            for (size_t at = outcome.find('"'); at != std::string::npos; at = outcome.find('"', at + 3)) {
                size_t end = outcome.find('"', at + 1);
                if (end == std::string::npos) break;
                outcome.replace(at, end - at + 1, "\"..\"");
            }
            auto words = split(outcome, ' ');
            std::string out;
            for (size_t i = 0; i < words.size() && i < 8; ++i) out += (i ? " " : "") + words[i];
            return out;
        };
        kinds.push_back("outcome: real '" + brief(real.outcome) + "', headless '" + brief(headless.outcome) + "'");
        return kinds;
    }
    std::string context = spec.pageOrigin + " to " + (spec.crossSite ? spec.actionOrigin : "itself") + ", " +
                          real.method + (spec.referrerPolicy.empty() ? "" : ", Referrer-Policy " + spec.referrerPolicy);
    if (real.method != headless.method)
        kinds.push_back("method: real " + real.method + ", headless " + headless.method);
    auto [realPath, realQuery] = std::pair(
        real.target.substr(0, real.target.find('?')),
        real.target.find('?') == std::string::npos ? std::string() : real.target.substr(real.target.find('?') + 1));
    auto [headlessPath, headlessQuery] = std::pair(headless.target.substr(0, headless.target.find('?')),
                                                   headless.target.find('?') == std::string::npos
                                                       ? std::string()
                                                       : headless.target.substr(headless.target.find('?') + 1));
    if (realPath != headlessPath) kinds.push_back("target path: real " + realPath + ", headless " + headlessPath);
    if (realQuery != headlessQuery) kinds.push_back(entriesKind(spec, "query", realQuery, headlessQuery));
    if (real.body != headless.body) kinds.push_back(entriesKind(spec, "body", real.body, headless.body));
    if (real.referer != headless.referer)
        kinds.push_back("Referer (" + context + "): real " + real.referer + ", headless " + headless.referer);
    if (real.origin != headless.origin)
        kinds.push_back("Origin (" + context + "): real " + real.origin + ", headless " + headless.origin);
    if (real.cookie != headless.cookie) {
        // By the cookies one engine sends and the other does not, with the attributes they were set with.
        auto names = [](const std::string& header) {
            std::set<std::string> out;
            for (auto& c : split(header, ';')) {
                std::string trimmed = c.substr(std::min(c.size(), c.find_first_not_of(' ')));
                out.insert(trimmed.substr(0, trimmed.find('=')));
            }
            return out;
        };
        auto a = names(real.cookie), b = names(headless.cookie);
        std::string only;
        for (const auto& c : spec.cookies) {
            std::string name = c.substr(0, c.find('='));
            std::string attributes = c.find(';') == std::string::npos ? "" : c.substr(c.find(';'));
            attributes = replaced(attributes, "; Path=@P@", "");
            if (a.count(name) != b.count(name))
                only += std::string(a.count(name) ? " the real engine" : " the headless engine") + " sends " + name +
                        " (" + (attributes.empty() ? "no attributes" : attributes.substr(2)) + ")";
        }
        kinds.push_back("Cookie on a " + std::string(spec.crossSite ? "cross-site " : "same-origin ") + real.method +
                        ":" + (only.empty() ? " differs" : only));
    }
    return kinds;
}

// The page cut down to the fewest parts (and extras) that still show the same kind of difference.
PageSpec cutDown(Run& run, PageSpec spec, const std::string& kind) {
    auto stillDiffers = [&](const PageSpec& candidate) {
        auto [real, headless] = run.both(candidate);
        for (const auto& found : kindsOf(candidate, real, headless))
            if (found.substr(0, found.find('\t')) == kind) return true;
        return false;
    };
    for (size_t i = spec.parts.size(); i-- > 0;) {
        PageSpec candidate = spec;
        candidate.parts.erase(candidate.parts.begin() + ptrdiff_t(i));
        if (stillDiffers(candidate)) spec = candidate;
    }
    for (const std::function<void(PageSpec&)>& drop : std::vector<std::function<void(PageSpec&)>>{
             [](PageSpec& s) { s.cookies.clear(); }, [](PageSpec& s) { s.referrerPolicy.clear(); },
             [](PageSpec& s) { s.head = replaced(s.head, "<form action=decoy id=decoy><input name=z></form>", ""); }}) {
        PageSpec candidate = spec;
        drop(candidate);
        if (stillDiffers(candidate)) spec = candidate;
    }
    return spec;
}

std::string fillText(const FormFill& fill) {
    std::string out = "action " + shown(fill.action) + "\n";
    for (const FormField& f : fill.values)
        out += "  " + shown(f.name) + "=" + shown(f.value) + (f.off ? "  (off)" : "") + "\n";
    return out;
}

std::string requestText(const Sent& s) {
    std::string out;
    for (auto [name, value] : s.items()) out += std::string("  ") + name + ": " + shown(*value) + "\n";
    return out;
}

void writeReproducer(const std::filesystem::path& dir, const PageSpec& spec, const Sent& real, const Sent& headless) {
    std::filesystem::create_directories(dir);
    std::string prefix = "/@/";
    std::ofstream(dir / "page.html", std::ios::binary) << tesmar_formdiff::render(spec, prefix);
    std::ofstream info(dir / "info.txt", std::ios::binary);
    info << "seed " << spec.seed << " page " << spec.index << " (--seed " << spec.seed << " --first " << spec.index
         << " --pages 1)\n"
         << tesmar_formdiff::describe(spec) << "\n"
         << "page: " << spec.pageOrigin << "/@/form, Content-Type: " << spec.contentType << "\n";
    if (!spec.referrerPolicy.empty()) info << "Referrer-Policy: " << spec.referrerPolicy << "\n";
    for (const auto& c : spec.cookies)
        info << "Set-Cookie: " << replaced(c, "@P@", prefix)
             << (spec.crossSite ? " (also from " + spec.actionOrigin + "/@/cookies, loaded first)" : "") << "\n";
    info << "fill: " << fillText(tesmar_formdiff::fillOf(spec, prefix)) << "real engine sent:\n"
         << requestText(real) << "headless engine sent:\n"
         << requestText(headless);
}

struct Options {
    uint64_t seed = 1;
    size_t pages = 100, first = 0, cut = 40;
    std::string out = "formdiff-out";
};

std::optional<Options> parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i];
        if (flag == "--help" || i + 1 >= argc) return std::nullopt;
        std::string value = argv[++i];
        char* end = nullptr;
        unsigned long long number = std::strtoull(value.c_str(), &end, 10);
        bool numeric = !value.empty() && *end == '\0';
        if (flag == "--out")
            o.out = value;
        else if (!numeric)
            return std::nullopt;
        else if (flag == "--seed")
            o.seed = number;
        else if (flag == "--pages")
            o.pages = size_t(number);
        else if (flag == "--first")
            o.first = size_t(number);
        else if (flag == "--cut")
            o.cut = size_t(number);
        else
            return std::nullopt;
    }
    return o;
}

}  // namespace

int main(int argc, char** argv) {
    auto options = parse(argc, argv);
    if (!options) {
        std::fprintf(stderr, "usage: tesmar-formdiff [--seed S] [--pages N] [--first I] [--out DIR] [--cut N]\n");
        return 2;
    }
    std::string error;
    auto display = tesmar_host::VirtualDisplay::startIfNeeded(&error);
    if (!error.empty()) {
        std::fprintf(stderr, "tesmar-formdiff: no display: %s\n", error.c_str());
        return 2;
    }
    tesmar_testing::TemporaryDeviceRoot device("tesmar-formdiff");
    tesmar_testing::TestHttpServer server;
    // https://secure.test, whose chain ends at a root both engines are given.
    auto pki = tesmar_demo::ServerPKI::make("secure.test");
    auto files = tesmar_demo::writeServerFiles(device.path(), pki.leaf, {&pki.intermediate}, "secure");
    tesmar_testing::TestHttpServer secure(files.certificateChainPath, files.privateKeyPath);
    PlatformConfig::update([&](PlatformSettings& s) {
        for (const char* host : {"site.test:80", "other.test:80", "secure.test:80"})
            s.connectTo[host] = "127.0.0.1:" + std::to_string(server.port());
        s.connectTo["secure.test:443"] = "127.0.0.1:" + std::to_string(secure.port());
        s.extraTrustedRootsPEM = {tesmar_demo::writePEMFile(device.path() + "/root.pem", pki.root.certificatePEM)};
    });
    uikit::registerClasses();
    setFormReader(&forms::readForm);
    Run run(server, secure);
    if (!run.start(&error)) {
        std::fprintf(stderr, "tesmar-formdiff: the real engine does not start: %s\n", error.c_str());
        return 2;
    }

    std::filesystem::path out = options->out;
    std::filesystem::create_directories(out);
    size_t differ = 0, cut = 0;
    struct Group {
        size_t pages = 0;
        std::string example;  // a reproducer, cut down when the budget allowed
        std::map<std::string, size_t> details;
    };
    std::map<std::string, Group> kinds;
    for (size_t index = options->first; index < options->first + options->pages; ++index) {
        PageSpec spec = tesmar_formdiff::generate(options->seed, index);
        auto [real, headless] = run.both(spec);
        auto pageKinds = kindsOf(spec, real, headless);
        if ((index - options->first + 1) % 100 == 0)
            std::fprintf(stderr, "%zu pages, %zu differ\n", index - options->first + 1, differ);
        if (pageKinds.empty()) continue;
        ++differ;
        std::string name = "page-" + std::to_string(options->seed) + "-" + std::to_string(index);
        std::filesystem::remove_all(out / name);  // an earlier run's reproducer of the same page
        writeReproducer(out / name, spec, real, headless);
        for (size_t k = 0; k < pageKinds.size(); ++k) {
            // A kind, and after a tab what this page shows of it.
            std::string kind = pageKinds[k].substr(0, pageKinds[k].find('\t'));
            Group& group = kinds[kind];
            if (pageKinds[k].size() > kind.size()) ++group.details[pageKinds[k].substr(kind.size() + 1)];
            group.example = group.example.empty() ? (out / name).string() : group.example;
            // The first page of a kind is cut down to what still shows it.
            if (group.pages == 0 && cut < options->cut) {
                ++cut;
                PageSpec small = cutDown(run, spec, kind);
                auto [smallReal, smallHeadless] = run.both(small);
                group.example = (out / name / ("cut" + std::to_string(k + 1))).string();
                writeReproducer(group.example, small, smallReal, smallHeadless);
            }
            ++group.pages;
        }
    }
    run.stop();

    std::printf("%zu pages compared, %zu differ\n", options->pages, differ);
    // A page may show more than one kind.
    std::vector<std::pair<std::string, Group>> sorted(kinds.begin(), kinds.end());
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto& a, const auto& b) { return a.second.pages > b.second.pages; });
    for (const auto& [kind, group] : sorted) {
        std::printf("%5zu  %s\n", group.pages, shown(kind).c_str());
        // Its most frequent details.
        std::vector<std::pair<size_t, std::string>> details;
        for (const auto& [detail, count] : group.details) details.emplace_back(count, detail);
        std::sort(details.rbegin(), details.rend());
        for (size_t i = 0; i < details.size() && i < 4; ++i)
            std::printf("         %zu: %s\n", details[i].first, shown(details[i].second).c_str());
        if (details.size() > 4) std::printf("         ... %zu more\n", details.size() - 4);
        std::printf("       e.g. %s\n", group.example.c_str());
    }
    return differ ? 1 : 0;
}
