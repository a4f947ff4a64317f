#include "platform/uikit/View.h"

#include <algorithm>

#include "platform/foundation/DeviceEvents.h"
#include "platform/uikit/Classes.h"
#include "platform/uikit/Window.h"

namespace platform::uikit {

View::View(objc::Class* cls) : Responder(cls ? cls : viewClass()) {}
View::View(Rect frame, objc::Class* cls) : Responder(cls ? cls : viewClass()), frame_(frame) {}
View::~View() = default;

void View::setFrame(Rect frame) {
    if (frame == frame_) return;
    frame_ = frame;
    needsLayout_ = true;
}

void View::setHidden(bool hidden) {
    if (hidden == hidden_) return;
    hidden_ = hidden;
    if (!eventName_.empty()) DeviceEvents::post("view", Value::dictionary({{"name", eventName_}, {"hidden", hidden}}));
    hiddenDidChange();
}

Window* View::window() {
    View* v = this;
    while (v) {
        if (auto* w = dynamic_cast<Window*>(v)) return w;
        auto super = v->superview_.lock();
        v = super.get();
    }
    return nullptr;
}

bool View::isDescendantOfView(const View* view) const {
    if (!view) return false;
    const View* v = this;
    std::shared_ptr<View> keep;
    while (v) {
        if (v == view) return true;
        keep = v->superview_.lock();
        v = keep.get();
    }
    return false;
}

void View::addSubview(const std::shared_ptr<View>& view) { insertSubviewAtIndex(view, subviews_.size()); }

void View::insertSubviewAtIndex(const std::shared_ptr<View>& view, size_t index) {
    if (!view || isDescendantOfView(view.get())) return;  // a cycle would leak and loop forever
    auto keep = view;
    auto old = view->superview();
    if (old) {
        auto& subs = old->subviews_;
        subs.erase(std::remove(subs.begin(), subs.end(), view), subs.end());
    }
    index = std::min(index, subviews_.size());
    subviews_.insert(subviews_.begin() + long(index), view);
    view->superview_ = std::static_pointer_cast<View>(shared_from_this());
    view->didMoveToSuperview();
    view->notifyMovedToWindow();
    needsLayout_ = true;
}

void View::removeFromSuperview() {
    auto old = superview();
    if (!old) return;
    auto self = std::static_pointer_cast<View>(shared_from_this());
    auto& subs = old->subviews_;
    subs.erase(std::remove(subs.begin(), subs.end(), self), subs.end());
    superview_.reset();
    didMoveToSuperview();
    notifyMovedToWindow();
}

void View::bringSubviewToFront(const std::shared_ptr<View>& view) {
    auto it = std::find(subviews_.begin(), subviews_.end(), view);
    if (it == subviews_.end()) return;
    std::rotate(it, it + 1, subviews_.end());
}

void View::layoutIfNeeded() {
    if (needsLayout_) {
        needsLayout_ = false;
        layoutSubviews();
    }
    auto subs = subviews_;
    for (auto& s : subs) s->layoutIfNeeded();
}

void View::layoutSubviews() {}

void View::notifyMovedToWindow() {
    didMoveToWindow();
    auto subs = subviews_;
    for (auto& s : subs) s->notifyMovedToWindow();
}

ActivityIndicatorView::ActivityIndicatorView(objc::Class* cls) : View(cls) { setHidden(hidesWhenStopped_); }
ActivityIndicatorView::ActivityIndicatorView(Rect frame, objc::Class* cls) : View(frame, cls) {
    setHidden(hidesWhenStopped_);
}

void ActivityIndicatorView::startAnimating() {
    animating_ = true;
    if (hidesWhenStopped_) setHidden(false);
}

void ActivityIndicatorView::stopAnimating() {
    animating_ = false;
    if (hidesWhenStopped_) setHidden(true);
}

void ActivityIndicatorView::setHidesWhenStopped(bool hides) {
    hidesWhenStopped_ = hides;
    if (hides && !animating_) setHidden(true);
}

}  // namespace platform::uikit
