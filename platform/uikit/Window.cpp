#include "platform/uikit/Window.h"

#include "platform/foundation/DeviceEvents.h"
#include "platform/uikit/Application.h"
#include "platform/uikit/Classes.h"

namespace platform::uikit {

Window::Window(Rect frame, objc::Class* cls) : View(frame, cls ? cls : windowClass()) {}
Window::~Window() = default;

void Window::setRootViewController(std::shared_ptr<ViewController> controller) {
    auto old = root_;
    if (old == controller) return;
    // A window that is not on screen yet does not load its root's view: that happens when it becomes
    // visible, so a screen set up during launch does not start its work before launch has run.
    bool visible = isVisible();
    if (visible) {
        if (controller) controller->view();
        if (old) old->beginAppearance(false, false);
        if (controller) controller->beginAppearance(true, false);
    }
    if (old && old->isViewLoaded() && old->view()->superview().get() == this) old->view()->removeFromSuperview();
    root_ = controller;
    if (visible) {
        installRootView();
        if (old) old->endAppearance(false, false);
        if (controller) controller->endAppearance(true, false);
        announceRoot();
    }
}

void Window::installRootView() {
    if (!root_) return;
    auto v = root_->view();
    if (v->superview().get() == this) return;
    v->setFrame(bounds());
    insertSubviewAtIndex(v, 0);
}

void Window::makeKeyAndVisible() {
    auto self = std::static_pointer_cast<Window>(shared_from_this());
    if (auto app = Application::shared()) app->setKeyWindow(self);
    setHidden(false);
    if (visible_) return;
    visible_ = true;
    if (root_) {
        installRootView();
        root_->beginAppearance(true, false);
        root_->endAppearance(true, false);
    }
    announceRoot();
}

bool Window::isKeyWindow() const {
    auto app = Application::shared();
    return app && app->keyWindow().get() == this;
}

std::shared_ptr<ViewController> Window::topPresentedViewController() const {
    auto c = root_;
    while (c && c->presentedViewController()) c = c->presentedViewController();
    return c;
}

void Window::layoutSubviews() {
    if (root_ && root_->isViewLoaded()) root_->view()->setFrame(bounds());
}

void Window::announceRoot() {
    if (!root_ || announcedRoot_.lock() == root_) return;
    announcedRoot_ = root_;
    DeviceEvents::post("screen.root", root_->eventFields());
}

}  // namespace platform::uikit
