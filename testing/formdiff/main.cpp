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
#include "testing/formdiff/Kinds.h"

namespace {

using namespace platform;
using namespace platform::webkit;
using tesmar_formdiff::PageSpec;
using tesmar_formdiff::replaced;
using tesmar_formdiff::Sent;
using tesmar_formdiff::shown;
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

// The page cut down to the fewest parts (and extras) that still show the same kind of difference.
PageSpec cutDown(Run& run, PageSpec spec, const std::string& kind) {
    auto stillDiffers = [&](const PageSpec& candidate) {
        auto [real, headless] = run.both(candidate);
        for (const auto& found : tesmar_formdiff::kindsOf(candidate, real, headless))
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
        auto pageKinds = tesmar_formdiff::kindsOf(spec, real, headless);
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
