#pragma once
// DeviceEvents: what a person holding the device could observe (screens, pages, alerts, URLs handed to
// other apps, requests made, console lines), posted by the platform layer as it happens. The host prints
// them as JSON lines; tests listen to assert on them. Listeners run synchronously on the posting thread,
// in registration order; a listener must not block.
#include <functional>
#include <string>

#include "platform/foundation/Value.h"

namespace platform {

class DeviceEvents {
public:
    using Listener = std::function<void(const std::string& event, const Value& fields)>;

    // Posts an event; `fields` is a dictionary (the "event" name is added by listeners that print).
    static void post(const std::string& event, Value fields = Value::dictionary());
    // Whether anyone listens now: a poster on a busy path can skip building an event nobody sees.
    static bool hasListeners();

    // RAII registration: the listener is removed when the token is destroyed. Removal waits for calls of
    // the listener still running on other threads, so what the listener captured may go right after
    // (a call running on the removing thread itself is not waited for).
    class Token {
    public:
        Token() = default;
        explicit Token(int id) : id_(id) {}
        Token(Token&& other) noexcept : id_(other.id_) { other.id_ = 0; }
        Token& operator=(Token&& other) noexcept;
        Token(const Token&) = delete;
        Token& operator=(const Token&) = delete;
        ~Token();

    private:
        int id_ = 0;
    };
    [[nodiscard]] static Token addListener(Listener listener);
};

// The app's console: writes the line to stderr and posts a "console" event with {"text": line}.
void consoleLog(const std::string& line);

}  // namespace platform
