#pragma once
// NotificationCenter: in-process broadcast of named notifications.
//
// post() delivers synchronously on the posting thread, to the observers registered when the post began,
// in registration order. Observers may post, add and remove observers from inside a block: the list is
// copied for each post, and an observer removed (on any thread) before its turn is not called. A block
// already running when another thread removes its observer may finish. Exceptions from a block reach
// the poster and end that delivery. Every member is safe from any thread.
//
// The sender is an opaque identity (`const void*`): compared, never dereferenced.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"

namespace platform {

struct Notification {
    std::string name;
    const void* object = nullptr;  // the sender, or nullptr
    Value userInfo;                // a dictionary, or null
};

class NotificationCenter {
    struct State;

public:
    using Block = std::function<void(const Notification&)>;

    // Removes its observer when destroyed (or on remove()). Move-only; outliving the center is harmless.
    class ObserverToken {
    public:
        ObserverToken() = default;
        ObserverToken(ObserverToken&& other) noexcept;
        ObserverToken& operator=(ObserverToken&& other) noexcept;
        ObserverToken(const ObserverToken&) = delete;
        ObserverToken& operator=(const ObserverToken&) = delete;
        ~ObserverToken() { remove(); }

        void remove();
        bool active() const { return id_ != 0; }
        uint64_t id() const { return id_; }

    private:
        friend class NotificationCenter;
        ObserverToken(std::weak_ptr<State> state, uint64_t id) : state_(std::move(state)), id_(id) {}
        std::weak_ptr<State> state_;
        uint64_t id_ = 0;
    };

    static NotificationCenter& defaultCenter();

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // `name` nullopt: every name. `object` nullptr: any sender.
    [[nodiscard]] ObserverToken addObserver(std::optional<std::string> name, const void* object, Block block);
    // Same as token.remove().
    void removeObserver(ObserverToken& token);

    void post(const Notification& notification);
    void postNotificationName(std::string name, const void* object = nullptr, Value userInfo = Value());

    size_t observerCount() const;

private:
    std::shared_ptr<State> state_;
};

}  // namespace platform
