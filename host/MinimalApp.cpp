#include "host/MinimalApp.h"

#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/uikit/UIKit.h"
#include "platform/usernotifications/UserNotificationCenter.h"
#include "platform/webkit/WebKit.h"

namespace tesmar_host {

using namespace platform;
using objc::makeImp;
using objc::Object;
using objc::sel;
using objc::Selector;
using uikit::ObjectHandle;

namespace {

platform::dispatch::Mutex startURLMutex;
std::string startURLOverride GUARDED_BY(startURLMutex);

std::string startURL() {
    {
        platform::dispatch::MutexLock lock(startURLMutex);
        if (!startURLOverride.empty()) return startURLOverride;
    }
    auto bundle = Bundle::mainBundle();
    const Value* value = bundle ? bundle->objectForInfoDictionaryKey(kStartURLInfoKey) : nullptr;
    return value ? value->stringOr("") : "";
}

bool isConnectionError(const Error& error) {
    if (error.domain != kURLErrorDomain) return false;
    switch (error.code) {
    case -1001:  // timed out
    case -1003:  // cannot find host
    case -1004:  // cannot connect
    case -1005:  // connection lost
    case -1009:  // not connected
        return true;
    default:
        return false;
    }
}

class WebScreen : public uikit::ViewController, public webkit::NavigationDelegate, public webkit::UIDelegate {
public:
    explicit WebScreen(webkit::WebViewConfiguration configuration, std::string firstURL)
        : configuration_(std::move(configuration)), firstURL_(std::move(firstURL)) {
        setScreenName("web");
    }

    std::shared_ptr<webkit::WebView> webView() {
        view();
        return webView_;
    }

    void load(const std::string& text) {
        auto url = URL::string(text);
        if (!url) {
            consoleLog("Not a URL: " + text);
            return;
        }
        firstURL_ = text;
        webView()->loadRequest(URLRequest(*url));
    }

    Value eventFields() const override {
        Value fields = ViewController::eventFields();
        std::optional<URL> url = webView_ ? webView_->URL() : std::nullopt;
        if (url)
            fields.set("url", url->absoluteString());
        else if (!firstURL_.empty())
            fields.set("url", firstURL_);
        return fields;
    }

    void loadView() override {
        auto root = std::make_shared<uikit::View>(uikit::Screen::mainBounds());
        setView(root);
        webView_ = std::make_shared<webkit::WebView>(root->bounds(), configuration_);
        webView_->setEventName("web-view");
        root->addSubview(webView_);

        refresh_ = std::make_shared<uikit::RefreshControl>();
        refresh_->setEventName("refresh-control");
        webView_->scrollView()->addSubview(refresh_);

        spinner_ = std::make_shared<uikit::ActivityIndicatorView>();
        spinner_->setEventName("spinner");
        root->addSubview(spinner_);

        connectionLost_ = std::make_shared<uikit::View>(root->bounds());
        connectionLost_->setEventName("connection-lost");
        connectionLost_->setHidden(true);
        reloadButton_ = std::make_shared<uikit::Button>();
        reloadButton_->setEventName("reload-button");
        reloadButton_->setTitle("Reload");
        connectionLost_->addSubview(reloadButton_);
        root->addSubview(connectionLost_);
    }

    void viewDidLoad() override {
        auto self = std::static_pointer_cast<WebScreen>(shared_from_this());
        std::weak_ptr<WebScreen> weak = self;
        webView_->setNavigationDelegate(std::weak_ptr<webkit::NavigationDelegate>(self));
        webView_->setUIDelegate(std::weak_ptr<webkit::UIDelegate>(self));
        refresh_->addTarget(
            [weak](uikit::Control&) {
                if (auto s = weak.lock()) s->reloadPage();
            },
            uikit::ValueChanged);
        reloadButton_->addTarget(
            [weak](uikit::Control&) {
                if (auto s = weak.lock()) s->reloadPage();
            },
            uikit::TouchUpInside);
    }

    // --- navigation ---
    void decidePolicyForNavigationAction(webkit::WebView&, const webkit::NavigationAction& action,
                                         std::function<void(webkit::NavigationActionPolicy)> decision) override {
        const auto& url = action.request.url();
        if (url && !staysInApp(*url)) {
            if (auto app = uikit::Application::shared()) app->openURL(*url);
            decision(webkit::NavigationActionPolicy::Cancel);
            return;
        }
        decision(webkit::NavigationActionPolicy::Allow);
    }
    void didStartProvisionalNavigation(webkit::WebView&, const std::shared_ptr<webkit::Navigation>&) override {
        spinner_->startAnimating();
    }
    void didFinishNavigation(webkit::WebView&, const std::shared_ptr<webkit::Navigation>&) override {
        settle();
        connectionLost_->setHidden(true);
    }
    void didFailNavigation(webkit::WebView&, const std::shared_ptr<webkit::Navigation>&, const Error& error) override {
        failed(error);
    }
    void didFailProvisionalNavigation(webkit::WebView&, const std::shared_ptr<webkit::Navigation>&,
                                      const Error& error) override {
        failed(error);
    }

    // --- the page's UI requests ---
    std::shared_ptr<webkit::WebView> createWebViewWithConfiguration(webkit::WebView&,
                                                                    const webkit::WebViewConfiguration& configuration,
                                                                    const webkit::NavigationAction& action,
                                                                    const webkit::WindowFeatures&) override {
        auto nav = navigationController();
        if (!nav) return nullptr;
        std::string first = action.request.url() ? action.request.url()->absoluteString() : "";
        auto screen = std::make_shared<WebScreen>(configuration, first);
        auto web = screen->webView();
        nav->pushViewController(screen, true);
        return web;
    }
    void webViewDidClose(webkit::WebView&) override {
        auto nav = navigationController();
        if (nav && nav->topViewController().get() == this && nav->viewControllers().size() > 1)
            nav->popViewController(true);
    }
    void runJavaScriptAlertPanelWithMessage(webkit::WebView&, const std::string& message, const webkit::FrameInfo&,
                                            std::function<void()> completion) override {
        auto alert =
            uikit::AlertController::alertControllerWithTitle(std::nullopt, message, uikit::AlertControllerStyle::Alert);
        alert->addAction(uikit::AlertAction::make("OK", uikit::AlertActionStyle::Default,
                                                  [completion](const uikit::AlertAction&) { completion(); }));
        if (!presentViewController(alert, true)) completion();
    }
    void runJavaScriptConfirmPanelWithMessage(webkit::WebView&, const std::string& message, const webkit::FrameInfo&,
                                              std::function<void(bool)> completion) override {
        auto alert =
            uikit::AlertController::alertControllerWithTitle(std::nullopt, message, uikit::AlertControllerStyle::Alert);
        alert->addAction(uikit::AlertAction::make("Cancel", uikit::AlertActionStyle::Cancel,
                                                  [completion](const uikit::AlertAction&) { completion(false); }));
        alert->addAction(uikit::AlertAction::make("OK", uikit::AlertActionStyle::Default,
                                                  [completion](const uikit::AlertAction&) { completion(true); }));
        if (!presentViewController(alert, true)) completion(false);
    }

private:
    // Pages of the start URL's host stay here; everything else goes to the system.
    bool staysInApp(const URL& url) const {
        auto scheme = url.scheme().value_or("");
        if (scheme == "about") return true;
        if (scheme != "http" && scheme != "https") return false;
        auto home = URL::string(startURL());
        return !home || home->host() == url.host();
    }

    void reloadPage() {
        connectionLost_->setHidden(true);
        if (!webView_->reload() && !firstURL_.empty()) load(firstURL_);
    }

    void settle() {
        spinner_->stopAnimating();
        if (refresh_->isRefreshing()) refresh_->endRefreshing();
    }

    void failed(const Error& error) {
        settle();
        if (isConnectionError(error)) connectionLost_->setHidden(false);
    }

    webkit::WebViewConfiguration configuration_;
    std::string firstURL_;
    std::shared_ptr<webkit::WebView> webView_;
    std::shared_ptr<uikit::RefreshControl> refresh_;
    std::shared_ptr<uikit::ActivityIndicatorView> spinner_;
    std::shared_ptr<uikit::View> connectionLost_;
    std::shared_ptr<uikit::Button> reloadButton_;
};

class MinimalDelegate : public uikit::Responder {
public:
    using Responder::Responder;

    std::shared_ptr<uikit::Window> window;
    std::shared_ptr<uikit::NavigationController> navigation;

    std::shared_ptr<WebScreen> topScreen() const {
        return navigation ? std::dynamic_pointer_cast<WebScreen>(navigation->topViewController()) : nullptr;
    }

    void didFinishLaunching() {
        if (!window) window = std::make_shared<uikit::Window>();
        std::string first = startURL();
        auto screen = std::make_shared<WebScreen>(webkit::WebViewConfiguration(), first);
        navigation = uikit::NavigationController::withRoot(screen);
        window->setRootViewController(navigation);
        window->makeKeyAndVisible();
        if (!first.empty()) screen->load(first);  // the host refuses a run without one (checkStartURL)

        if (auto center = usernotifications::UserNotificationCenter::current()) {
            center->setDelegate(handle());
            center->requestAuthorizationWithOptions(usernotifications::AuthorizationOptionAlert |
                                                        usernotifications::AuthorizationOptionBadge |
                                                        usernotifications::AuthorizationOptionSound,
                                                    [](bool, std::optional<Error>) {});
        }
    }

    // A notification or universal link that names a page opens it.
    void open(const std::string& url) {
        if (auto screen = topScreen()) screen->load(url);
    }
};

MinimalDelegate* delegateOf(Object* self) { return objc::native<MinimalDelegate>(self); }

std::string urlIn(const Value& userInfo) { return userInfo["url"].stringOr(""); }

}  // namespace

void setMinimalAppStartURL(std::string url) {
    platform::dispatch::MutexLock lock(startURLMutex);
    startURLOverride = std::move(url);
}

void registerMinimalApp() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto& rt = objc::Runtime::shared();
        objc::ClassBuilder builder(rt, kMinimalDelegateClass, uikit::responderClass());
        if (!builder.valid()) return;
        builder.protocol(uikit::applicationDelegateProtocol())
            .classMethod(sel("alloc"), makeImp([](Object* self, Selector) -> ObjectHandle {
                             return std::make_shared<MinimalDelegate>(static_cast<objc::Class*>(self));
                         }))
            .method(sel("window"),
                    makeImp([](Object* self, Selector) -> ObjectHandle { return delegateOf(self)->window; }))
            .method(sel("setWindow:"), makeImp([](Object* self, Selector, ObjectHandle window) {
                        delegateOf(self)->window = std::dynamic_pointer_cast<uikit::Window>(window);
                    }))
            .method(sel("application:didFinishLaunchingWithOptions:"),
                    makeImp([](Object* self, Selector, ObjectHandle, Value) -> bool {
                        delegateOf(self)->didFinishLaunching();
                        return true;
                    }))
            .method(sel("application:continueUserActivity:restorationHandler:"),
                    makeImp([](Object* self, Selector, ObjectHandle, std::shared_ptr<uikit::UserActivity> activity,
                               uikit::RestorationHandler) -> bool {
                        if (!activity || activity->activityType != uikit::kUserActivityTypeBrowsingWeb ||
                            !activity->webpageURL)
                            return false;
                        delegateOf(self)->open(activity->webpageURL->absoluteString());
                        return true;
                    }))
            .method(sel("application:didReceiveRemoteNotification:fetchCompletionHandler:"),
                    makeImp([](Object* self, Selector, ObjectHandle, Value userInfo,
                               uikit::FetchCompletionHandler completion) {
                        if (completion) completion(uikit::BackgroundFetchResult::NoData);
                    }))
            .method(sel("userNotificationCenter:willPresentNotification:withCompletionHandler:"),
                    makeImp([](Object*, Selector, ObjectHandle, std::shared_ptr<usernotifications::Notification>,
                               usernotifications::PresentationHandler completion) {
                        if (completion)
                            completion(usernotifications::PresentationOptionAlert |
                                       usernotifications::PresentationOptionBadge |
                                       usernotifications::PresentationOptionSound);
                    }))
            .method(sel("userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:"),
                    makeImp([](Object* self, Selector, ObjectHandle,
                               std::shared_ptr<usernotifications::NotificationResponse> response,
                               std::function<void()> completion) {
                        if (response && response->notification) {
                            std::string url = urlIn(response->notification->request.content.userInfo);
                            if (!url.empty()) delegateOf(self)->open(url);
                        }
                        if (completion) completion();
                    }))
            .registerClass();
    });
}

}  // namespace tesmar_host
