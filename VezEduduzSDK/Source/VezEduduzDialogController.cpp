#include "VezEduduzSDK/Source/VezEduduzDialogController.h"

#include "VezEduduzSDK/Source/VELogLevel.h"
#include "VezEduduzSDK/Source/VezEduduzHelper.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/uikit/AlertController.h"
#include "platform/uikit/AlertView.h"
#include "platform/uikit/Application.h"
#include "platform/uikit/Window.h"

namespace vezeduduz {

using platform::dispatch::MainLoop;
using platform::dispatch::mainThread;
namespace ui = platform::uikit;

VezEduduzDialogController& VezEduduzDialogController::sharedInstance() {
    static VezEduduzDialogController* instance = new VezEduduzDialogController;
    return *instance;
}

void VezEduduzDialogController::presentDialogWithTitle(std::string title, std::string message,
                                                       std::optional<std::string> actionTitle, std::string cancelTitle,
                                                       std::function<void(bool)> completion) {
    VEDialogRequest request{std::move(title), std::move(message), std::move(actionTitle), std::move(cancelTitle),
                            std::move(completion)};
    MainLoop::shared().post([this, request = std::move(request)]() mutable {
        mainThread.assertOnThread();
        queue_.push_back(std::move(request));
        if (queue_.size() < 2) displayDialog(queue_.front());
    });
}

std::function<void(const std::string&, const std::string&, const std::string&, const std::string&,
                   std::function<void(bool)>)>
VezEduduzDialogController::presenter() {
    return [this](const std::string& title, const std::string& message, const std::string& actionTitle,
                  const std::string& cancelTitle, std::function<void(bool)> completion) {
        presentDialogWithTitle(title, message, actionTitle.empty() ? std::nullopt : std::optional(actionTitle),
                               cancelTitle, std::move(completion));
    };
}

size_t VezEduduzDialogController::queuedCount() const {
    mainThread.assertOnThread();
    return queue_.size();
}

void VezEduduzDialogController::displayDialog(const VEDialogRequest& request) {
    if (!VezEduduzHelper::isIOSVersionGreaterOrEqual(8.0f)) {
        ui::AlertViewDelegate delegate;
        delegate.didDismissWithButtonIndex = [this](ui::AlertView&, long index) { delayResult(index > 0); };
        std::vector<std::string> others;
        if (request.actionTitle) others.push_back(*request.actionTitle);
        auto alert = std::make_shared<ui::AlertView>(request.title, request.message, std::move(delegate),
                                                     request.cancelTitle, std::move(others));
        alert->show();
        return;
    }
    auto alert =
        ui::AlertController::alertControllerWithTitle(request.title, request.message, ui::AlertControllerStyle::Alert);
    alert->addAction(ui::AlertAction::make(request.cancelTitle, ui::AlertActionStyle::Cancel,
                                           [this](const ui::AlertAction&) { delayResult(false); }));
    if (request.actionTitle)
        alert->addAction(ui::AlertAction::make(*request.actionTitle, ui::AlertActionStyle::Default,
                                               [this](const ui::AlertAction&) { delayResult(true); }));
    auto app = ui::Application::shared();
    auto window = app ? app->keyWindow() : nullptr;
    auto root = window ? window->rootViewController() : nullptr;
    if (root && root->presentViewController(alert, true)) {
        unshownSaid_ = false;
        return;
    }
    if (!unshownSaid_) {
        unshownSaid_ = true;
        VezEduduzLogSink::log(VELogLevel::error,
                              "Cannot show the dialog \"" + request.title + "\": no screen to present it");
    }
    delayResult(false);
}

void VezEduduzDialogController::delayResult(bool result) {
    MainLoop::shared().postAfter(0.25, [this, result] {
        mainThread.assertOnThread();
        if (queue_.empty()) return;
        VEDialogRequest done = std::move(queue_.front());
        queue_.pop_front();
        if (queue_.empty())
            unshownSaid_ = false;
        else
            displayDialog(queue_.front());
        if (done.completion) done.completion(result);
    });
}

std::optional<std::string> valueFromQueryParameter(const platform::URL& url, const std::string& name) {
    auto components = platform::URLComponents::fromURL(url, false);
    if (!components) return std::nullopt;
    auto items = components->queryItems();
    if (!items) return std::nullopt;
    for (const auto& item : *items)
        if (item.name == name) return item.value;
    return std::nullopt;
}

}  // namespace vezeduduz
