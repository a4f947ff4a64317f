#pragma once
// VezEduduzWebView: the in-app page that a notification's launch URL may open. One page serves the
// whole process: it sits as the root of its own navigation controller, which is presented over the
// key window's front-most screen. A "Done" button closes it; a spinner shows while a page loads and
// the page's title becomes the screen's title.
//
// Showing it while it is already on screen only loads the (new) URL. Closing it clears the page, so
// the next showing never flashes the previous site.
//
// Threads: main loop only. presenter() gives the hook the helper takes; it hops to the main loop.
#include <functional>
#include <memory>
#include <optional>

#include "platform/foundation/URL.h"
#include "platform/uikit/Control.h"
#include "platform/uikit/NavigationController.h"
#include "platform/uikit/ViewController.h"
#include "platform/webkit/LegacyWebView.h"

namespace vezeduduz {

class VezEduduzWebView : public platform::uikit::ViewController {
public:
    VezEduduzWebView();
    ~VezEduduzWebView() override;

    // The process-wide page (created on first use).
    static std::shared_ptr<VezEduduzWebView> shared();
    // Shows `url` in the shared page; safe from any thread.
    static std::function<void(const platform::URL&)> presenter();

    const std::optional<platform::URL>& url() const { return url_; }
    void setURL(std::optional<platform::URL> url) { url_ = std::move(url); }

    // Presents the page over the front-most screen of the key window, or, when it is already on
    // screen, loads url() again. Answers whether the page is on screen afterwards.
    bool showInApp();
    // Closes the page (animated) and clears what it showed.
    void dismiss();
    // The page is presented and in a window.
    bool isShown() const;

    // The pieces of the screen (loaded with the view).
    std::shared_ptr<platform::webkit::LegacyWebView> webView() const { return webView_; }
    std::shared_ptr<platform::uikit::Button> closeButton() const { return closeButton_; }
    std::shared_ptr<platform::uikit::ActivityIndicatorView> busyIndicator() const { return busy_; }
    std::shared_ptr<platform::uikit::NavigationController> navigation() const { return navigation_; }

    void viewDidLoad() override;
    void viewDidAppear(bool animated) override;

private:
    class LoadDelegate;
    void loadURL();

    std::optional<platform::URL> url_;
    std::shared_ptr<platform::webkit::LegacyWebView> webView_;
    std::shared_ptr<platform::uikit::Button> closeButton_;
    std::shared_ptr<platform::uikit::ActivityIndicatorView> busy_;
    std::shared_ptr<LoadDelegate> loadDelegate_;
    std::shared_ptr<platform::uikit::NavigationController> navigation_;
};

}  // namespace vezeduduz
