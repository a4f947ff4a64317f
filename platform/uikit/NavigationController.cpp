#include "platform/uikit/NavigationController.h"

#include <utility>

#include "platform/foundation/DeviceEvents.h"
#include "platform/uikit/Classes.h"

namespace platform::uikit {

NavigationController::NavigationController(objc::Class* cls)
    : ViewController(cls ? cls : navigationControllerClass()) {}

std::shared_ptr<NavigationController> NavigationController::withRoot(std::shared_ptr<ViewController> root) {
    auto nav = std::make_shared<NavigationController>();
    if (root) nav->setViewControllers({std::move(root)});
    return nav;
}

std::shared_ptr<ViewController> NavigationController::topViewController() const {
    return stack_.empty() ? nullptr : stack_.back();
}

Value NavigationController::eventFields() const {
    Value fields = ViewController::eventFields();
    if (auto top = topViewController()) {
        Value url = top->eventFields()["url"];
        if (!url.isNull()) fields.set("url", std::move(url));
    }
    return fields;
}

void NavigationController::loadView() {
    ViewController::loadView();
    if (auto top = topViewController()) {
        auto v = top->view();
        v->setFrame(view_->bounds());
        view_->addSubview(v);
        shown_ = top;
    }
}

void NavigationController::viewDidLayoutSubviews() {
    if (auto top = topViewController(); top && top->isViewLoaded()) top->view()->setFrame(view_->bounds());
}

void NavigationController::forwardAppearance(bool appearing, bool will, bool animated) {
    ViewController::forwardAppearance(appearing, will, animated);
    if (auto top = topViewController()) top->forwardAppearance(appearing, will, animated);
}

void NavigationController::adopt(const std::shared_ptr<ViewController>& controller) {
    controller->parent_ = std::static_pointer_cast<ViewController>(shared_from_this());
}

void NavigationController::showTop(bool animated) {
    auto newTop = topViewController();
    if (newTop == shown_ || !isViewLoaded()) return;
    bool visible = state_ == Appearance::Appeared || state_ == Appearance::Appearing;
    if (newTop) newTop->view();
    // Its viewDidLoad may have pushed or popped again; that change showed its own top.
    if (topViewController() != newTop || newTop == shown_) return;
    auto oldTop = std::exchange(shown_, newTop);
    if (visible) {
        if (oldTop) oldTop->beginAppearance(false, animated);
        if (newTop) newTop->beginAppearance(true, animated);
    }
    if (oldTop && oldTop->isViewLoaded() && oldTop->view_->superview().get() == view_.get())
        oldTop->view_->removeFromSuperview();
    if (newTop) {
        auto v = newTop->view();
        v->setFrame(view_->bounds());
        view_->addSubview(v);
    }
    if (visible) {
        if (oldTop) oldTop->endAppearance(false, animated);
        if (newTop) newTop->endAppearance(true, animated);
    }
}

void NavigationController::setViewControllers(std::vector<std::shared_ptr<ViewController>> controllers, bool animated) {
    for (auto& c : stack_) c->parent_.reset();
    stack_.clear();
    for (auto& c : controllers) {
        if (!c || c.get() == this) continue;
        adopt(c);
        stack_.push_back(std::move(c));
    }
    showTop(animated);
}

void NavigationController::pushViewController(std::shared_ptr<ViewController> controller, bool animated) {
    if (!controller || controller.get() == this || controller->parent_.lock() || controller->presenting_.lock()) {
        consoleLog("Warning: Pushing a view controller that is already in a navigation stack or presented is not "
                   "supported");
        return;
    }
    adopt(controller);
    stack_.push_back(controller);
    // Said before the screen's view loads: what its viewDidLoad does comes after the push.
    DeviceEvents::post("screen.push", controller->eventFields());
    showTop(animated);
}

std::vector<std::shared_ptr<ViewController>> NavigationController::popTo(size_t keep, bool animated) {
    if (keep == 0 || keep >= stack_.size()) return {};
    std::vector<std::shared_ptr<ViewController>> popped(stack_.begin() + long(keep), stack_.end());
    stack_.resize(keep);
    showTop(animated);
    for (auto it = popped.rbegin(); it != popped.rend(); ++it) {
        (*it)->parent_.reset();
        DeviceEvents::post("screen.pop", (*it)->eventFields());
    }
    return popped;
}

std::shared_ptr<ViewController> NavigationController::popViewController(bool animated) {
    auto popped = popTo(stack_.size() - (stack_.empty() ? 0 : 1), animated);
    return popped.empty() ? nullptr : popped.front();
}

std::vector<std::shared_ptr<ViewController>>
NavigationController::popToViewController(const std::shared_ptr<ViewController>& controller, bool animated) {
    for (size_t i = 0; i < stack_.size(); ++i)
        if (stack_[i] == controller) return popTo(i + 1, animated);
    return {};
}

void NavigationController::setNavigationBarHidden(bool hidden, bool animated) {
    if (hidden == barHidden_) return;
    barHidden_ = hidden;
    DeviceEvents::post("view", Value::dictionary({{"name", "navigation-bar"}, {"hidden", hidden}}));
}

}  // namespace platform::uikit
