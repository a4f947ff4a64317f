#pragma once
// Completion handlers the system hands to app code must be called exactly once. tracked() wraps one
// so that the platform notices when it is not:
// - a second call is not forwarded; it posts DeviceEvents "fault" {kind:"completion-called-twice",
//   name} and counts a fault;
// - a handler destroyed without having been called posts "fault" {kind:"completion-not-called", name};
// - pendingCompletionCount() answers how many live handlers are still uncalled; the host checks it
//   after the main loop goes idle (reportPendingCompletions posts a fault for each, once).
// Thread-safe: handlers may be called on any thread.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>

namespace platform::uikit {

namespace detail {
class CompletionState {
public:
    explicit CompletionState(std::string name);
    ~CompletionState();
    // True for the first call only.
    bool enter();

private:
    std::string name_;
    std::atomic<bool> called_{false};
    uint64_t id_;
};
}  // namespace detail

template <class... Args>
std::function<void(Args...)> tracked(std::string name, std::type_identity_t<std::function<void(Args...)>> handler) {
    auto state = std::make_shared<detail::CompletionState>(std::move(name));
    return [state, handler = std::move(handler)](Args... args) {
        if (!state->enter()) return;
        if (handler) handler(std::move(args)...);
    };
}

size_t pendingCompletionCount();
// Posts a "completion-pending" fault for each uncalled handler not reported before; answers how many.
size_t reportPendingCompletions();
// Faults seen so far (double calls, dropped and pending handlers).
size_t completionFaultCount();

}  // namespace platform::uikit
