#pragma once
// Decision and panel handlers the web view hands out must be called exactly once. exactlyOnce()
// wraps one: the first call goes through; a second is not forwarded and posts DeviceEvents
// "fault" {what, kind:"completion-called-twice"}; a handler dropped uncalled posts
// {what, kind:"completion-not-called"}. `pending`, when given, counts live uncalled handlers
// (decremented by the first call only). Thread-safe.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>

namespace platform::webkit::webkit_detail {

class OnceState {
public:
    OnceState(std::string what, std::shared_ptr<std::atomic<long>> pending);
    ~OnceState();
    // True for the first call only; later calls post the fault.
    bool enter();

private:
    std::string what_;
    std::shared_ptr<std::atomic<long>> pending_;
    std::atomic<bool> called_{false};
};

template <class... Args>
std::function<void(Args...)> exactlyOnce(std::string what, std::type_identity_t<std::function<void(Args...)>> handler,
                                         std::shared_ptr<std::atomic<long>> pending = nullptr) {
    auto state = std::make_shared<OnceState>(std::move(what), std::move(pending));
    return [state, handler = std::move(handler)](Args... args) {
        if (!state->enter()) return;
        if (handler) handler(std::move(args)...);
    };
}

}  // namespace platform::webkit::webkit_detail
