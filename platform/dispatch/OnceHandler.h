#pragma once
// OnceHandler: a completion handler that runs at most once, however many threads call it and however
// often. Copies share one state. What happens to a call after the first, and to a handler destroyed
// without having been called, depends on the policy:
// - IgnoreExtraCalls: later calls are dropped quietly; nothing is reported.
// - ReportFaults: a later call is dropped and posts DeviceEvents "fault"
//   {kind:"completion-called-twice", name}; the last copy destroyed uncalled posts
//   {kind:"completion-not-called", name}.
// - ReportFaultsAndPending: as ReportFaults, and while uncalled the handler counts in
//   pendingOnceHandlerCount(), which the host checks once the main loop is idle.
// Thread-safe. The wrapped handler runs on the calling thread and is released after it ran.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace platform::dispatch {

enum class OnceHandlerPolicy { IgnoreExtraCalls, ReportFaults, ReportFaultsAndPending };

namespace detail {
class OnceState {
public:
    // The name is kept only under a policy that may report it.
    OnceState(std::string_view name, OnceHandlerPolicy policy);
    ~OnceState();
    OnceState(const OnceState&) = delete;
    OnceState& operator=(const OnceState&) = delete;
    // True for the first call only; a later one is reported as the policy says.
    bool enter();

private:
    std::string name_;
    OnceHandlerPolicy policy_;
    std::atomic<bool> called_{false};
    uint64_t id_ = 0;  // in the pending list, for ReportFaultsAndPending
};
}  // namespace detail

template <class... Args>
class OnceHandler {
public:
    OnceHandler(std::string_view name, std::function<void(Args...)> handler,
                OnceHandlerPolicy policy = OnceHandlerPolicy::ReportFaults)
        : state_(std::make_shared<State>(name, policy, std::move(handler))) {}

    void operator()(Args... args) const {
        if (!state_->once.enter()) return;
        // Only the first caller gets here, so the handler is never touched by two threads.
        auto handler = std::move(state_->handler);
        state_->handler = nullptr;
        if (handler) handler(std::move(args)...);
    }

private:
    struct State {
        State(std::string_view name, OnceHandlerPolicy policy, std::function<void(Args...)> h)
            : once(name, policy), handler(std::move(h)) {}
        detail::OnceState once;
        std::function<void(Args...)> handler;
    };
    std::shared_ptr<State> state_;
};

// Handlers under ReportFaultsAndPending that are alive and still uncalled.
size_t pendingOnceHandlerCount();
// Posts a "completion-pending" fault for each pending handler not reported before; answers how many.
size_t reportPendingOnceHandlers();
// Faults reported so far by every OnceHandler (double calls, handlers never called, pending ones).
size_t onceHandlerFaultCount();

}  // namespace platform::dispatch
