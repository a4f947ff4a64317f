#include "platform/uikit/ViewController.h"

#include <cstdio>

#include "platform/foundation/DeviceEvents.h"
#include "platform/uikit/Classes.h"
#include "platform/uikit/NavigationController.h"
#include "platform/uikit/Window.h"

namespace platform::uikit {

namespace {

std::string describe(const ViewController* vc) {
    if (!vc) return "(null)";
    char buf[32];
    snprintf(buf, sizeof buf, "%p", static_cast<const void*>(vc));
    return "<" + vc->getClass()->name() + ": " + buf + ">";
}

}  // namespace

ViewController::ViewController(objc::Class* cls) : Responder(cls ? cls : viewControllerClass()) {}
ViewController::~ViewController() = default;

std::shared_ptr<View> ViewController::view() {
    if (!view_ && !loading_) {
        loading_ = true;
        try {
            loadView();
            if (!view_) view_ = std::make_shared<View>(Screen::mainBounds());
        } catch (...) {
            loading_ = false;
            throw;
        }
        loading_ = false;
        viewDidLoad();
    }
    return view_;
}

void ViewController::setView(std::shared_ptr<View> view) { view_ = std::move(view); }

void ViewController::loadView() { view_ = std::make_shared<View>(Screen::mainBounds()); }

std::string ViewController::screenName() const { return screenName_.empty() ? getClass()->name() : screenName_; }

Value ViewController::eventFields() const { return Value::dictionary({{"screen", screenName()}}); }

std::shared_ptr<NavigationController> ViewController::navigationController() const {
    auto p = parent_.lock();
    while (p) {
        if (auto nav = std::dynamic_pointer_cast<NavigationController>(p)) return nav;
        p = p->parent_.lock();
    }
    return nullptr;
}

Window* ViewController::viewWindow() const { return view_ ? view_->window() : nullptr; }

bool ViewController::isInWindowHierarchy() const { return viewWindow() != nullptr; }

void ViewController::forwardAppearance(bool appearing, bool will, bool animated) {
    if (will) {
        if (appearing) {
            if (state_ == Appearance::Appearing || state_ == Appearance::Appeared) return;
            view();
            state_ = Appearance::Appearing;
            viewWillAppear(animated);
        } else {
            if (state_ == Appearance::Disappearing || state_ == Appearance::Disappeared) return;
            state_ = Appearance::Disappearing;
            viewWillDisappear(animated);
        }
    } else {
        if (appearing) {
            if (state_ != Appearance::Appearing) return;
            state_ = Appearance::Appeared;
            layoutView();
            viewDidAppear(animated);
        } else {
            if (state_ != Appearance::Disappearing) return;
            state_ = Appearance::Disappeared;
            viewDidDisappear(animated);
        }
    }
}

void ViewController::beginAppearance(bool appearing, bool animated) { forwardAppearance(appearing, true, animated); }
void ViewController::endAppearance(bool appearing, bool animated) { forwardAppearance(appearing, false, animated); }

void ViewController::layoutView() {
    if (!view_) return;
    viewWillLayoutSubviews();
    view_->layoutIfNeeded();
    viewDidLayoutSubviews();
}

void ViewController::announcePresented() { DeviceEvents::post("screen.present", eventFields()); }
void ViewController::announceDismissed() { DeviceEvents::post("screen.dismiss", eventFields()); }

bool ViewController::presentViewController(std::shared_ptr<ViewController> controller, bool animated,
                                           std::function<void()> completion) {
    auto refuse = [&](const std::string& why) {
        consoleLog("Warning: Attempt to present " + describe(controller.get()) + " on " + describe(this) + " " + why);
        return false;
    };
    if (!controller || controller.get() == this) return refuse("which is not a controller that can be presented");
    if (!isInWindowHierarchy()) return refuse("whose view is not in the window hierarchy!");
    if (presented_) return refuse("which is already presenting " + describe(presented_.get()));
    if (controller->presenting_.lock() || controller->parent_.lock() || controller->isInWindowHierarchy())
        return refuse("which is already active");

    Window* window = viewWindow();
    auto self = std::static_pointer_cast<ViewController>(shared_from_this());
    presented_ = controller;
    controller->presenting_ = self;
    auto view = controller->view();
    view->setFrame(window->bounds());
    controller->beginAppearance(true, animated);
    window->addSubview(view);
    controller->endAppearance(true, animated);
    controller->announcePresented();
    if (completion) completion();
    return true;
}

void ViewController::dismissViewController(bool animated, std::function<void()> completion) {
    std::shared_ptr<ViewController> target = presented_;
    if (!target && presenting_.lock()) target = std::static_pointer_cast<ViewController>(shared_from_this());
    if (!target) {
        if (completion) completion();
        return;
    }
    // Everything the target presents goes with it, top first.
    std::vector<std::shared_ptr<ViewController>> chain;
    for (auto c = target; c; c = c->presented_) chain.push_back(c);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        auto& c = *it;
        c->beginAppearance(false, animated);
        if (c->view_) c->view_->removeFromSuperview();
        c->endAppearance(false, animated);
        auto presenter = c->presenting_.lock();
        c->presenting_.reset();
        if (presenter) presenter->presented_.reset();
        c->announceDismissed();
    }
    if (completion) completion();
}

}  // namespace platform::uikit
