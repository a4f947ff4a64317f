// One web view's page in the real engine: the engine's signals turned into the owner's navigation,
// window and panel calls, with the same page events the headless engine posts.
#include <cairo.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <set>
#include <vector>

#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/OnceHandler.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/PlatformConfig.h"
#include "platform/uikit/Geometry.h"
#include "platform/urlsession/HTTPCookieStorage.h"
#include "platform/urlsession/URLError.h"
#include "platform/webkit/PageEngine.h"
#include "platform/webkit/WebView.h"
#include "platform/webkit/gtk/internal/Engine.h"
#include "platform/webkit/gtk/internal/LoadErrors.h"

namespace platform::webkit::gtk {

using webkit_detail::BackendRequest;
using webkit_detail::EngineClient;
using webkit_detail::LoadOptions;
using webkit_detail::PageBackend;

namespace {

std::atomic<uint64_t> nextNavigationId{1ull << 32};  // apart from the headless engine's numbers
constexpr int kMaxTLSRetries = 3;                    // loads again of one page and host after a trusted certificate

std::string urlText(const std::optional<URL>& url) { return url ? url->absoluteString() : std::string(); }

void postEvent(const char* name, const std::optional<URL>& url) {
    DeviceEvents::post(name, Value::dictionary({{"url", Value(urlText(url))}}));
}

void postDecision(const std::optional<URL>& url, NavigationType type, bool allow) {
    DeviceEvents::post("navigation.decision", Value::dictionary({{"url", Value(urlText(url))},
                                                                 {"type", Value(navigationTypeName(type))},
                                                                 {"decision", Value(allow ? "allow" : "cancel")}}));
}

NavigationType navigationType(WebKitNavigationType type) {
    switch (type) {
    case WEBKIT_NAVIGATION_TYPE_LINK_CLICKED:
        return NavigationType::LinkActivated;
    case WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED:
        return NavigationType::FormSubmitted;
    case WEBKIT_NAVIGATION_TYPE_BACK_FORWARD:
        return NavigationType::BackForward;
    case WEBKIT_NAVIGATION_TYPE_RELOAD:
        return NavigationType::Reload;
    case WEBKIT_NAVIGATION_TYPE_FORM_RESUBMITTED:
        return NavigationType::FormResubmitted;
    default:
        return NavigationType::Other;
    }
}

std::optional<URL> parse(const char* uri) { return uri ? URL::string(uri) : std::nullopt; }

URLRequest requestOf(WebKitURIRequest* request) {
    URLRequest made;
    if (!request) return made;
    made.setURL(parse(webkit_uri_request_get_uri(request)));
    if (const char* method = webkit_uri_request_get_http_method(request)) made.setHTTPMethod(method);
    return made;
}

// The page whose view is asking for a window while its owner makes the new web view, and the URL the
// engine will load in it.
WebKitWebView* gCreatingFor = nullptr;
std::string gOpeningURL;

// The context script results live in is kept for the process: made once, not again for every result, and
// its engine is not torn down while the process ends.
void keepScriptContext(JSCValue* value) {
    static JSCContext* kept = nullptr;
    if (!kept && value) kept = JSC_CONTEXT(g_object_ref(jsc_value_get_context(value)));
}

// Value of a script's result: what JSON can carry; anything else is null.
Value valueOf(JSCValue* value) {
    if (!value || jsc_value_is_undefined(value) || jsc_value_is_null(value)) return Value();
    if (jsc_value_is_boolean(value)) return Value(static_cast<bool>(jsc_value_to_boolean(value)));
    if (jsc_value_is_number(value)) return Value(jsc_value_to_double(value));
    if (jsc_value_is_string(value)) {
        char* text = jsc_value_to_string(value);
        Value made(std::string(text ? text : ""));
        g_free(text);
        return made;
    }
    return Value();
}

// Size and whether every pixel is alike: a page that drew nothing.
void describe(cairo_surface_t* surface, Snapshot& snapshot) {
    cairo_surface_flush(surface);
    snapshot.width = cairo_image_surface_get_width(surface);
    snapshot.height = cairo_image_surface_get_height(surface);
    const unsigned char* data = cairo_image_surface_get_data(surface);
    int stride = cairo_image_surface_get_stride(surface);
    if (!data || snapshot.width <= 0 || snapshot.height <= 0) return;
    uint32_t first = *reinterpret_cast<const uint32_t*>(data);
    for (int y = 0; y < snapshot.height && snapshot.blank; ++y) {
        const auto* row = reinterpret_cast<const uint32_t*>(data + static_cast<ptrdiff_t>(y) * stride);
        for (int x = 0; x < snapshot.width; ++x)
            if (row[x] != first) {
                snapshot.blank = false;
                break;
            }
    }
}

// The alert or confirm some page of the engine waits on, if any.
std::optional<std::string> openPanel();

}  // namespace

class GtkPage : public PageBackend, public std::enable_shared_from_this<GtkPage> {
public:
    struct Job {
        enum class Stage { Waiting, Deciding, Decided, Provisional, Committed, Done };
        std::shared_ptr<Navigation> navigation;
        URLRequest request;  // of the current hop
        LoadOptions options;
        Stage stage = Stage::Waiting;
        bool awaitingRetry = false;        // its certificate was accepted; the engine loads it again
        bool loadedAgainAfterCut = false;  // its connection was ended under it, and it went again
        bool askedByOwner = false;         // the owner's load, reload or move in the history: the page's own
        // What the failure of a load whose certificate was refused says, when it knows more than -1202 does.
        std::optional<Error> certificateFailure;
        std::vector<std::string> urls;
    };

    // Every page shares the engine's one context (and so its cookie jar and processes), whatever data
    // store its configuration names.
    explicit GtkPage(const BackendRequest& request) : client_(request.client) {}

    ~GtkPage() override { destroyView(); }

    void build(const BackendRequest& request) {
        WebKitSettings* settings = webkit_settings_new();
        webkit_settings_set_enable_javascript(settings, request.preferences.javaScriptEnabled);
        // The engine would refuse a window the user did not ask for without a word; this page refuses it
        // itself, and says so.
        opensWindowsAutomatically_ = request.preferences.javaScriptCanOpenWindowsAutomatically;
        webkit_settings_set_javascript_can_open_windows_automatically(settings, TRUE);
        if (request.preferences.minimumFontSize > 0)
            webkit_settings_set_minimum_font_size(settings, static_cast<guint32>(request.preferences.minimumFontSize));
        webkit_settings_set_enable_developer_extras(settings, FALSE);
        if (gCreatingFor) {
            relatedOpen_ = true;
            view_ = WEBKIT_WEB_VIEW(
                g_object_new(WEBKIT_TYPE_WEB_VIEW, "related-view", gCreatingFor, "settings", settings, nullptr));
        } else {
            view_ = WEBKIT_WEB_VIEW(
                g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", engineContext(), "settings", settings, nullptr));
        }
        g_object_unref(settings);
        window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        // A view not laid out yet fills the device's screen, as it will once it is.
        auto screen = uikit::Screen::mainBounds().size;
        int width = static_cast<int>(request.width > 0 ? request.width : screen.width);
        int height = static_cast<int>(request.height > 0 ? request.height : screen.height);
        gtk_window_set_default_size(GTK_WINDOW(window_), width, height);
        gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));
        g_signal_connect(view_, "decide-policy", G_CALLBACK(onDecidePolicy), this);
        g_signal_connect(view_, "load-changed", G_CALLBACK(onLoadChanged), this);
        g_signal_connect(view_, "load-failed", G_CALLBACK(onLoadFailed), this);
        g_signal_connect(view_, "load-failed-with-tls-errors", G_CALLBACK(onTLSErrors), this);
        g_signal_connect(view_, "create", G_CALLBACK(onCreate), this);
        g_signal_connect(view_, "close", G_CALLBACK(onClose), this);
        g_signal_connect(view_, "script-dialog", G_CALLBACK(onScriptDialog), this);
        g_signal_connect(view_, "authenticate", G_CALLBACK(onAuthenticate), this);
        g_signal_connect(view_, "permission-request", G_CALLBACK(onPermissionRequest), this);
        g_signal_connect(view_, "run-file-chooser", G_CALLBACK(onFileChooser), this);
        g_signal_connect(view_, "run-color-chooser", G_CALLBACK(onColorChooser), this);
        g_signal_connect(view_, "show-option-menu", G_CALLBACK(onOptionMenu), this);
        g_signal_connect(view_, "print", G_CALLBACK(onPrint), this);
        g_signal_connect(view_, "notify::is-loading", G_CALLBACK(onLoadingChanged), this);
        g_signal_connect(view_, "resource-load-started", G_CALLBACK(onResourceLoadStarted), this);
        gtk_widget_show_all(window_);
    }

    // --- PageBackend ---

    // The engine's end: the page's web process goes at once. One whose script keeps it busy would not hear
    // the view go for seconds, and meanwhile holds the run's standard output and error, which it inherited.
    void endWithEngine() {
        if (view_) {
            g_signal_handlers_disconnect_by_data(view_, this);
            webkit_web_view_terminate_web_process(view_);
        }
        detach();
    }

    void detach() override {
        client_ = nullptr;
        pending_.reset();
        if (current_) current_->stage = Job::Stage::Done;
        current_.reset();
        destroyView();
    }

    std::shared_ptr<Navigation> load(URLRequest request, LoadOptions options) override {
        auto job = makeJob(std::move(request), std::move(options));
        if (!view_ || !client_) return job->navigation;
        pending_ = job;
        const auto& url = job->request.url();
        if (job->options.html) {
            std::string base = url ? url->absoluteString() : "about:blank";
            webkit_web_view_load_html(view_, job->options.html->c_str(), base.c_str());
        } else if (relatedOpen_ && url && openingURL_ && *openingURL_ == url->absoluteString()) {
            // The engine loads the window's first page itself; this load is that one.
            openingURL_.reset();
        } else {
            shareAppCookies(url);
            webkit_web_view_load_request(view_, toWebKit(job->request));
        }
        return job->navigation;
    }

    void stop() override {
        pending_.reset();
        decided_.clear();
        setAside_.clear();
        if (current_ && current_->stage != Job::Stage::Done)
            fail(current_, makeURLError(URLErrorCode::Cancelled, current_->request.url()));
        if (view_) webkit_web_view_stop_loading(view_);
    }

    std::shared_ptr<Navigation> reload() override {
        if (!view_) return nullptr;
        if (!committedURL_) {
            // After a failed first load there is no page yet: try the failed request again.
            if (!lastStartedRequest_) return nullptr;
            LoadOptions options;
            options.type = NavigationType::Reload;
            return load(*lastStartedRequest_, std::move(options));
        }
        LoadOptions options;
        options.type = NavigationType::Reload;
        options.sourceFrame = mainFrame();
        auto job = makeJob(committedRequest_.value_or(URLRequest(*committedURL_)), std::move(options));
        pending_ = job;
        webkit_web_view_reload(view_);
        return job->navigation;
    }

    std::shared_ptr<Navigation> goBy(int offset) override {
        const auto* item = backForward_.itemAtIndex(offset);
        if (!view_ || !item || offset == 0) return nullptr;
        auto* list = webkit_web_view_get_back_forward_list(view_);
        auto* target = webkit_back_forward_list_get_nth_item(list, offset);
        if (!target) return nullptr;
        if (backForward_.sameDocument(offset)) {
            // The engine moves within the page without asking or loading.
            webkit_web_view_go_to_back_forward_list_item(view_, target);
            backForward_.moveBy(offset);
            moveWithinPage(backForward_.currentItem()->URL);
            return nullptr;
        }
        LoadOptions options;
        options.type = NavigationType::BackForward;
        options.backForwardOffset = offset;
        options.sourceFrame = mainFrame();
        auto job = makeJob(item->request, std::move(options));
        pending_ = job;
        webkit_web_view_go_to_back_forward_list_item(view_, target);
        return job->navigation;
    }

    std::optional<URL> committedURL() const override { return committedURL_; }
    // The engine learns a page's title as it parses it, so it may come after the finish.
    std::string title() const override {
        const char* live = view_ ? webkit_web_view_get_title(view_) : nullptr;
        return live ? std::string(live) : title_;
    }
    bool isLoading() const override {
        // A load asked for counts at once: the engine's decision request comes later.
        for (const auto& job : {pending_, current_})
            if (job && job->stage != Job::Stage::Done) return true;
        return !decided_.empty();
    }
    double estimatedProgress() const override {
        return view_ ? webkit_web_view_get_estimated_load_progress(view_) : 1.0;
    }
    const BackForwardList& backForwardList() const override { return backForward_; }
    const std::string& pageSource() const override { return source_; }
    FrameInfo mainFrame() const override {
        FrameInfo frame;
        frame.isMainFrame = true;
        if (committedRequest_) frame.request = *committedRequest_;
        frame.request.setURL(committedURL_);
        return frame;
    }
    std::optional<URLRequest> currentRequest() const override {
        if (current_ && current_->stage != Job::Stage::Done) return current_->request;
        return committedRequest_;
    }
    bool isLoadingOrDeciding(const URL& url) const override {
        for (const auto& job : {pending_, current_})
            if (job && job->stage != Job::Stage::Done && job->navigation->initialRequest().url() == url) return true;
        return false;
    }

    bool runsScripts() const override { return true; }

    void evaluateJavaScript(const std::string& script,
                            std::function<void(const Value&, const std::optional<Error>&)> completion) override {
        if (!view_) return PageBackend::evaluateJavaScript(script, std::move(completion));
        struct Call {
            std::function<void(const Value&, const std::optional<Error>&)> completion;
        };
        auto* call = new Call{std::move(completion)};
        webkit_web_view_evaluate_javascript(
            view_, script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<Call> call(static_cast<Call*>(data));
                GError* error = nullptr;
                JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
                keepScriptContext(value);
                if (!call->completion) {
                } else if (error) {
                    call->completion(Value(),
                                     Error::withDescription(kWebKitErrorDomain, kWebKitErrorJavaScriptExceptionOccurred,
                                                            error->message ? error->message : ""));
                } else {
                    call->completion(valueOf(value), std::nullopt);
                }
                if (error) g_error_free(error);
                if (value) g_object_unref(value);
            },
            call);
    }

    void clickLink(const std::string& href, std::function<void(bool)> completion) override {
        // JSON writes documents: the href travels as the one element of an array.
        auto literal = json::write(Value::array({Value(href)}));
        // The page's own link when it has one; else one made for the tap, so the click is still the
        // user's on a real link (its target and the engine's navigation type follow from it). The made
        // one goes once the click has started its navigation: gone sooner, the click would follow nothing.
        std::string script = "(function(h) {"
                             "  var links = Array.prototype.slice.call(document.querySelectorAll('a[href]'));"
                             "  var abs = null; try { abs = new URL(h, document.baseURI).href; } catch (e) {}"
                             "  var a = links.find(function(l) { return l.getAttribute('href') === h; }) ||"
                             "          links.find(function(l) { return l.href === abs; });"
                             "  if (!a) {"
                             "    if (!document.body) return null;"
                             "    a = document.createElement('a'); a.href = h; a.textContent = h;"
                             "    a.style.cssText = 'position:fixed;left:0;top:0;display:block;padding:12px;"
                             "background:#fff;z-index:2147483647';"
                             "    a.addEventListener('click', function() { setTimeout(function() { a.remove(); }); });"
                             "    document.body.appendChild(a);"
                             "  }"
                             "  a.scrollIntoView({block: 'center', inline: 'center'});"
                             "  var r = a.getClientRects()[0] || a.getBoundingClientRect();"
                             "  var x = r.left + Math.min(r.width / 2, 8), y = r.top + r.height / 2;"
                             // A release over a frame goes to the frame's page, which this one never hears.
                             "  var hit = document.elementFromPoint(x, y);"
                             "  window.__tesmarTapEnded = !hit || /^(I?FRAME|OBJECT|EMBED)$/.test(hit.tagName) ?"
                             "    Promise.resolve() : new Promise(function(ended) {"
                             "      window.addEventListener('mouseup', function() { setTimeout(ended); },"
                             "                              {capture: true, once: true});"
                             "    });"
                             "  return JSON.stringify({x: x, y: y});"
                             "})(" +
                             (literal.ok() ? literal.value() + "[0]" : std::string("''")) + ")";
        std::weak_ptr<GtkPage> weak = weak_from_this();
        evaluateJavaScript(
            script, [weak, completion = std::move(completion)](const Value& value, const std::optional<Error>& error) {
                auto self = weak.lock();
                const std::string* text = value.asString();
                auto point = text ? json::read(*text) : Result<Value>(Error::withDescription("", 0, ""));
                bool clicked = self && !error && point.ok() && point.value()["x"].isNumber();
                // The engine hands the page the click later: the tap ends once the page has had it and
                // what it set off (a navigation asked for, a dialog) has been sent this way, which the
                // page's task after the button's release sees.
                if (clicked && self->click(point.value()["x"].doubleOr(0), point.value()["y"].doubleOr(0)))
                    return self->afterPageTask("await window.__tesmarTapEnded;", [completion = std::move(completion)] {
                        if (completion) completion(true);
                    });
                if (completion) completion(clicked);
            });
    }

    // Runs `body` in the page as an async function, then `done` whatever it answers.
    void afterPageTask(const char* body, std::function<void()> done) {
        auto* call = new std::function<void()>(std::move(done));
        webkit_web_view_call_async_javascript_function(
            view_, body, -1, nullptr, nullptr, nullptr, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<std::function<void()>> done(static_cast<std::function<void()>*>(data));
                GError* error = nullptr;
                JSCValue* value =
                    webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), result, &error);
                keepScriptContext(value);
                if (error) g_error_free(error);
                if (value) g_object_unref(value);
                (*done)();
            },
            call);
    }

    // The form is found, filled in and submitted by the page itself, as the user's typing and Enter key
    // would: the page hears input and change events, checks the form's constraints, runs its submit handlers.
    void submitForm(const FormFill& fill, std::function<void(const std::optional<std::string>&)> completion) override {
        ValueArray values;
        for (const auto& field : fill.values)
            values.push_back(Value::array({Value(field.name), Value(field.value), Value(field.off)}));
        auto literal = json::write(Value::array({Value(fill.action), Value(std::move(values))}));
        // Named controls shadow a form's own members (an input named "submit" is form.submit): the form's
        // methods and attributes are reached through the prototypes.
        std::string script =
            "(function(args) {"
            "  var h = args[0], fields = args[1];"
            "  function attr(e, n) { return Element.prototype.getAttribute.call(e, n); }"
            "  function actionOf(f) {"
            "    var a = attr(f, 'action'); if (!a) return document.URL;"
            "    try { return new URL(a, document.baseURI).href; } catch (e) { return a; }"
            "  }"
            "  var wanted = null; try { wanted = new URL(h, document.baseURI).href; } catch (e) {}"
            "  var forms = Array.prototype.slice.call(document.querySelectorAll('form'));"
            "  var form = forms.find(function(f) { return attr(f, 'action') === h || actionOf(f) === wanted; });"
            "  if (!form) return forms.length ? 'no form on the page submits to ' + h + ' (its forms submit to: ' +"
            "    forms.map(function(f) { var a = attr(f, 'action'); return a === null ? document.URL : a; })"
            "      .join(', ') + ')' : 'the page has no form';"
            "  function kind(e) {"
            "    if (e.localName === 'select') return 'select';"
            "    if (e.localName === 'textarea') return 'text';"
            "    var t = e.type;"
            "    if (t === 'checkbox' || t === 'radio') return 'choice';"
            "    if (t === 'submit' || t === 'image') return 'submit';"
            "    return t === 'reset' || t === 'button' || t === 'file' ? 'other' : 'text';"
            "  }"
            "  function changed(e) {"
            "    e.dispatchEvent(new Event('input', {bubbles: true}));"
            "    e.dispatchEvent(new Event('change', {bubbles: true}));"
            "  }"
            "  var controls = Array.prototype.slice.call(document.querySelectorAll('input, button, select, textarea'))"
            "    .filter(function(e) { return e.form === form && !e.matches(':disabled'); });"
            "  var submitter = null, typed = new Map();"
            "  for (var i = 0; i < fields.length; ++i) {"
            "    var n = fields[i][0], v = fields[i][1], off = fields[i][2];"
            "    var named = controls.filter(function(e) { return e.name === n && kind(e) !== 'other'; });"
            "    if (!named.length) return 'the form has no field ' + n;"
            "    var first = named[0], k = kind(first), chosen = null;"
            "    if (k === 'text') {"
            "      if (off) return \"the form's \" + n + ' is a text field: it has nothing to uncheck';"
            "      var texts = named.filter(function(e) { return kind(e) === 'text'; }), nth = typed.get(n) || 0;"
            "      typed.set(n, nth + 1);"
            "      if (nth >= texts.length) return 'the form has ' + texts.length + ' text field' +"
            "        (texts.length === 1 ? '' : 's') + ' named ' + n + ', and more values for them';"
            "      texts[nth].value = v; changed(texts[nth]); continue;"
            "    }"
            "    if (k === 'select') {"
            "      chosen = Array.prototype.slice.call(first.options)"
            "        .find(function(o) { return o.value === v && !o.matches(':disabled'); });"
            "      if (chosen) { chosen.selected = !off; changed(first); }"
            "    } else {"
            "      chosen = named.find(function(e) { return kind(e) === k && e.value === v; });"
            "      if (chosen && k === 'submit' && off)"
            "        return \"the form's \" + n + ' is a button: it has nothing to uncheck';"
            "      if (chosen && k === 'submit') submitter = chosen;"
            "      else if (chosen) { chosen.checked = !off; changed(chosen); }"
            "    }"
            "    if (!chosen) return \"the form's \" + n + ' has no choice ' + v;"
            "  }"
            "  submitter = submitter || controls.find(function(e) { return kind(e) === 'submit'; }) || null;"
            "  if (!Element.prototype.hasAttribute.call(form, 'novalidate') &&"
            "      !(submitter && submitter.hasAttribute('formnovalidate'))) {"
            "    var bad = controls.find(function(e) { return e.willValidate && !e.checkValidity(); });"
            "    if (bad) return \"the form's field \\\"\" + (bad.name || bad.type) + '\" is not valid: ' + "
            "bad.validationMessage;"
            "  }"
            "  if (submitter) HTMLFormElement.prototype.requestSubmit.call(form, submitter);"
            "  else HTMLFormElement.prototype.requestSubmit.call(form);"
            "  return '';"
            "})(" +
            (literal.ok() ? literal.value() : std::string("['', []]")) + ")";
        evaluateJavaScript(script,
                           [completion = std::move(completion)](const Value& value, const std::optional<Error>& error) {
                               if (!completion) return;
                               const std::string* problem = value.asString();
                               if (error)
                                   completion("the page's script failed: " + error->localizedDescription());
                               else if (!problem)
                                   completion(std::string("the page has no form"));
                               else
                                   completion(problem->empty() ? std::nullopt : std::optional<std::string>(*problem));
                           });
    }

    void
    snapshotPNG(std::function<void(const std::optional<Snapshot>&, const std::optional<Error>&)> completion) override {
        if (!view_) return PageBackend::snapshotPNG(std::move(completion));
        // A page waiting on its panel draws no frame (pages opened by one another share its process).
        if (auto panel = openPanel())
            return completion(std::nullopt,
                              Error::withDescription(kWebKitErrorDomain, kWebKitErrorUnknown,
                                                     "the page waits on its " + *panel + " until it is answered"));
        struct Shot {
            std::weak_ptr<GtkPage> page;
            std::function<void(const std::optional<Snapshot>&, const std::optional<Error>&)> completion;
        };
        auto* shot = new Shot{weak_from_this(), std::move(completion)};
        gtk_widget_queue_draw(GTK_WIDGET(view_));
        // The next frame first: what the snapshot shows is then what was last drawn.
        gtk_widget_add_tick_callback(
            GTK_WIDGET(view_),
            [](GtkWidget* widget, GdkFrameClock*, gpointer data) -> gboolean {
                webkit_web_view_get_snapshot(
                    WEBKIT_WEB_VIEW(widget), WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
                    [](GObject* source, GAsyncResult* result, gpointer data) {
                        std::unique_ptr<Shot> shot(static_cast<Shot*>(data));
                        GError* error = nullptr;
                        cairo_surface_t* surface =
                            webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error);
                        std::optional<Snapshot> png;
                        if (surface) {
                            Snapshot made;
                            auto status = cairo_surface_write_to_png_stream(
                                surface,
                                [](void* closure, const unsigned char* data, unsigned int length) {
                                    auto* out = static_cast<Bytes*>(closure);
                                    out->insert(out->end(), data, data + length);
                                    return CAIRO_STATUS_SUCCESS;
                                },
                                &made.png);
                            describe(surface, made);
                            if (status == CAIRO_STATUS_SUCCESS) png = std::move(made);
                            cairo_surface_destroy(surface);
                        }
                        std::optional<Error> failure;
                        if (!png)
                            failure = Error::withDescription(kWebKitErrorDomain, kWebKitErrorUnknown,
                                                             error && error->message ? error->message
                                                                                     : "The snapshot failed.");
                        if (error) g_error_free(error);
                        if (shot->completion) shot->completion(png, failure);
                    },
                    data);
                return G_SOURCE_REMOVE;
            },
            shot, nullptr);
    }

    WebKitWebView* view() const { return view_; }
    const std::optional<std::string>& waitingOn() const { return waitingOn_; }

private:
    std::shared_ptr<Job> makeJob(URLRequest request, LoadOptions options) {
        auto job = std::make_shared<Job>();
        job->navigation = std::make_shared<Navigation>(nextNavigationId++, request, options.type);
        job->request = std::move(request);
        job->options = std::move(options);
        return job;
    }

    static WebKitURIRequest* toWebKit(const URLRequest& request) {
        // Only the URL crosses: the engine makes the rest of the request itself.
        return webkit_uri_request_new(urlText(request.url()).c_str());
    }

    // Cookies the app's own HTTP client holds for the page go to the engine first, so the page and
    // the app speak as one session.
    void shareAppCookies(const std::optional<URL>& url) {
        if (!url) return;
        auto* manager = webkit_website_data_manager_get_cookie_manager(
            webkit_web_context_get_website_data_manager(engineContext()));
        for (const auto& cookie : HTTPCookieStorage::shared()->cookiesForURL(*url)) {
            SoupCookie* made = soupCookieOf(cookie);
            webkit_cookie_manager_add_cookie(manager, made, nullptr, nullptr, nullptr);
            soup_cookie_free(made);
        }
    }

    void destroyView() {
        if (!window_) return;
        g_signal_handlers_disconnect_by_data(view_, this);
        webkit_web_view_stop_loading(view_);
        GtkWidget* window = window_;
        window_ = nullptr;
        view_ = nullptr;
        gtk_widget_destroy(window);
    }

    // Whether the button's press and release were sent.
    bool click(double x, double y) {
        if (!view_) return false;
        GtkWidget* widget = GTK_WIDGET(view_);
        GdkWindow* window = gtk_widget_get_window(widget);
        if (!window) return false;
        GdkDevice* pointer = gdk_seat_get_pointer(gdk_display_get_default_seat(gdk_window_get_display(window)));
        int originX = 0, originY = 0;
        gdk_window_get_origin(window, &originX, &originY);
        auto send = [&](GdkEventType type) {
            GdkEvent* event = gdk_event_new(type);
            if (type == GDK_MOTION_NOTIFY) {
                event->motion.window = GDK_WINDOW(g_object_ref(window));
                event->motion.send_event = TRUE;
                event->motion.time = GDK_CURRENT_TIME;
                event->motion.x = x;
                event->motion.y = y;
                event->motion.x_root = originX + x;
                event->motion.y_root = originY + y;
            } else {
                event->button.window = GDK_WINDOW(g_object_ref(window));
                event->button.send_event = TRUE;
                event->button.time = GDK_CURRENT_TIME;
                event->button.x = x;
                event->button.y = y;
                event->button.x_root = originX + x;
                event->button.y_root = originY + y;
                event->button.button = 1;
                if (type == GDK_BUTTON_RELEASE) event->button.state = GDK_BUTTON1_MASK;
            }
            gdk_event_set_device(event, pointer);
            gtk_main_do_event(event);
            gdk_event_free(event);
        };
        send(GDK_MOTION_NOTIFY);
        send(GDK_BUTTON_PRESS);
        send(GDK_BUTTON_RELEASE);
        return true;
    }

    // --- navigation ---

    std::shared_ptr<Job> jobForAction(WebKitNavigationAction* action, const URLRequest& request) {
        auto url = request.url();
        // The retry of a load whose certificate was accepted continues that navigation.
        if (current_ && current_->awaitingRetry && url && current_->request.url() == url) return current_;
        if (pending_) {
            auto job = std::move(pending_);
            pending_.reset();
            if (url) job->request.setURL(url);
            job->askedByOwner = true;
            return job;
        }
        LoadOptions options;
        options.type = navigationType(webkit_navigation_action_get_navigation_type(action));
        options.sourceFrame = mainFrame();
        return makeJob(request, std::move(options));
    }

    void decideNavigation(WebKitPolicyDecision* decision) {
        auto* action =
            webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        URLRequest request = requestOf(webkit_navigation_action_get_request(action));
        // A frame loading again once its certificate was accepted was decided already.
        if (auto again = framesToLoadAgain_.find(urlText(request.url())); again != framesToLoadAgain_.end()) {
            loadedAgain_.insert(again->first);
            if (++again->second.asked == again->second.frames) framesToLoadAgain_.erase(again);
            return webkit_policy_decision_use(decision);
        }
        if (webkit_navigation_action_is_redirect(action) && current_ && current_->stage == Job::Stage::Provisional)
            return decideRedirect(decision, request);
        auto job = jobForAction(action, request);
        if (job->awaitingRetry) {
            webkit_policy_decision_use(decision);
            return;
        }
        job->stage = Job::Stage::Deciding;
        NavigationAction asked;
        asked.request = request;
        asked.navigationType = job->options.type;
        asked.sourceFrame = job->options.sourceFrame;
        asked.targetFrame = mainFrame();
        g_object_ref(decision);
        std::weak_ptr<GtkPage> weak = weak_from_this();
        auto decided = [weak, job, decision](NavigationActionPolicy policy) {
            auto self = weak.lock();
            bool allow = policy == NavigationActionPolicy::Allow;
            if (!self || !self->client_ || job->stage != Job::Stage::Deciding) {
                webkit_policy_decision_ignore(decision);
            } else {
                postDecision(job->request.url(), job->options.type, allow);
                if (!allow) {
                    job->stage = Job::Stage::Done;
                    webkit_policy_decision_ignore(decision);
                } else if (webkit_detail::movesWithinPage(self->committedURL_, job->request, job->options.type)) {
                    // The engine scrolls to the fragment: no load starts, nothing is fetched.
                    job->stage = Job::Stage::Done;
                    webkit_policy_decision_use(decision);
                    self->moveWithinPage(*job->request.url());
                } else if (!PlatformConfig::networkUp()) {
                    // Offline: the load starts and fails at once, as URL loading reports it.
                    webkit_policy_decision_ignore(decision);
                    self->start(job);
                    if (self->current_ == job)
                        self->fail(job, makeURLError(URLErrorCode::NotConnectedToInternet, job->request.url()));
                } else {
                    job->stage = Job::Stage::Decided;
                    // A page that comes from nowhere (about:blank or srcdoc, a data:, blob: or javascript: URL,
                    // any scheme but http and https) starts no request, so nothing tells a frame's from the
                    // page's own until the page's load starts, if it does: such a navigation the owner did not
                    // ask for (a frame's first load, or its move when back or forward bring the page again) is
                    // set aside, not awaited.
                    auto scheme = job->request.url() ? job->request.url()->scheme() : std::nullopt;
                    bool fetchesNothing = !scheme || (*scheme != "http" && *scheme != "https");
                    (fetchesNothing && !job->askedByOwner ? self->setAside_ : self->decided_).push_back(job);
                    webkit_policy_decision_use(decision);
                }
            }
            g_object_unref(decision);
        };
        if (!client_) return decided(NavigationActionPolicy::Cancel);
        client_->engineDecideAction(
            asked, dispatch::OnceHandler<NavigationActionPolicy>("decidePolicyForNavigationAction", decided));
    }

    void decideRedirect(WebKitPolicyDecision* decision, const URLRequest& request) {
        auto job = current_;
        NavigationAction asked;
        asked.request = request;
        asked.navigationType = NavigationType::Other;
        asked.targetFrame = mainFrame();
        g_object_ref(decision);
        std::weak_ptr<GtkPage> weak = weak_from_this();
        auto decided = [weak, job, decision, request](NavigationActionPolicy policy) {
            auto self = weak.lock();
            bool live = self && self->client_ && self->current_ == job && job->stage == Job::Stage::Provisional;
            bool allow = live && policy == NavigationActionPolicy::Allow;
            if (live) postDecision(request.url(), NavigationType::Other, allow);
            if (allow) {
                job->request = request;
                webkit_policy_decision_use(decision);
            } else {
                // The engine then fails the load as interrupted by the decision.
                webkit_policy_decision_ignore(decision);
            }
            g_object_unref(decision);
        };
        if (!client_) return decided(NavigationActionPolicy::Cancel);
        client_->engineDecideAction(
            asked, dispatch::OnceHandler<NavigationActionPolicy>("decidePolicyForNavigationAction", decided));
    }

    void decideNewWindow(WebKitPolicyDecision* decision) {
        auto* action =
            webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        if (blocksWindow(action)) return webkit_policy_decision_ignore(decision);
        NavigationAction asked;
        asked.request = requestOf(webkit_navigation_action_get_request(action));
        asked.navigationType = navigationType(webkit_navigation_action_get_navigation_type(action));
        asked.sourceFrame = mainFrame();
        g_object_ref(decision);
        auto decided = [asked, decision](NavigationActionPolicy policy) {
            bool allow = policy == NavigationActionPolicy::Allow;
            postDecision(asked.request.url(), asked.navigationType, allow);
            if (allow)
                webkit_policy_decision_use(decision);
            else
                webkit_policy_decision_ignore(decision);
            g_object_unref(decision);
        };
        if (!client_) return decided(NavigationActionPolicy::Cancel);
        client_->engineDecideAction(
            asked, dispatch::OnceHandler<NavigationActionPolicy>("decidePolicyForNavigationAction", decided));
    }

    // A window the user did not ask for (a script's, during the load or on a timer) opens only where the
    // preferences let scripts open windows by themselves.
    bool blocksWindow(WebKitNavigationAction* action) const {
        if (opensWindowsAutomatically_ || webkit_navigation_action_is_user_gesture(action)) return false;
        postEvent("window.blocked", parse(webkit_uri_request_get_uri(webkit_navigation_action_get_request(action))));
        return true;
    }

    void decideResponse(WebKitPolicyDecision* decision) {
        auto* responseDecision = WEBKIT_RESPONSE_POLICY_DECISION(decision);
        if (!webkit_response_policy_decision_is_main_frame_main_resource(responseDecision) || !current_ ||
            current_->stage != Job::Stage::Provisional) {
            webkit_policy_decision_use(decision);
            return;
        }
        WebKitURIResponse* engineResponse = webkit_response_policy_decision_get_response(responseDecision);
        auto url = parse(webkit_uri_response_get_uri(engineResponse));
        HTTPHeaderFields headers;
        if (SoupMessageHeaders* fields = webkit_uri_response_get_http_headers(engineResponse)) {
            SoupMessageHeadersIter iter;
            soup_message_headers_iter_init(&iter, fields);
            const char* name = nullptr;
            const char* value = nullptr;
            while (soup_message_headers_iter_next(&iter, &name, &value)) headers.add(name, value);
        }
        NavigationResponse asked;
        asked.response = std::make_shared<HTTPURLResponse>(
            url.value_or(URL()), static_cast<int>(webkit_uri_response_get_status_code(engineResponse)), "HTTP/1.1",
            headers);
        asked.isForMainFrame = true;
        asked.canShowMIMEType = webkit_response_policy_decision_is_mime_type_supported(responseDecision);
        auto job = current_;
        g_object_ref(decision);
        std::weak_ptr<GtkPage> weak = weak_from_this();
        auto decided = [weak, job, decision](NavigationResponsePolicy policy) {
            auto self = weak.lock();
            if (self && self->current_ == job && policy == NavigationResponsePolicy::Allow) {
                webkit_policy_decision_use(decision);
            } else {
                // A refused response ends the navigation quietly.
                job->stage = Job::Stage::Done;
                if (self && self->current_ == job) self->current_.reset();
                webkit_policy_decision_ignore(decision);
            }
            g_object_unref(decision);
        };
        if (!client_) return decided(NavigationResponsePolicy::Cancel);
        client_->engineDecideResponse(
            asked, dispatch::OnceHandler<NavigationResponsePolicy>("decidePolicyForNavigationResponse", decided));
    }

    // The decided navigation begins; a load still in flight ends first, cut short.
    void start(const std::shared_ptr<Job>& job) {
        auto self = shared_from_this();
        if (current_ && current_ != job && current_->stage != Job::Stage::Done)
            fail(current_, makeURLError(URLErrorCode::Cancelled, current_->request.url()));
        current_ = job;
        job->stage = Job::Stage::Provisional;
        lastStartedRequest_ = job->request;
        postEvent("page.start", job->request.url());
        if (client_) client_->engineDidStart(job->navigation);
    }

    void loadChanged(WebKitLoadEvent event) {
        auto self = shared_from_this();
        switch (event) {
        case WEBKIT_LOAD_STARTED: {
            if (current_ && current_->awaitingRetry) {
                current_->awaitingRetry = false;
                return;
            }
            // The page's navigation is the one of this URL (the view may still show the last page's: then the
            // newest); those decided before it will not start.
            std::string url = urlText(parse(webkit_web_view_get_uri(view_)));
            auto ofURL = [&](const auto& job) { return urlText(job->request.url()) == url; };
            std::shared_ptr<Job> job;
            if (auto found = std::find_if(decided_.begin(), decided_.end(), ofURL); found != decided_.end()) {
                job = *found;
                decided_.erase(decided_.begin(), std::next(found));
            } else if (auto aside = std::find_if(setAside_.begin(), setAside_.end(), ofURL); aside != setAside_.end()) {
                job = *aside;
            } else if (!decided_.empty()) {
                job = decided_.back();
                decided_.clear();
            } else if (!setAside_.empty()) {
                job = setAside_.back();
            }
            setAside_.clear();
            if (job) start(job);  // else a load nobody decided here (the engine's own): not reported
            return;
        }
        case WEBKIT_LOAD_REDIRECTED:
            if (!current_ || current_->stage != Job::Stage::Provisional) return;
            current_->request.setURL(parse(webkit_web_view_get_uri(view_)));
            if (client_) client_->engineDidRedirect(current_->navigation);
            return;
        case WEBKIT_LOAD_COMMITTED:
            if (current_ && current_->stage == Job::Stage::Provisional) commit(current_);
            return;
        case WEBKIT_LOAD_FINISHED:
            if (current_ && current_->stage == Job::Stage::Committed && !current_->awaitingRetry) finish(current_);
            return;
        }
    }

    void commit(std::shared_ptr<Job> job) {
        job->stage = Job::Stage::Committed;
        auto url = parse(webkit_web_view_get_uri(view_));
        if (!url) url = job->request.url();
        committedURL_ = url;
        committedRequest_ = job->request;
        committedRequest_->setURL(url);
        title_.clear();
        source_.clear();
        BackForwardListItem item;
        item.URL = url.value_or(URL());
        item.initialURL = job->navigation->initialRequest().url().value_or(item.URL);
        item.request = *committedRequest_;
        int offset = job->options.backForwardOffset;
        if (job->options.type == NavigationType::BackForward && offset == 0) {
            // The page's own history.back() or forward(): the engine's list, already moved, says how far.
            GList* back = webkit_back_forward_list_get_back_list(webkit_web_view_get_back_forward_list(view_));
            offset = static_cast<int>(g_list_length(back)) - static_cast<int>(backForward_.backList().size());
            g_list_free(back);
        }
        backForward_.commit(std::move(item), job->options.type, offset);
        committedStatus_ = job->options.html ? std::nullopt : mainResourceStatus(url);
        webkit_detail::postPageEvent("page.commit", committedURL_, committedStatus_);
        if (client_) client_->engineDidCommit(job->navigation);
    }

    // A move to a fragment of the page shown: the page stays, its URL takes the fragment and its history gains an
    // item, as the engine's does.
    void moveWithinPage(const URL& url) {
        committedURL_ = url;
        if (committedRequest_) committedRequest_->setURL(url);
        backForward_.moveWithinPage(url);
    }

    void finish(std::shared_ptr<Job> job) {  // by value: callers pass current_
        job->stage = Job::Stage::Done;
        if (current_ == job) current_.reset();
        const char* title = webkit_web_view_get_title(view_);
        title_ = title ? title : "";
        if (auto* item = backForward_.mutableCurrentItem()) item->title = title_;
        readSource();
        webkit_detail::postPageEvent("page.finish", committedURL_, committedStatus_);
        if (client_) client_->engineDidFinish(job->navigation);
    }

    void fail(std::shared_ptr<Job> job, const Error& error) {
        auto self = shared_from_this();
        bool provisional = job->stage != Job::Stage::Committed;
        job->stage = Job::Stage::Done;
        job->awaitingRetry = false;
        if (current_ == job) current_.reset();
        auto url = provisional ? job->request.url() : committedURL_;
        webkit_detail::postPageFail(url, error);
        if (client_) client_->engineDidFail(job->navigation, error, provisional);
    }

    // The HTTP status the page's document was answered with; none for a page that came without an HTTP answer
    // (data:, about:blank), whose response the engine makes up.
    std::optional<int> mainResourceStatus(const std::optional<URL>& url) const {
        auto scheme = url ? url->scheme() : std::nullopt;
        if (!scheme || (*scheme != "http" && *scheme != "https")) return std::nullopt;
        WebKitWebResource* resource = webkit_web_view_get_main_resource(view_);
        WebKitURIResponse* response = resource ? webkit_web_resource_get_response(resource) : nullptr;
        guint status = response ? webkit_uri_response_get_status_code(response) : 0;
        return status ? std::optional<int>(static_cast<int>(status)) : std::nullopt;
    }

    void readSource() {
        WebKitWebResource* resource = webkit_web_view_get_main_resource(view_);
        if (!resource) return;
        auto* weak = new std::weak_ptr<GtkPage>(weak_from_this());
        webkit_web_resource_get_data(
            resource, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                std::unique_ptr<std::weak_ptr<GtkPage>> weak(static_cast<std::weak_ptr<GtkPage>*>(data));
                gsize length = 0;
                guchar* bytes =
                    webkit_web_resource_get_data_finish(WEBKIT_WEB_RESOURCE(source), result, &length, nullptr);
                if (auto self = weak->lock(); self && bytes)
                    self->source_.assign(reinterpret_cast<const char*>(bytes),
                                         std::min<size_t>(length, webkit_detail::PageEngine::kMaxKeptBody));
                g_free(bytes);
            },
            weak);
    }

    // --- signals ---

    static gboolean onDecidePolicy(WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type,
                                   gpointer data) {
        auto* self = static_cast<GtkPage*>(data);
        auto keep = self->shared_from_this();
        switch (type) {
        case WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION:
            self->decideNavigation(decision);
            return TRUE;
        case WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION:
            self->decideNewWindow(decision);
            return TRUE;
        case WEBKIT_POLICY_DECISION_TYPE_RESPONSE:
            self->decideResponse(decision);
            return TRUE;
        }
        return FALSE;
    }

    static void onLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data) {
        static_cast<GtkPage*>(data)->loadChanged(event);
    }

    static gboolean onLoadFailed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError* error, gpointer data) {
        auto* self = static_cast<GtkPage*>(data);
        auto keep = self->shared_from_this();
        auto job = self->current_;
        // Failures of loads this page already ended (cut short, refused) were reported then.
        if (!job || job->stage == Job::Stage::Done || job->awaitingRetry) return TRUE;
        auto url = parse(uri);
        const bool sameURL = url && job->request.url() && url->absoluteString() == job->request.url()->absoluteString();
        // The engine may give a load a connection it opened ahead for its host, and end that connection when its
        // own certificate check refuses it there: the load ends "cancelled" with no TLS error said, though nobody
        // cancelled it (the engine's own cancels are of its network domain). Nothing was sent: a GET loads again,
        // once, and so meets the check itself.
        if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED) && sameURL &&
            job->stage != Job::Stage::Committed && !job->loadedAgainAfterCut && job->request.HTTPMethod() == "GET") {
            job->loadedAgainAfterCut = true;
            job->awaitingRetry = true;
            self->loadedAgain_.insert(urlText(url));
            webkit_web_view_load_uri(self->view_, uri);
            return TRUE;
        }
        auto failure = loadError(g_quark_to_string(error->domain), error->code, error->message ? error->message : "",
                                 url ? url : job->request.url());
        if (job->certificateFailure && failure.code == job->certificateFailure->code)
            failure = *job->certificateFailure;
        // The end of a load that a newer one replaced: already reported when the newer one started.
        if (failure.code == static_cast<int>(URLErrorCode::Cancelled) && url && job->request.url() && !sameURL)
            return TRUE;
        self->fail(job, failure);
        return TRUE;  // no error page: the app shows its own
    }

    // The engine drops a navigation without a word when it refuses to follow a redirect to a scheme it
    // will not load (file:, for one): the load just stops. Seen from the app, URL loading refused it.
    static void onLoadingChanged(WebKitWebView* view, GParamSpec*, gpointer data) {
        auto* self = static_cast<GtkPage*>(data);
        if (webkit_web_view_is_loading(view) || !self->current_) return;
        std::weak_ptr<GtkPage> weak = self->weak_from_this();
        auto job = self->current_;
        // A failure the engine does report comes first; look again once it had its turn.
        dispatch::MainLoop::shared().post([weak, job] {
            auto self = weak.lock();
            if (!self || self->current_ != job || job->stage != Job::Stage::Provisional || job->awaitingRetry) return;
            if (self->view_ && webkit_web_view_is_loading(self->view_)) return;
            self->fail(job, makeURLError(URLErrorCode::UnsupportedURL, job->request.url()));
        });
    }

    static gboolean onTLSErrors(WebKitWebView* view, gchar* uri, GTlsCertificate* certificate,
                                GTlsCertificateFlags errors, gpointer data) {
        auto* self = static_cast<GtkPage*>(data);
        auto keep = self->shared_from_this();
        auto url = parse(uri);
        auto host = url ? url->host() : std::nullopt;
        auto job = self->current_;
        // Said by the failure that follows when the certificate is not let through.
        if (job) job->certificateFailure = certificateNameError(certificate, errors, url);
        // The allowance reaches the network process on its own way, so a connection set up meanwhile may still
        // refuse the certificate: the same navigation tries again, a few times.
        if (!job || job->stage == Job::Stage::Done || !host || self->tlsRetries_[*host] >= kMaxTLSRetries) return FALSE;
        if (!allowCertificateIfTrusted(certificate, *host)) return FALSE;  // fails as a bad certificate
        // Accepted for this host from now on. Loading the URL again would send a GET without the body of a
        // form's POST: that navigation fails instead, nothing having been sent.
        if (job->request.HTTPMethod() != "GET") {
            auto error = makeURLError(URLErrorCode::SecureConnectionFailed, url);
            error.userInfo.set(kLocalizedDescriptionKey,
                               "The certificate for " + *host +
                                   " was accepted only after this connection had refused it, so the form was not "
                                   "sent; send it again.");
            self->fail(job, error);
            return TRUE;
        }
        // The same navigation loads again.
        ++self->tlsRetries_[*host];
        job->awaitingRetry = true;
        self->loadedAgain_.insert(urlText(url));
        webkit_web_view_load_uri(view, uri);
        return TRUE;
    }

    static GtkWidget* onCreate(WebKitWebView* view, WebKitNavigationAction* action, gpointer data) {
        auto* self = static_cast<GtkPage*>(data);
        auto keep = self->shared_from_this();
        if (!self->client_ || self->blocksWindow(action)) return nullptr;
        NavigationAction asked;
        asked.request = requestOf(webkit_navigation_action_get_request(action));
        asked.navigationType = navigationType(webkit_navigation_action_get_navigation_type(action));
        asked.sourceFrame = self->mainFrame();
        auto* previous = gCreatingFor;
        auto previousURL = gOpeningURL;
        gCreatingFor = view;
        gOpeningURL = urlText(asked.request.url());
        auto made = self->client_->engineCreateWindow(asked, WindowFeatures{});
        gCreatingFor = previous;
        gOpeningURL = previousURL;
        auto* page = dynamic_cast<GtkPage*>(made.get());
        // Only a view made for this request can show it; any other answer ignores the request.
        if (!page || !page->relatedOpen_ || !page->view_ || page->openedBy_ != view) return nullptr;
        return GTK_WIDGET(page->view_);
    }

    static void onClose(WebKitWebView*, gpointer data) {
        auto* self = static_cast<GtkPage*>(data);
        auto keep = self->shared_from_this();
        if (self->client_) self->client_->engineClose();
    }

    static gboolean onScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data) {
        auto* self = static_cast<GtkPage*>(data);
        auto keep = self->shared_from_this();
        auto type = webkit_script_dialog_get_dialog_type(dialog);
        std::string message = webkit_script_dialog_get_message(dialog) ? webkit_script_dialog_get_message(dialog) : "";
        if (type == WEBKIT_SCRIPT_DIALOG_PROMPT || type == WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM) {
            // No screen shows these panels: answered at once, as for a panel nobody shows. A prompt gets no
            // text (the page reads null); a page asking before it is left is left.
            bool prompt = type == WEBKIT_SCRIPT_DIALOG_PROMPT;
            if (!prompt) webkit_script_dialog_confirm_set_confirmed(dialog, TRUE);
            DeviceEvents::post("js.panel.answered",
                               Value::dictionary({{"kind", Value(prompt ? "prompt" : "before-unload")},
                                                  {"message", Value(message)},
                                                  {"answer", Value(prompt ? "no-text" : "leave")}}));
            return TRUE;  // the dialog answers as it ends, once this signal returns
        }
        bool alert = type == WEBKIT_SCRIPT_DIALOG_ALERT;
        // The page's process waits for the answer and draws nothing meanwhile.
        self->waitingOn_ = std::string(alert ? "alert" : "confirm") + " \"" + message + "\"";
        std::weak_ptr<GtkPage> weak = self->weak_from_this();
        auto answered = [weak] {
            if (auto page = weak.lock()) page->waitingOn_.reset();
        };
        webkit_script_dialog_ref(dialog);
        if (alert) {
            auto done = dispatch::OnceHandler<>("runJavaScriptAlertPanel", [dialog, answered] {
                answered();
                webkit_script_dialog_close(dialog);
                webkit_script_dialog_unref(dialog);
            });
            if (!self->client_) return done(), TRUE;
            self->client_->engineRunAlert(message, done);
        } else {
            auto done = dispatch::OnceHandler<bool>("runJavaScriptConfirmPanel", [dialog, answered](bool answer) {
                answered();
                webkit_script_dialog_confirm_set_confirmed(dialog, answer);
                webkit_script_dialog_close(dialog);
                webkit_script_dialog_unref(dialog);
            });
            if (!self->client_) return done(false), TRUE;
            self->client_->engineRunConfirm(message, done);
        }
        return TRUE;
    }

    // Every request the page sends is seen on the device, as URL loading's are: the first when the load
    // starts, each redirect's as it is sent. A load made again once its certificate was accepted was seen
    // already.
    static void onResourceLoadStarted(WebKitWebView* view, WebKitWebResource* resource, WebKitURIRequest* request,
                                      gpointer data) {
        auto* self = static_cast<GtkPage*>(data);
        std::string url = urlText(parse(webkit_uri_request_get_uri(request)));
        if (auto again = self->loadedAgain_.find(url); again != self->loadedAgain_.end())
            self->loadedAgain_.erase(again);
        else
            postRequest(request);
        g_signal_connect(
            resource, "sent-request",
            G_CALLBACK(+[](WebKitWebResource*, WebKitURIRequest* sent, WebKitURIResponse* redirected, gpointer) {
                if (redirected) postRequest(sent);
            }),
            nullptr);
        if (webkit_web_view_get_main_resource(view) == resource) return;
        // The engine asks about the navigations of the page's frames as it asks about the page's own; only
        // the load tells them apart. A decided navigation whose load is a frame's is not the page's.
        auto& decided = self->decided_;
        decided.erase(std::remove_if(decided.begin(), decided.end(),
                                     [&](const auto& job) { return urlText(job->request.url()) == url; }),
                      decided.end());
        g_signal_connect_data(
            resource, "failed-with-tls-errors", G_CALLBACK(onSubresourceTLSErrors),
            new std::weak_ptr<GtkPage>(self->weak_from_this()),
            [](gpointer weak, GClosure*) { delete static_cast<std::weak_ptr<GtkPage>*>(weak); }, GConnectFlags(0));
    }

    // What the page loads besides itself follows its trust rule: a certificate that chains to a CA the device
    // trusts is accepted for its host, and frames showing it load again (a few times at most, as the page does).
    static void onSubresourceTLSErrors(WebKitWebResource* resource, GTlsCertificate* certificate, GTlsCertificateFlags,
                                       gpointer data) {
        auto self = static_cast<std::weak_ptr<GtkPage>*>(data)->lock();
        auto url = parse(webkit_web_resource_get_uri(resource));
        auto host = url ? url->host() : std::nullopt;
        if (!self || !self->view_ || !host || self->tlsRetries_[*host] >= kMaxTLSRetries) return;
        if (!allowCertificateIfTrusted(certificate, *host)) return;
        ++self->tlsRetries_[*host];
        self->loadFramesAgain(url->absoluteString());
    }

    // Frames (of this document and of the frames it can reach) showing `url` load it again.
    void loadFramesAgain(const std::string& url) {
        auto literal = json::write(Value::array({Value(url)}));
        if (!literal.ok()) return;
        framesToLoadAgain_.try_emplace(url);
        std::string script = "(function(u) {"
                             "  var n = 0;"
                             "  (function walk(d) {"
                             "    d.querySelectorAll('iframe, frame').forEach(function(f) {"
                             "      if (f.src === u) { f.src = u; ++n; }"
                             "      try { if (f.contentDocument) walk(f.contentDocument); } catch (e) {}"
                             "    });"
                             "  })(document);"
                             "  return n;"
                             "})(" +
                             literal.value() + "[0])";
        std::weak_ptr<GtkPage> weak = weak_from_this();
        // The engine may ask about the frames' new loads before or after the script's answer says how many.
        evaluateJavaScript(script, [weak, url](const Value& found, const std::optional<Error>&) {
            auto self = weak.lock();
            if (!self) return;
            auto again = self->framesToLoadAgain_.find(url);
            if (again == self->framesToLoadAgain_.end()) return;
            again->second.frames = static_cast<int>(found.doubleOr(0));
            if (again->second.asked >= again->second.frames) self->framesToLoadAgain_.erase(again);
        });
    }

    static void postRequest(WebKitURIRequest* request) {
        if (!DeviceEvents::hasListeners()) return;
        auto url = parse(webkit_uri_request_get_uri(request));
        auto scheme = url ? url->scheme() : std::nullopt;
        if (scheme != "http" && scheme != "https") return;  // data:, blob: and the like stay in the page
        const char* method = webkit_uri_request_get_http_method(request);
        DeviceEvents::post("http.request", Value::dictionary({{"method", Value(method ? method : "GET")},
                                                              {"url", Value(url->absoluteString())}}));
    }

    // The app has no handler of its own for a server's challenge, so none is offered a credential, as on a phone:
    // the answer's own page shows, with its status (the engine's default would wait on a dialog no one sees). A 407
    // too is a site's own: the loopback proxy takes its credential in its handshake.
    static gboolean onAuthenticate(WebKitWebView*, WebKitAuthenticationRequest* request, gpointer) {
        webkit_authentication_request_authenticate(request, nullptr);
        return TRUE;
    }

    // The engine's other requests would wait on a dialog, a menu or a chooser no one sees; the app's delegate has
    // no method for any of them, so each is answered as with no handler: every permission (location,
    // notifications, camera and microphone, ...) is denied, a file or colour chooser and a <select>'s menu close
    // with nothing chosen, and a print prints nothing.
    static gboolean onPermissionRequest(WebKitWebView*, WebKitPermissionRequest* request, gpointer) {
        webkit_permission_request_deny(request);
        return TRUE;
    }
    static gboolean onFileChooser(WebKitWebView*, WebKitFileChooserRequest* request, gpointer) {
        webkit_file_chooser_request_cancel(request);
        return TRUE;
    }
    static gboolean onColorChooser(WebKitWebView*, WebKitColorChooserRequest* request, gpointer) {
        webkit_color_chooser_request_cancel(request);
        return TRUE;
    }
    static gboolean onOptionMenu(WebKitWebView*, WebKitOptionMenu* menu, GdkEvent*, GdkRectangle*, gpointer) {
        webkit_option_menu_close(menu);
        return TRUE;
    }
    static gboolean onPrint(WebKitWebView*, WebKitPrintOperation*, gpointer) { return TRUE; }

    friend std::shared_ptr<PageBackend> makePage(const BackendRequest& request);

    bool opensWindowsAutomatically_ = false;
    // A page made for another page's window: the opener, and the URL the engine loads in it itself.
    bool relatedOpen_ = false;
    WebKitWebView* openedBy_ = nullptr;
    std::optional<std::string> openingURL_;

    EngineClient* client_;
    GtkWidget* window_ = nullptr;
    WebKitWebView* view_ = nullptr;
    std::shared_ptr<Job> pending_;                // asked for by the owner, waiting for the engine's decision
    std::vector<std::shared_ptr<Job>> decided_;   // allowed, waiting for the engine to start them
    std::vector<std::shared_ptr<Job>> setAside_;  // allowed, fetching nothing: likely a frame's (see decideNavigation)
    std::shared_ptr<Job> current_;                // started, until it ends
    std::optional<URL> committedURL_;
    std::optional<int> committedStatus_;  // of the committed page, as its events tell it
    std::optional<URLRequest> committedRequest_;
    std::optional<URLRequest> lastStartedRequest_;
    std::string title_;
    std::string source_;
    BackForwardList backForward_;
    std::map<std::string, int> tlsRetries_;   // by host
    std::multiset<std::string> loadedAgain_;  // URLs loaded again once their certificate was accepted
    struct FramesLoadingAgain {
        int frames = -1;  // how many, once the script that loads them again answered
        int asked = 0;    // how many new loads the engine asked about
    };
    std::map<std::string, FramesLoadingAgain> framesToLoadAgain_;  // by URL
    std::optional<std::string> waitingOn_;  // the alert or confirm the page waits on, until answered
};

namespace {
std::vector<std::weak_ptr<GtkPage>>& livePages() {
    static auto* pages = new std::vector<std::weak_ptr<GtkPage>>;
    return *pages;
}
std::optional<std::string> openPanel() {
    for (const auto& weak : livePages())
        if (auto page = weak.lock(); page && page->waitingOn()) return page->waitingOn();
    return std::nullopt;
}

}  // namespace

std::shared_ptr<PageBackend> makePage(const BackendRequest& request) {
    if (!engineContext()) return nullptr;
    auto page = std::make_shared<GtkPage>(request);
    if (gCreatingFor) {
        page->openedBy_ = gCreatingFor;
        page->openingURL_ = gOpeningURL;
    }
    page->build(request);
    auto& pages = livePages();
    pages.erase(std::remove_if(pages.begin(), pages.end(), [](const auto& weak) { return weak.expired(); }),
                pages.end());
    pages.push_back(page);
    return page;
}

void closeAllPages() {
    auto pages = std::move(livePages());
    livePages().clear();
    for (auto& weak : pages)
        if (auto page = weak.lock()) page->endWithEngine();
}

}  // namespace platform::webkit::gtk
