#pragma once
// VirtualDisplay: an X server of the host's own (Xvfb) for the web engine when the machine has no display,
// so the real engine runs the same on a desktop, a server and CI.
//
// startIfNeeded() starts Xvfb on a free display (Xvfb picks it and says which through -displayfd, which it
// writes once it accepts clients), listening on its local socket only (-nolisten tcp), with one
// 1280x1024x24 screen, and sets DISPLAY for this process. It waits for the server at most
// kReadyTimeoutMs. Xvfb is started with the parent-death signal set, so it also ends when the host dies
// without running destructors (a crash).
//
// The destructor ends Xvfb by its process id (SIGTERM, SIGKILL if it has not gone within
// kStopTimeoutMs), reaps it, and unsets DISPLAY when it still names this display.
//
// Main thread, early: DISPLAY is set with setenv, which must not race other threads reading the
// environment, and the parent-death signal follows the thread that started Xvfb.
#include <sys/types.h>

#include <memory>
#include <string>

namespace tesmar_host {

class VirtualDisplay {
public:
    static constexpr int kReadyTimeoutMs = 15000;
    static constexpr int kStopTimeoutMs = 5000;

    // nullptr with `error` empty when DISPLAY is set already (the machine's own display is used);
    // nullptr with `error` saying why when Xvfb is missing, fails or is not ready in time.
    static std::unique_ptr<VirtualDisplay> startIfNeeded(std::string* error);
    // True when a display is there already or Xvfb can be found to start one.
    static bool available();
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // ":<n>", the value DISPLAY was given.
    const std::string& display() const { return display_; }
    pid_t pid() const { return pid_; }

private:
    VirtualDisplay(pid_t pid, std::string display) : pid_(pid), display_(std::move(display)) {}

    pid_t pid_;
    std::string display_;
};

}  // namespace tesmar_host
