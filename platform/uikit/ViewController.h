#pragma once
// ViewController: one screen (runtime class "UIViewController"; the app registers subclasses with
// uikit::subclass and passes them to the constructor). Main thread only.
//
// Life cycle, as the device runs it:
// - view() loads the view on first access: loadView() (default: a plain View the size of the
//   screen), then viewDidLoad().
// - When the controller's view enters / leaves a visible window (window root, navigation push/pop,
//   presentation): viewWillAppear, viewWillLayoutSubviews, viewDidLayoutSubviews, viewDidAppear /
//   viewWillDisappear, viewDidDisappear. Transitions are immediate: "animated" is passed through.
//
// Ownership: a window holds its root, a navigation controller its stack, a presenter the controller
// it presents (strong); back-pointers (navigationController, presentingViewController, storyboard)
// are weak.
//
// Presentation is refused (a "Warning: Attempt to present ..." console line, no effect, completion
// not called) when the presenter's view is not in a window, when it already presents another
// controller, or when the controller to present is already presented or inside a navigation stack.
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/Value.h"
#include "platform/uikit/Responder.h"
#include "platform/uikit/View.h"

namespace platform::uikit {

class NavigationController;
class Storyboard;
class Window;

class ViewController : public Responder {
public:
    // cls null: "UIViewController".
    explicit ViewController(objc::Class* cls = nullptr);
    ~ViewController() override;

    // Loads the view when needed (see above).
    std::shared_ptr<View> view();
    bool isViewLoaded() const { return view_ != nullptr; }
    // Replaces the view (an outlet connection of a scene); does not call viewDidLoad.
    void setView(std::shared_ptr<View> view);

    const std::string& title() const { return title_; }
    virtual void setTitle(std::string title) { title_ = std::move(title); }

    // The screen's name in host events: the runtime class name unless set.
    std::string screenName() const;
    void setScreenName(std::string name) { screenName_ = std::move(name); }
    // Fields of the "screen.*" events about this controller; by default {"screen": screenName()}.
    // Screens that show a page add {"url": ...}.
    virtual Value eventFields() const;

    // --- containment ---
    std::shared_ptr<NavigationController> navigationController() const;
    std::shared_ptr<ViewController> parentViewController() const { return parent_.lock(); }
    std::shared_ptr<Storyboard> storyboard() const { return storyboard_.lock(); }
    // The window holding this controller's view, or null.
    Window* viewWindow() const;
    // The view is loaded and inside a window.
    bool isInWindowHierarchy() const;

    // --- presentation ---
    std::shared_ptr<ViewController> presentedViewController() const { return presented_; }
    std::shared_ptr<ViewController> presentingViewController() const { return presenting_.lock(); }
    // Answers whether the presentation happened; completion runs after viewDidAppear.
    bool presentViewController(std::shared_ptr<ViewController> controller, bool animated,
                               std::function<void()> completion = {});
    // Dismisses the controller this one presents, or, with none, this one from its presenter.
    // Completion runs after the dismissal (also when there was nothing to dismiss).
    void dismissViewController(bool animated, std::function<void()> completion = {});

    // --- life cycle hooks (call the base when overriding) ---
    virtual void loadView();
    virtual void viewDidLoad() {}
    virtual void viewWillAppear(bool animated) {}
    virtual void viewDidAppear(bool animated) {}
    virtual void viewWillDisappear(bool animated) {}
    virtual void viewDidDisappear(bool animated) {}
    virtual void viewWillLayoutSubviews() {}
    virtual void viewDidLayoutSubviews() {}

protected:
    // Posted when this controller is presented; alert controllers announce themselves instead.
    virtual void announcePresented();
    virtual void announceDismissed();

private:
    friend class NavigationController;
    friend class Window;
    friend class Storyboard;

    void beginAppearance(bool appearing, bool animated);
    void endAppearance(bool appearing, bool animated);
    void layoutView();
    // One appearance step for this controller (containers pass it on to their visible child).
    // Repeated steps are ignored, so a controller never hears viewWillAppear twice in a row.
    virtual void forwardAppearance(bool appearing, bool will, bool animated);

    std::shared_ptr<View> view_;
    std::string title_;
    std::string screenName_;
    std::weak_ptr<ViewController> parent_;
    std::weak_ptr<Storyboard> storyboard_;
    std::shared_ptr<ViewController> presented_;
    std::weak_ptr<ViewController> presenting_;
    bool loading_ = false;
    enum class Appearance { Disappeared, Appearing, Appeared, Disappearing };
    Appearance state_ = Appearance::Disappeared;
};

}  // namespace platform::uikit
