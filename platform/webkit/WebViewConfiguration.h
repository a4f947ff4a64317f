#pragma once
// WebViewConfiguration: what a web view is made with (a plain value, copied in). A web view made
// for a new window must be made with the configuration handed to createWebViewWithConfiguration,
// so both share their data store and process pool.
#include <memory>
#include <string>

namespace platform::webkit {

class WebsiteDataStore;

struct Preferences {
    // window.open without a user gesture is refused unless this is set.
    bool javaScriptCanOpenWindowsAutomatically = false;
    bool javaScriptEnabled = true;
    double minimumFontSize = 0;
};

// Opaque: web views sharing a pool would share a content process. Nothing to share here.
class ProcessPool {};

struct WebViewConfiguration {
    WebViewConfiguration();  // the default data store, a shared process pool, default preferences
    std::shared_ptr<WebsiteDataStore> websiteDataStore;
    std::shared_ptr<ProcessPool> processPool;
    Preferences preferences;
    std::string applicationNameForUserAgent;
};

}  // namespace platform::webkit
