#pragma once
// Window: the root of a view tree (runtime class "UIWindow"). Main thread only.
// The window holds its root view controller strongly and shows the root's view as its first
// subview. makeKeyAndVisible shows it and makes it the application's key window. Whenever the
// visible root changes, DeviceEvents "screen.root" is posted with the new root's eventFields().
#include <memory>

#include "platform/uikit/View.h"
#include "platform/uikit/ViewController.h"

namespace platform::uikit {

class Window : public View {
public:
    // cls null: "UIWindow"; frame defaults to the screen.
    explicit Window(Rect frame = Screen::mainBounds(), objc::Class* cls = nullptr);
    ~Window() override;

    std::shared_ptr<ViewController> rootViewController() const { return root_; }
    // The old root's view leaves the window (with disappearance calls when visible) and the window
    // releases it; the new root's view is loaded and added.
    void setRootViewController(std::shared_ptr<ViewController> controller);

    void makeKeyAndVisible();
    bool isKeyWindow() const;
    bool isVisible() const { return visible_ && !isHidden(); }

    // The front-most presented controller over the root (the root when nothing is presented).
    std::shared_ptr<ViewController> topPresentedViewController() const;

    void layoutSubviews() override;

private:
    void announceRoot();
    void installRootView();
    std::shared_ptr<ViewController> root_;
    bool visible_ = false;
    std::weak_ptr<ViewController> announcedRoot_;
};

}  // namespace platform::uikit
