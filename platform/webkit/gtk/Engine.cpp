// The engine's boot and end: the toolkit on the main thread, GLib's loop inside the platform MainLoop,
// the engine's context behind the loopback proxy, its cookie manager as the data store's jar, and the
// certificate check against the device's trusted CAs.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <dirent.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/security/Trust.h"
#include "platform/webkit/WebsiteDataStore.h"
#include "platform/webkit/gtk/WebEngine.h"
#include "platform/webkit/gtk/internal/Engine.h"
#include "platform/webkit/internal/ConnectProxy.h"

namespace platform::webkit::gtk {

namespace {

// GLib's default context run by the platform MainLoop while it waits. A source of ours tells GLib
// when the MainLoop was woken, so a post made just before GLib polls is not slept through.
class GLibEventLoop : public dispatch::ExternalEventLoop {
public:
    GLibEventLoop() {
        static GSourceFuncs funcs = {
            [](GSource* source, gint* timeout) -> gboolean {
                *timeout = -1;
                return reinterpret_cast<WokenSource*>(source)->loop->woken();
            },
            [](GSource* source) -> gboolean { return reinterpret_cast<WokenSource*>(source)->loop->woken(); },
            [](GSource*, GSourceFunc, gpointer) -> gboolean { return G_SOURCE_CONTINUE; },
            nullptr,
            nullptr,
            nullptr};
        source_ = reinterpret_cast<WokenSource*>(g_source_new(&funcs, sizeof(WokenSource)));
        source_->loop = this;
        g_source_attach(&source_->base, g_main_context_default());
    }
    ~GLibEventLoop() override {
        g_source_destroy(&source_->base);
        g_source_unref(&source_->base);
    }

    bool iterate(double maxSeconds, const std::function<bool()>& woken) override {
        dispatch::mainThread.assertOnThread();
        GMainContext* context = g_main_context_default();
        woken_ = &woken;
        GSource* timeout = nullptr;
        if (maxSeconds > 0) {
            double ms = std::min(std::ceil(maxSeconds * 1000), 3600.0 * 1000);
            timeout = g_timeout_source_new(static_cast<guint>(ms));
            g_source_set_callback(
                timeout, [](gpointer) -> gboolean { return G_SOURCE_REMOVE; }, nullptr, nullptr);
            g_source_attach(timeout, context);
        }
        gboolean handled = g_main_context_iteration(context, maxSeconds > 0);
        if (timeout) {
            g_source_destroy(timeout);
            g_source_unref(timeout);
        }
        woken_ = nullptr;
        return handled;
    }

    void wake() override { g_main_context_wakeup(g_main_context_default()); }

private:
    struct WokenSource {
        GSource base;
        GLibEventLoop* loop;
    };
    bool woken() const { return woken_ && (*woken_)(); }

    WokenSource* source_ = nullptr;
    const std::function<bool()>* woken_ = nullptr;
};

std::optional<HTTPCookie> cookieOf(SoupCookie* cookie) {
    std::vector<std::pair<std::string, Value>> properties = {
        {kHTTPCookieName, Value(soup_cookie_get_name(cookie))},
        {kHTTPCookieValue, Value(soup_cookie_get_value(cookie))},
        {kHTTPCookieDomain, Value(soup_cookie_get_domain(cookie))},
        {kHTTPCookiePath, Value(soup_cookie_get_path(cookie) ? soup_cookie_get_path(cookie) : "/")},
        {kHTTPCookieSecure, Value(static_cast<bool>(soup_cookie_get_secure(cookie)))},
        {kHTTPCookieHTTPOnly, Value(static_cast<bool>(soup_cookie_get_http_only(cookie)))},
    };
    if (GDateTime* expires = soup_cookie_get_expires(cookie))
        properties.push_back({kHTTPCookieExpires, Value(Date::fromTimeIntervalSince1970(
                                                      static_cast<double>(g_date_time_to_unix(expires))))});
    switch (soup_cookie_get_same_site_policy(cookie)) {
    case SOUP_SAME_SITE_POLICY_LAX:
        properties.push_back({kHTTPCookieSameSitePolicy, Value("lax")});
        break;
    case SOUP_SAME_SITE_POLICY_STRICT:
        properties.push_back({kHTTPCookieSameSitePolicy, Value("strict")});
        break;
    default:
        break;
    }
    Value dictionary = Value::dictionary({});
    for (auto& [key, value] : properties) dictionary.set(key, std::move(value));
    return HTTPCookie::cookieWithProperties(dictionary);
}

struct Engine {
    std::shared_ptr<GLibEventLoop> loop;
    std::unique_ptr<webkit_detail::ConnectProxy> proxy;
    WebKitWebContext* context = nullptr;
    std::shared_ptr<CookieJarBackend> previousJar;
};

Engine*& engine() {
    static Engine* running = nullptr;
    return running;
}

WebKitCookieManager* cookieManager() {
    auto* context = engineContext();
    return context
               ? webkit_website_data_manager_get_cookie_manager(webkit_web_context_get_website_data_manager(context))
               : nullptr;
}

// The engine's cookie manager as the default data store's jar.
class EngineCookieJar : public CookieJarBackend {
public:
    void getAllCookies(std::function<void(std::vector<HTTPCookie>)> completion) override {
        auto* manager = cookieManager();
        if (!manager) {
            if (completion) dispatch::MainLoop::shared().post([completion] { completion({}); });
            return;
        }
        using Completion = std::function<void(std::vector<HTTPCookie>)>;
        webkit_cookie_manager_get_all_cookies(
            manager, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<Completion> completion(static_cast<Completion*>(data));
                GList* list =
                    webkit_cookie_manager_get_all_cookies_finish(WEBKIT_COOKIE_MANAGER(source), result, nullptr);
                std::vector<HTTPCookie> cookies;
                for (GList* item = list; item; item = item->next) {
                    if (auto cookie = cookieOf(static_cast<SoupCookie*>(item->data)))
                        cookies.push_back(std::move(*cookie));
                }
                g_list_free_full(list, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
                if (*completion) (*completion)(std::move(cookies));
            },
            new Completion(std::move(completion)));
    }

    void setCookie(const HTTPCookie& cookie, std::function<void()> completion) override {
        change(cookie, std::move(completion), true);
    }
    void deleteCookie(const HTTPCookie& cookie, std::function<void()> completion) override {
        change(cookie, std::move(completion), false);
    }

private:
    static void change(const HTTPCookie& cookie, std::function<void()> completion, bool add) {
        auto* manager = cookieManager();
        if (!manager) {
            if (completion) dispatch::MainLoop::shared().post(std::move(completion));
            return;
        }
        using Completion = std::function<void()>;
        SoupCookie* made = soupCookieOf(cookie);
        auto done = [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Completion> completion(static_cast<Completion*>(data));
            (void)source;
            (void)result;
            if (*completion) (*completion)();
        };
        if (add)
            webkit_cookie_manager_add_cookie(manager, made, nullptr, done, new Completion(std::move(completion)));
        else
            webkit_cookie_manager_delete_cookie(manager, made, nullptr, done, new Completion(std::move(completion)));
        soup_cookie_free(made);
    }
};

}  // namespace

SoupCookie* soupCookieOf(const HTTPCookie& cookie) {
    SoupCookie* made = soup_cookie_new(cookie.name().c_str(), cookie.value().c_str(), cookie.domain().c_str(),
                                       cookie.path().c_str(), -1);
    if (auto expires = cookie.expiresDate()) {
        GDateTime* when = g_date_time_new_from_unix_utc(static_cast<gint64>(expires->timeIntervalSince1970()));
        soup_cookie_set_expires(made, when);
        g_date_time_unref(when);
    }
    soup_cookie_set_secure(made, cookie.isSecure());
    soup_cookie_set_http_only(made, cookie.isHTTPOnly());
    // The engine's own default (no attribute) is None: a Strict or Lax cookie must say so.
    const auto& sameSite = cookie.sameSitePolicy();
    soup_cookie_set_same_site_policy(made, sameSite == "strict" ? SOUP_SAME_SITE_POLICY_STRICT
                                           : sameSite == "lax"  ? SOUP_SAME_SITE_POLICY_LAX
                                                                : SOUP_SAME_SITE_POLICY_NONE);
    return made;
}

WebKitWebContext* engineContext() { return engine() ? engine()->context : nullptr; }

namespace {

// The chain's certificates as DER, leaf first. Their bytes were made on the TLS library's own thread and handed
// over through GLib's synchronisation, which the thread sanitizer cannot see (scripts/tsan-suppressions.txt names
// this function for that reason alone: keep it to the copy).
[[gnu::noinline]] std::vector<Bytes> derChainOf(GTlsCertificate* certificate) {
    std::vector<Bytes> chain;
    for (GTlsCertificate* link = certificate; link && chain.size() < 16; link = g_tls_certificate_get_issuer(link)) {
        GByteArray* der = nullptr;
        g_object_get(link, "certificate", &der, nullptr);
        if (!der) break;
        chain.emplace_back(der->data, der->data + der->len);
        g_byte_array_unref(der);
    }
    return chain;
}

// Whether `chain` (DER, leaf first) is good for `host` and ends at a CA the device trusts for the engine. Any thread.
bool trustedForHost(const std::vector<Bytes>& chain, const std::string& host) {
    auto anchors = security::Trust::extraRoots();
    if (chain.empty() || anchors.empty()) return false;
    auto trust = security::Trust::fromDER(chain, {security::Policy::ssl(true, host)});
    if (!trust.ok()) return false;
    trust.value().setAnchorCertificates(std::move(anchors));
    return trust.value().evaluatesValid();
}

// The certificate (with its issuers) of a DER chain, leaf first; null when GLib's TLS cannot read it.
GTlsCertificate* tlsCertificateOf(const std::vector<Bytes>& chain) {
    GTlsCertificate* made = nullptr;
    for (auto link = chain.rbegin(); link != chain.rend(); ++link) {
        GByteArray* der = g_byte_array_new();
        g_byte_array_append(der, link->data(), static_cast<guint>(link->size()));
        auto* issuer = made;
        made = G_TLS_CERTIFICATE(g_initable_new(g_tls_backend_get_certificate_type(g_tls_backend_get_default()),
                                                nullptr, nullptr, "certificate", der, "issuer", issuer, nullptr));
        g_byte_array_unref(der);
        if (issuer) g_object_unref(issuer);
        if (!made) return nullptr;
    }
    return made;
}

// The loopback proxy's check before the first tunnel to a host: a certificate the device's CAs vouch for is
// accepted for its host before the engine's own handshake, so the engine's first request there goes as the page
// made it (a form's POST with its body) instead of failing the check and being loaded again. The tunnel waits
// until the engine's network process has the allowance: it travels there on the context's own channel, so the
// answer to a question asked of that process after it (the cookies) comes once it arrived.
void allowAhead(const std::string& host, std::vector<Bytes> chain, std::function<void()> ready) {
    if (!trustedForHost(chain, host)) return ready();
    dispatch::MainLoop::shared().post([host, chain = std::move(chain), ready = std::move(ready)] {
        GTlsCertificate* certificate = engineContext() ? tlsCertificateOf(chain) : nullptr;
        if (!certificate) return ready();
        webkit_web_context_allow_tls_certificate_for_host(engineContext(), certificate, host.c_str());
        g_object_unref(certificate);
        EngineCookieJar().getAllCookies([ready](std::vector<HTTPCookie>) { ready(); });
    });
}

}  // namespace

bool allowCertificateIfTrusted(GTlsCertificate* certificate, const std::string& host) {
    auto* context = engineContext();
    if (!context || !certificate || !trustedForHost(derChainOf(certificate), host)) return false;
    webkit_web_context_allow_tls_certificate_for_host(context, certificate, host.c_str());
    return true;
}

std::optional<std::string> start() {
    dispatch::mainThread.assertOnThread();
    if (engine()) return std::nullopt;
    if (!gtk_init_check(nullptr, nullptr)) return "the toolkit cannot open the display (is DISPLAY set?)";
    auto* running = new Engine;
    try {
        // Without a CA of its own the device has no certificate to vouch for: no tunnel waits.
        auto settings = PlatformConfig::current();
        running->proxy = std::make_unique<webkit_detail::ConnectProxy>(
            settings.connectTo,
            settings.extraTrustedRootsPEM.empty() ? webkit_detail::ConnectProxy::CertificateCheck() : allowAhead);
    } catch (const std::exception& e) {
        delete running;
        return std::string("cannot start the engine's proxy: ") + e.what();
    }
    WebKitWebsiteDataManager* data = webkit_website_data_manager_new_ephemeral();
    // The credential goes in the SOCKS handshake, to the proxy alone: never in a request, so no site sees it, and
    // every 407 the engine meets is a site's own. The host name goes to the proxy unresolved, for its mapping.
    std::string proxyURL = "socks5://" + running->proxy->username() + ":" + running->proxy->password() +
                           "@127.0.0.1:" + std::to_string(running->proxy->port());
    WebKitNetworkProxySettings* proxy = webkit_network_proxy_settings_new(proxyURL.c_str(), nullptr);
    webkit_website_data_manager_set_network_proxy_settings(data, WEBKIT_NETWORK_PROXY_MODE_CUSTOM, proxy);
    webkit_network_proxy_settings_free(proxy);
    webkit_website_data_manager_set_tls_errors_policy(data, WEBKIT_TLS_ERRORS_POLICY_FAIL);
    running->context = webkit_web_context_new_with_website_data_manager(data);
    g_object_unref(data);
    webkit_web_context_set_cache_model(running->context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
    webkit_cookie_manager_set_accept_policy(
        webkit_website_data_manager_get_cookie_manager(webkit_web_context_get_website_data_manager(running->context)),
        WEBKIT_COOKIE_POLICY_ACCEPT_ALWAYS);

    running->loop = std::make_shared<GLibEventLoop>();
    dispatch::MainLoop::shared().setExternalEventLoop(running->loop);
    engine() = running;
    WebsiteDataStore::defaultDataStore()->httpCookieStore()->setBackend(std::make_shared<EngineCookieJar>());
    webkit_detail::setPageBackendFactory(makePage);
    return std::nullopt;
}

bool isRunning() { return engine() != nullptr; }

namespace {

// The engine's helper processes (its network and web processes: children of this one named WebKit...),
// each as a descriptor that stays its own whatever becomes of its number.
std::vector<int> openHelperProcesses() {
    std::vector<int> helpers;
    DIR* proc = ::opendir("/proc");
    if (!proc) return helpers;
    while (dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end) continue;
        char path[64], stat[512] = {};
        std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
        FILE* file = std::fopen(path, "r");
        if (!file) continue;
        size_t read = std::fread(stat, 1, sizeof stat - 1, file);
        std::fclose(file);
        // "pid (name) state parent ...": the name may hold spaces and parentheses.
        const char* open = std::strchr(stat, '(');
        const char* close = std::strrchr(stat, ')');
        char state = 0;
        long parent = 0;
        if (!read || !open || !close || std::sscanf(close + 1, " %c %ld", &state, &parent) != 2) continue;
        if (parent != ::getpid() || std::strncmp(open + 1, "WebKit", 6) != 0) continue;
        int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        if (pidfd >= 0) helpers.push_back(pidfd);
    }
    ::closedir(proc);
    return helpers;
}

// Waits, running GLib's loop, until those have ended (5 s at most): they end a little while after the
// context goes, while the loop runs, often after the last event it has pending. One still running after the
// engine's stop runs on until this process exits, past the X server it draws on, which it may not survive
// cleanly.
void waitForHelperProcesses(std::vector<int> helpers) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!helpers.empty() && std::chrono::steady_clock::now() < deadline) {
        for (int i = 0; i < 200 && g_main_context_iteration(nullptr, FALSE); ++i) {
        }
        std::vector<pollfd> ended;
        for (int pidfd : helpers) ended.push_back({pidfd, POLLIN, 0});
        if (::poll(ended.data(), ended.size(), 10) <= 0) continue;
        helpers.clear();
        for (const auto& helper : ended) {
            if (helper.revents)
                ::close(helper.fd);
            else
                helpers.push_back(helper.fd);
        }
    }
    for (int pidfd : helpers) ::close(pidfd);
}

}  // namespace

void stop() {
    dispatch::mainThread.assertOnThread();
    auto* running = engine();
    if (!running) return;
    webkit_detail::setPageBackendFactory(nullptr);
    WebsiteDataStore::defaultDataStore()->httpCookieStore()->setBackend(nullptr);
    closeAllPages();
    engine() = nullptr;
    std::vector<int> helpers = openHelperProcesses();
    // The context's end ends its web and network processes; GLib sees them go.
    g_object_unref(running->context);
    waitForHelperProcesses(std::move(helpers));
    for (int i = 0; i < 200 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
    dispatch::MainLoop::shared().setExternalEventLoop(nullptr);
    running->proxy->stop();
    delete running;
}

std::string version() {
    return std::to_string(webkit_get_major_version()) + "." + std::to_string(webkit_get_minor_version()) + "." +
           std::to_string(webkit_get_micro_version());
}

}  // namespace platform::webkit::gtk
