#pragma once
// View: a node of the view tree (runtime class "UIView"). Views are plain C++ objects with virtual
// hooks; the runtime class only lets code ask isKindOfClass and hold them as ObjectHandles.
//
// Main thread only (not synchronised). A view owns its subviews (strong) and knows its superview
// weakly. A view with an eventName() posts DeviceEvents "view" {name, hidden} whenever its hidden
// flag changes, so the host can show what the user sees.
#include <memory>
#include <string>
#include <vector>

#include "platform/uikit/Geometry.h"
#include "platform/uikit/Responder.h"

namespace platform::uikit {

class Window;

// Autoresizing mask bits.
enum AutoresizingMask : unsigned {
    AutoresizingNone = 0,
    FlexibleLeftMargin = 1,
    FlexibleWidth = 2,
    FlexibleRightMargin = 4,
    FlexibleTopMargin = 8,
    FlexibleHeight = 16,
    FlexibleBottomMargin = 32,
};

class View : public Responder {
public:
    // cls null: "UIView".
    explicit View(objc::Class* cls = nullptr);
    View(Rect frame, objc::Class* cls = nullptr);
    ~View() override;

    Rect frame() const { return frame_; }
    void setFrame(Rect frame);
    Rect bounds() const { return Rect(0, 0, frame_.size.width, frame_.size.height); }

    bool isHidden() const { return hidden_; }
    void setHidden(bool hidden);

    unsigned autoresizingMask() const { return autoresizingMask_; }
    void setAutoresizingMask(unsigned mask) { autoresizingMask_ = mask; }
    int tag() const { return tag_; }
    void setTag(int tag) { tag_ = tag; }

    // A name for the host's "view" events; empty (the default) posts nothing.
    const std::string& eventName() const { return eventName_; }
    void setEventName(std::string name) { eventName_ = std::move(name); }

    // --- hierarchy ---
    const std::vector<std::shared_ptr<View>>& subviews() const { return subviews_; }
    std::shared_ptr<View> superview() const { return superview_.lock(); }
    // The window at the root of this view's superview chain, or null.
    Window* window();
    // Appends as the front-most subview, first removing the view from its old superview.
    // Adding a view to itself or to one of its own subviews is refused (no effect).
    void addSubview(const std::shared_ptr<View>& view);
    void insertSubviewAtIndex(const std::shared_ptr<View>& view, size_t index);
    void removeFromSuperview();
    void bringSubviewToFront(const std::shared_ptr<View>& view);
    bool isDescendantOfView(const View* view) const;

    // Layout: layoutIfNeeded() calls layoutSubviews() once per setNeedsLayout().
    void setNeedsLayout() { needsLayout_ = true; }
    void layoutIfNeeded();
    virtual void layoutSubviews();

protected:
    virtual void didMoveToSuperview() {}
    virtual void didMoveToWindow() {}
    virtual void hiddenDidChange() {}

private:
    void notifyMovedToWindow();

    Rect frame_;
    bool hidden_ = false;
    unsigned autoresizingMask_ = 0;
    int tag_ = 0;
    bool needsLayout_ = true;
    std::string eventName_;
    std::vector<std::shared_ptr<View>> subviews_;
    std::weak_ptr<View> superview_;
};

// A view with a content offset; the web view's scroll view, and the holder of refresh controls.
class ScrollView : public View {
public:
    using View::View;
    Point contentOffset() const { return contentOffset_; }
    void setContentOffset(Point p) { contentOffset_ = p; }
    Size contentSize() const { return contentSize_; }
    void setContentSize(Size s) { contentSize_ = s; }

private:
    Point contentOffset_;
    Size contentSize_;
};

class Label : public View {
public:
    using View::View;
    const std::string& text() const { return text_; }
    void setText(std::string text) { text_ = std::move(text); }

private:
    std::string text_;
};

// A spinner. With hidesWhenStopped (the default) it is hidden exactly while it is not animating.
class ActivityIndicatorView : public View {
public:
    // Made stopped, hence hidden (quietly: it has no event name yet).
    explicit ActivityIndicatorView(objc::Class* cls = nullptr);
    explicit ActivityIndicatorView(Rect frame, objc::Class* cls = nullptr);
    void startAnimating();
    void stopAnimating();
    bool isAnimating() const { return animating_; }
    bool hidesWhenStopped() const { return hidesWhenStopped_; }
    void setHidesWhenStopped(bool hides);

private:
    bool animating_ = false;
    bool hidesWhenStopped_ = true;
};

}  // namespace platform::uikit
