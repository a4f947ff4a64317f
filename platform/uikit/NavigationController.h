#pragma once
// NavigationController: a stack of screens, bottom first (runtime class "UINavigationController").
// Main thread only. Pushes and pops are immediate; while the controller is in a visible window the
// screens entering and leaving get their appearance calls. Every push posts DeviceEvents
// "screen.push" and every popped screen "screen.pop", with the screen's eventFields().
#include <memory>
#include <vector>

#include "platform/uikit/ViewController.h"

namespace platform::uikit {

class NavigationController : public ViewController {
public:
    explicit NavigationController(objc::Class* cls = nullptr);
    // The usual way: make_shared, then setViewControllers / push the root.
    static std::shared_ptr<NavigationController> withRoot(std::shared_ptr<ViewController> root);

    const std::vector<std::shared_ptr<ViewController>>& viewControllers() const { return stack_; }
    // Replaces the stack without push/pop events (the initial stack of a scene).
    void setViewControllers(std::vector<std::shared_ptr<ViewController>> controllers, bool animated = false);
    std::shared_ptr<ViewController> topViewController() const;

    // A controller already in a stack (this or another) or presented is refused (a console warning).
    void pushViewController(std::shared_ptr<ViewController> controller, bool animated);
    // The popped controller; null on the bottom screen (nothing happens).
    std::shared_ptr<ViewController> popViewController(bool animated);
    // Empty (and nothing happens) when `controller` is not in the stack.
    std::vector<std::shared_ptr<ViewController>> popToViewController(const std::shared_ptr<ViewController>& controller,
                                                                     bool animated);

    // Posts "view" {name:"navigation-bar", hidden} when the value changes.
    bool isNavigationBarHidden() const { return barHidden_; }
    void setNavigationBarHidden(bool hidden, bool animated = false);

    // {"screen", and the top screen's "url" when it names one}: a window's root shows its top's page.
    Value eventFields() const override;
    void loadView() override;
    void viewDidLayoutSubviews() override;

private:
    void forwardAppearance(bool appearing, bool will, bool animated) override;
    void adopt(const std::shared_ptr<ViewController>& controller);
    // Puts the top's view in place of the one shown, with the appearance calls.
    void showTop(bool animated);
    std::vector<std::shared_ptr<ViewController>> popTo(size_t keep, bool animated);

    std::vector<std::shared_ptr<ViewController>> stack_;
    std::shared_ptr<ViewController> shown_;  // whose view this view holds: the top once showTop is done
    bool barHidden_ = false;
};

}  // namespace platform::uikit
