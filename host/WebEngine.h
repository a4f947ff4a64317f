#pragma once
// The host's side of the web engine choice (--web-engine): the real engine needs a display, which the
// host starts itself (Xvfb) when none is set, and ends by process id when the run ends.
#include <memory>
#include <optional>
#include <string>

namespace platform::uikit {
class View;
}
namespace platform::webkit {
class WebView;
struct FormFill;
}  // namespace platform::webkit

namespace tesmar_host {

inline constexpr const char* kWebEngineHeadless = "headless";
inline constexpr const char* kWebEngineReal = "real";

// Starts the real engine (and a display for it when needed); posts "web-engine" {engine, version,
// display}. Call after the platform settings are in place. An error message when it cannot run.
std::optional<std::string> startRealWebEngine();
// Ends the engine's pages and processes, then the display the host started. Safe when not started.
void stopRealWebEngine();
// Whether this machine can run the real engine: a display is set or Xvfb is installed.
bool realWebEngineAvailable();

// Writes a PNG of `webView` to `path` once its next frame is drawn, waiting on the main loop for at
// most `timeoutSeconds`; posts "snapshot" {file, bytes, width, height, blank}. An error message when it could not.
std::optional<std::string> writeSnapshot(platform::webkit::WebView& webView, const std::string& path,
                                         double timeoutSeconds);

// The user fills in and submits a form of the page `webView` shows (a WebView or LegacyWebView), as
// `submit` does, waiting on the main loop at most `timeoutSeconds` for the page to take it (the headless
// engine's reader gets its own limit at least). An error message
// when nothing was submitted (no page, form, field or choice; a field the real engine finds invalid).
std::optional<std::string> submitForm(platform::uikit::View& webView, const platform::webkit::FormFill& fill,
                                      double timeoutSeconds);

}  // namespace tesmar_host
