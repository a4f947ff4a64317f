#pragma once
// VezEduduzDialogController: one queue for all of the push client's two-button dialogs (prompts, visual
// log lines). One dialog is on screen at a time, in the order requested; each completion runs 0.25 s
// (shared Clock) after its dialog closes, with true only for the action button.
//
// A dialog that cannot be shown (no key window or root screen, presentation refused) completes with
// false at once, so the queue never stalls behind it.
//
// Threads: presentDialog may be called from any thread (it hops to the main loop); everything else,
// completions included, runs on the main loop.
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch/MainLoop.h"
#include "platform/foundation/URL.h"

namespace vezeduduz {

struct VEDialogRequest {
    std::string title;
    std::string message;
    std::optional<std::string> actionTitle;
    std::string cancelTitle;
    std::function<void(bool)> completion;  // may be empty
};

class VezEduduzDialogController {
public:
    static VezEduduzDialogController& sharedInstance();

    void presentDialogWithTitle(std::string title, std::string message, std::optional<std::string> actionTitle,
                                std::string cancelTitle, std::function<void(bool)> completion);
    // A presenter in the shape the facade and the helper take (an empty action title means none).
    std::function<void(const std::string&, const std::string&, const std::string&, const std::string&,
                       std::function<void(bool)>)>
    presenter();

    size_t queuedCount() const;  // main loop

private:
    VezEduduzDialogController() = default;
    void displayDialog(const VEDialogRequest& request) REQUIRES(platform::dispatch::mainThread);
    void delayResult(bool result);

    std::deque<VEDialogRequest> queue_ GUARDED_BY(platform::dispatch::mainThread);  // front is on screen
    // A dialog that cannot be shown is said once until one shows or the queue empties: with visual
    // logging, saying it queues a dialog of its own, which could not be shown either.
    bool unshownSaid_ GUARDED_BY(platform::dispatch::mainThread) = false;
};

// The value of the first query item named exactly `name`; nullopt when there is none or it has no value.
std::optional<std::string> valueFromQueryParameter(const platform::URL& url, const std::string& name);

}  // namespace vezeduduz
