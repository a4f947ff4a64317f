#include <gtest/gtest.h>

#include "platform/uikit/tests/UIKitTestSupport.h"

namespace uikit_test {
namespace {

using Log = std::vector<std::string>;

class Screen : public ViewController {
public:
    Screen(Log* log, std::string name, std::string url = "") : log_(log), url_(std::move(url)) {
        setScreenName(std::move(name));
    }
    Value eventFields() const override {
        Value f = ViewController::eventFields();
        if (!url_.empty()) f.set("url", url_);
        return f;
    }
    void viewWillAppear(bool) override { note("willAppear"); }
    void viewDidAppear(bool) override { note("didAppear"); }
    void viewWillDisappear(bool) override { note("willDisappear"); }
    void viewDidDisappear(bool) override { note("didDisappear"); }

private:
    void note(const std::string& what) { log_->push_back(screenName() + "." + what); }
    Log* log_;
    std::string url_;
};

class ScreenTest : public UIKitTest {
protected:
    std::shared_ptr<Window> showInWindow(std::shared_ptr<ViewController> root) {
        auto window = std::make_shared<Window>();
        window->setRootViewController(std::move(root));
        window->makeKeyAndVisible();
        return window;
    }
    Log screenEvents() const {
        Log out;
        for (auto& e : recorded)
            if (e.name.rfind("screen.", 0) == 0)
                out.push_back(e.name + " " + e.fields["screen"].stringOr("") +
                              (e.fields.contains("url") ? " " + e.fields["url"].stringOr("") : ""));
        return out;
    }
};

TEST_F(ScreenTest, NavigationPushAndPopPostEventsAndRunTheLifeCycle) {
    Log log;
    auto a = std::make_shared<Screen>(&log, "A", "https://intranet.test/");
    auto nav = NavigationController::withRoot(a);
    auto window = showInWindow(nav);
    auto b = std::make_shared<Screen>(&log, "B", "https://intranet.test/b");
    auto c = std::make_shared<Screen>(&log, "C");
    nav->pushViewController(b, true);
    nav->pushViewController(c, true);
    EXPECT_EQ(b->navigationController(), nav);
    EXPECT_EQ(nav->topViewController(), c);
    EXPECT_FALSE(b->isInWindowHierarchy());
    EXPECT_TRUE(c->isInWindowHierarchy());

    nav->pushViewController(b, true);  // already in the stack: refused
    EXPECT_EQ(nav->viewControllers().size(), 3u);

    auto popped = nav->popToViewController(a, true);
    ASSERT_EQ(popped.size(), 2u);
    EXPECT_EQ(popped[0], b);
    EXPECT_EQ(nav->popViewController(true), nullptr);  // the bottom screen stays
    EXPECT_EQ(b->navigationController(), nullptr);

    // The root names the page its top screen shows.
    EXPECT_EQ(screenEvents(),
              Log({"screen.root UINavigationController https://intranet.test/", "screen.push B https://intranet.test/b",
                   "screen.push C", "screen.pop C", "screen.pop B https://intranet.test/b"}));
    EXPECT_EQ(log, Log({"A.willAppear", "A.didAppear", "A.willDisappear", "B.willAppear", "A.didDisappear",
                        "B.didAppear", "B.willDisappear", "C.willAppear", "B.didDisappear", "C.didAppear",
                        "C.willDisappear", "A.willAppear", "C.didDisappear", "A.didAppear"}));
}

TEST_F(ScreenTest, AScreenThatPopsItselfAsItsViewLoadsLeavesTheOneBelowShown) {
    struct Leaving : Screen {
        using Screen::Screen;
        void viewDidLoad() override {
            if (auto nav = navigationController()) nav->popViewController(true);
        }
    };
    Log log;
    auto a = std::make_shared<Screen>(&log, "A");
    auto nav = NavigationController::withRoot(a);
    auto window = showInWindow(nav);
    nav->pushViewController(std::make_shared<Leaving>(&log, "B"), true);
    EXPECT_EQ(nav->topViewController(), a);
    EXPECT_TRUE(a->isInWindowHierarchy());
    EXPECT_EQ(nav->view()->subviews().size(), 1u);
    EXPECT_EQ(screenEvents(), Log({"screen.root UINavigationController", "screen.push B", "screen.pop B"}));
    EXPECT_EQ(log, Log({"A.willAppear", "A.didAppear"}));  // A never left
}

TEST_F(ScreenTest, NavigationBarHiddenPostsOnChangeOnly) {
    auto nav = NavigationController::withRoot(std::make_shared<ViewController>());
    nav->setNavigationBarHidden(true, true);
    nav->setNavigationBarHidden(true, true);
    nav->setNavigationBarHidden(false, true);
    auto views = eventsNamed("view");
    ASSERT_EQ(views.size(), 2u);
    EXPECT_EQ(views[0].fields["name"], Value("navigation-bar"));
    EXPECT_EQ(views[0].fields["hidden"], Value(true));
    EXPECT_EQ(views[1].fields["hidden"], Value(false));
}

TEST_F(ScreenTest, PresentationIsRefusedOutsideAWindowOrWhilePresenting) {
    auto root = std::make_shared<ViewController>();
    auto window = showInWindow(root);
    auto offscreen = std::make_shared<ViewController>();
    auto first = std::make_shared<ViewController>();
    auto second = std::make_shared<ViewController>();

    struct Case {
        std::shared_ptr<ViewController> presenter, presented;
        bool succeeds;
    } cases[] = {
        {offscreen, second, false},                         // not in a window
        {root, first, true},        {root, second, false},  // already presenting
        {first, root, false},                               // the root is on screen already
        {first, second, true},                              // a presented controller may present in turn
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        bool completed = false;
        bool ok = cases[i].presenter->presentViewController(cases[i].presented, true, [&] { completed = true; });
        EXPECT_EQ(ok, cases[i].succeeds) << "case " << i;
        EXPECT_EQ(completed, cases[i].succeeds) << "case " << i;
    }
    EXPECT_EQ(root->presentedViewController(), first);
    EXPECT_EQ(second->presentingViewController(), first);
    EXPECT_EQ(window->topPresentedViewController(), second);

    // Dismissing from the root takes the whole chain away.
    root->dismissViewController(true);
    EXPECT_EQ(root->presentedViewController(), nullptr);
    EXPECT_EQ(second->presentingViewController(), nullptr);
    EXPECT_FALSE(second->isInWindowHierarchy());
}

TEST_F(ScreenTest, AlertActionTapDismissesThenRunsTheHandlerOnce) {
    auto root = std::make_shared<ViewController>();
    auto window = showInWindow(root);
    auto alert = AlertController::alertControllerWithTitle(std::nullopt, "Leave?", AlertControllerStyle::Alert);
    Log answers;
    std::weak_ptr<AlertController> weakAlert = alert;  // the alert owns its actions: no cycle through them
    for (const char* title : {"OK", "Cancel"})
        alert->addAction(
            AlertAction::make(title, AlertActionStyle::Default, [&answers, weakAlert](const AlertAction& a) {
                // The alert is gone before the handler runs.
                auto shown = weakAlert.lock();
                answers.push_back(a.title + (shown && shown->presentingViewController() ? " (still shown)" : ""));
            }));

    EXPECT_FALSE(alert->tapAction("OK"));  // not on screen yet
    ASSERT_TRUE(root->presentViewController(alert, true));
    auto shown = eventsNamed("alert.shown");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(shown[0].fields["title"].isNull());
    EXPECT_EQ(shown[0].fields["message"], Value("Leave?"));
    EXPECT_EQ(shown[0].fields["actions"], Value::array({"OK", "Cancel"}));
    EXPECT_TRUE(isAlertVisible());

    EXPECT_FALSE(tapAlertButton("Maybe"));
    EXPECT_TRUE(tapAlertButton("Cancel"));
    EXPECT_FALSE(tapAlertButton("OK"));  // gone
    EXPECT_EQ(answers, Log({"Cancel"}));
    EXPECT_FALSE(isAlertVisible());
    EXPECT_EQ(root->presentedViewController(), nullptr);
}

TEST_F(ScreenTest, AlertViewReportsButtonIndexesToItsDelegate) {
    Log heard;
    AlertViewDelegate delegate{[&](AlertView&, long i) { heard.push_back("clicked " + std::to_string(i)); },
                               [&](AlertView& v, long i) {
                                   heard.push_back("dismissed " + std::to_string(i) +
                                                   (v.isVisible() ? " visible" : ""));
                               }};
    auto view = std::make_shared<AlertView>("Title", "Body", delegate, "Close", std::vector<std::string>{"Open"});
    view->addButtonWithTitle("Later");
    std::weak_ptr<AlertView> weak = view;
    view->show();
    view.reset();  // a shown alert keeps itself alive
    ASSERT_FALSE(weak.expired());
    EXPECT_TRUE(tapAlertButton("Later"));
    EXPECT_EQ(heard, Log({"clicked 2", "dismissed 2"}));
    EXPECT_TRUE(weak.expired());
}

TEST_F(ScreenTest, StoryboardInstantiatesScenesByIdentifier) {
    Log log;
    Storyboard::registerStoryboard(
        "Main", {.initial = [&] { return NavigationController::withRoot(std::make_shared<Screen>(&log, "first")); },
                 .scenes = {{"ViewController", [&] { return std::make_shared<Screen>(&log, "scene"); }}}});
    auto board = Storyboard::named("Main");
    ASSERT_TRUE(board);
    EXPECT_EQ(Storyboard::named("Other"), nullptr);
    auto a = board->instantiateViewControllerWithIdentifier("ViewController");
    auto b = board->instantiateViewControllerWithIdentifier("ViewController");
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);  // a new controller each time
    EXPECT_EQ(a->screenName(), "scene");
    EXPECT_EQ(a->storyboard(), board);
    EXPECT_EQ(board->instantiateViewControllerWithIdentifier("Missing"), nullptr);
    auto initial = std::dynamic_pointer_cast<NavigationController>(board->instantiateInitialViewController());
    ASSERT_TRUE(initial);
    EXPECT_EQ(initial->topViewController()->screenName(), "first");
}

TEST_F(ScreenTest, ReplacingTheRootReleasesTheOldScreen) {
    Log log;
    auto first = std::make_shared<Screen>(&log, "first");
    std::weak_ptr<ViewController> weakFirst = first;
    auto window = showInWindow(first);
    first.reset();
    window->setRootViewController(std::make_shared<Screen>(&log, "second"));
    EXPECT_TRUE(weakFirst.expired());
    EXPECT_EQ(screenEvents(), Log({"screen.root first", "screen.root second"}));
    EXPECT_EQ(log, Log({"first.willAppear", "first.didAppear", "first.willDisappear", "second.willAppear",
                        "first.didDisappear", "second.didAppear"}));
}

TEST_F(ScreenTest, ViewsAndControls) {
    auto parent = std::make_shared<View>(Rect(0, 0, 100, 100));
    auto child = std::make_shared<View>();
    auto other = std::make_shared<View>();
    parent->addSubview(child);
    parent->addSubview(other);
    child->addSubview(parent);  // a cycle is refused
    EXPECT_EQ(parent->superview(), nullptr);
    parent->bringSubviewToFront(child);
    EXPECT_EQ(parent->subviews().back(), child);
    other->removeFromSuperview();
    EXPECT_EQ(parent->subviews().size(), 1u);

    auto spinner = std::make_shared<ActivityIndicatorView>();
    spinner->setEventName("spinner");
    spinner->startAnimating();
    spinner->stopAnimating();
    EXPECT_TRUE(spinner->isHidden());

    auto refresh = std::make_shared<RefreshControl>();
    int pulls = 0;
    refresh->addTarget([&](Control&) { ++pulls; }, ValueChanged);
    refresh->pull();
    refresh->pull();  // already refreshing
    EXPECT_EQ(pulls, 1);
    refresh->endRefreshing();
    refresh->pull();
    EXPECT_EQ(pulls, 2);

    auto button = std::make_shared<Button>();
    int taps = 0;
    button->addTarget([&](Control&) { ++taps; }, TouchUpInside);
    button->tap();
    button->setHidden(true);
    button->tap();
    EXPECT_EQ(taps, 1);

    auto views = eventsNamed("view");
    ASSERT_EQ(views.size(), 2u);
    EXPECT_EQ(views[0].fields["hidden"], Value(false));
    EXPECT_EQ(views[1].fields["hidden"], Value(true));
}

TEST_F(ScreenTest, StoppedSpinnerIsHiddenFromTheStartAndEachChangeIsOneEvent) {
    auto hidden = [&] {
        std::vector<bool> out;
        for (auto& e : eventsNamed("view"))
            if (e.fields["name"] == Value("spinner")) out.push_back(e.fields["hidden"].boolOr(false));
        return out;
    };
    auto spinner = std::make_shared<ActivityIndicatorView>(Rect(0, 0, 20, 20));
    EXPECT_TRUE(spinner->isHidden());
    EXPECT_FALSE(spinner->isAnimating());
    EXPECT_TRUE(std::make_shared<ActivityIndicatorView>()->isHidden());
    spinner->setEventName("spinner");
    spinner->stopAnimating();  // already stopped and hidden: nothing to show
    EXPECT_EQ(hidden(), std::vector<bool>{});
    spinner->startAnimating();
    spinner->startAnimating();
    EXPECT_FALSE(spinner->isHidden());
    spinner->stopAnimating();
    EXPECT_EQ(hidden(), (std::vector<bool>{false, true}));

    auto shown = std::make_shared<ActivityIndicatorView>();
    shown->setHidesWhenStopped(false);
    shown->setHidden(false);
    shown->setEventName("spinner");
    shown->startAnimating();
    shown->stopAnimating();
    EXPECT_FALSE(shown->isHidden()) << "without hidesWhenStopped a stopped spinner stays in view";
    EXPECT_EQ(hidden(), (std::vector<bool>{false, true}));
}

}  // namespace
}  // namespace uikit_test
