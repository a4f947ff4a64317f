// The web-view screen as its page's UI delegate: new windows, window close, alert and confirm.
#include "app/Strings.h"
#include "app/ViewController.h"
#include "platform/dispatch/DispatchQueue.h"

namespace Tesmar {

std::shared_ptr<webkit::WebView>
ViewController::createWebViewWithConfiguration(webkit::WebView&, const webkit::WebViewConfiguration& configuration,
                                               const webkit::NavigationAction& action, const webkit::WindowFeatures&) {
    auto frame = wkWebView ? wkWebView->frame() : uikit::Rect{};
    auto newWebView = std::make_shared<webkit::WebView>(frame, configuration);
    if (!action.targetFrame) {
        std::shared_ptr<ViewController> screen;
        if (auto board = storyboard())
            screen = std::dynamic_pointer_cast<ViewController>(
                board->instantiateViewControllerWithIdentifier(viewControllerIdentifier));
        if (screen) {
            screen->request = action.request;
            screen->initialWebview = newWebView;
        }
        if (auto nav = navigationController(); nav && screen) nav->pushViewController(screen, true);
    }
    return newWebView;
}

void ViewController::webViewDidClose(webkit::WebView& closed) {
    if (!wkWebView || wkWebView.get() != &closed) return;
    auto nav = navigationController();
    if (nav) {
        const auto& stack = nav->viewControllers();
        for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
            auto target = std::dynamic_pointer_cast<ViewController>(*it);
            if (!target || target.get() == this) continue;
            auto self = std::static_pointer_cast<ViewController>(shared_from_this());
            platform::dispatch::DispatchQueue::main().async([self, target] {
                if (auto current = self->navigationController()) current->popToViewController(target, true);
            });
            return;
        }
    }
    // The bottom web-view screen (or one outside a navigation controller) has nowhere to go back to.
    load(std::nullopt);
}

std::optional<std::string> ViewController::panelTitle(const webkit::FrameInfo& frame) {
    const auto& url = frame.request.url();
    return url ? url->host() : std::nullopt;
}

std::shared_ptr<uikit::ViewController> ViewController::topPresenter() {
    std::shared_ptr<uikit::ViewController> presenter =
        std::static_pointer_cast<uikit::ViewController>(shared_from_this());
    while (auto presented = presenter->presentedViewController()) presenter = presented;
    return presenter;
}

void ViewController::runJavaScriptAlertPanelWithMessage(webkit::WebView&, const std::string& message,
                                                        const webkit::FrameInfo& frame,
                                                        std::function<void()> completionHandler) {
    auto alert = uikit::AlertController::alertControllerWithTitle(panelTitle(frame), message,
                                                                  uikit::AlertControllerStyle::Alert);
    alert->addAction(uikit::AlertAction::make(Strings::AlertAction::ok, uikit::AlertActionStyle::Default,
                                              [completionHandler](const uikit::AlertAction&) { completionHandler(); }));
    // A page must never be left waiting on a panel nobody can see.
    if (!topPresenter()->presentViewController(alert, true)) completionHandler();
}

void ViewController::runJavaScriptConfirmPanelWithMessage(webkit::WebView&, const std::string& message,
                                                          const webkit::FrameInfo& frame,
                                                          std::function<void(bool)> completionHandler) {
    auto alert = uikit::AlertController::alertControllerWithTitle(panelTitle(frame), message,
                                                                  uikit::AlertControllerStyle::Alert);
    alert->addAction(
        uikit::AlertAction::make(Strings::AlertAction::ok, uikit::AlertActionStyle::Default,
                                 [completionHandler](const uikit::AlertAction&) { completionHandler(true); }));
    alert->addAction(
        uikit::AlertAction::make(Strings::AlertAction::cancel, uikit::AlertActionStyle::Default,
                                 [completionHandler](const uikit::AlertAction&) { completionHandler(false); }));
    if (!topPresenter()->presentViewController(alert, true)) completionHandler(false);
}

}  // namespace Tesmar
