#pragma once
// The host's own small app, run until the real shell takes over: a window whose root is a navigation
// controller around one web screen that loads the start URL. It follows the view-naming contract of
// Device.h ("web-view", "spinner", "refresh-control", "connection-lost", "reload-button"), answers
// the page's alert and confirm with alert controllers, pushes a new web screen for window.open and
// pops it for window.close, hands links to other hosts and schemes to the system, and shows
// notifications while active. Main thread only.
#include <string>

namespace tesmar_host {

// The runtime class name of the minimal app's delegate.
inline constexpr const char* kMinimalDelegateClass = "TesmarSimMinimalDelegate";
// Info.plist key of the first page.
inline constexpr const char* kStartURLInfoKey = "TesmarStartURL";

// Registers the delegate class (idempotent). Call after uikit::registerClasses().
void registerMinimalApp();
// The first page when set (the --start-url flag); otherwise Info.plist TesmarStartURL is used.
void setMinimalAppStartURL(std::string url);

}  // namespace tesmar_host
