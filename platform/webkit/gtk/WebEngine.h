#pragma once
// The real web engine behind the platform's web views: WebKitGTK, chosen at boot. Once started, every
// WebView and LegacyWebView made afterwards runs its page in the engine (scripts, drawing, the
// engine's own network stack), and the delegates hear the engine's own signals. Web views made before
// keep the headless engine.
//
// The engine shares the main thread: its GLib main loop runs inside the platform MainLoop while that
// waits for work. Its network goes through a loopback proxy that maps hosts as PlatformConfig's
// connectTo does, and that the pages answer with the proxy's credential; certificates are trusted only when they chain
// to a PEM of PlatformConfig::extraTrustedRootsPEM (or the system store). Cookies of the default website data store are
// the engine's. Needs a display (DISPLAY); the host starts one when none is set.
//
// Main thread only.
//
// The engine and its toolkit weigh ~180 libraries, so the host does not link this area: it is built as a
// loadable module (kModuleFileName) that the host opens only when the real engine is asked for, and
// reaches through the one table kModuleEntry answers. The module leaves the platform's symbols to the
// executable that loads it, so there is one MainLoop, PlatformConfig and cookie jar.
#include <optional>
#include <string>

namespace platform::webkit::gtk {

// Starts the engine once: the toolkit, the shared loop, the proxy, the engine's context. Call after
// PlatformConfig holds the device's settings. Answers why it cannot run, or nullopt when it runs.
std::optional<std::string> start();
bool isRunning();
// Ends every page and the engine's processes, and takes the shared loop back. Web views still alive
// answer as if their page had gone. Safe to call when not running.
void stop();
// The engine's version, "2.50.1".
std::string version();

// The module's entry: `extern "C" const ModuleTable* tesmar_webengine_module()`, the four calls above.
// abiVersion changes whenever the table does, so a stale module is refused rather than called.
struct ModuleTable {
    int abiVersion;
    std::optional<std::string> (*start)();
    bool (*isRunning)();
    void (*stop)();
    std::string (*version)();
};
inline constexpr int kModuleAbiVersion = 1;
inline constexpr const char* kModuleEntry = "tesmar_webengine_module";
inline constexpr const char* kModuleFileName = "libtesmar_webengine.so";

}  // namespace platform::webkit::gtk
