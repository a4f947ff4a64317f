#pragma once
// The values a web view hands its delegates: navigation actions and responses, frames, window
// features and the Navigation handle. Plain values, main thread only (the web view makes them there).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/HTTPURLResponse.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/URLRequest.h"

namespace platform::webkit {

// The web engine's own load errors (both web views report them): a navigation the policy delegate
// stopped part-way, for instance by cancelling a server redirect, fails with code 102.
inline constexpr const char* kWebKitEngineErrorDomain = "WebKitErrorDomain";
inline constexpr int kWebKitErrorFrameLoadInterruptedByPolicyChange = 102;

// What started a navigation. The values are the platform's.
enum class NavigationType : int {
    LinkActivated = 0,
    FormSubmitted = 1,
    BackForward = 2,
    Reload = 3,
    FormResubmitted = 4,
    Other = -1,
};
// "linkActivated", "formSubmitted", "backForward", "reload", "formResubmitted", "other".
const char* navigationTypeName(NavigationType type);

enum class NavigationActionPolicy : int { Cancel = 0, Allow = 1 };
enum class NavigationResponsePolicy : int { Cancel = 0, Allow = 1 };

// A frame of a page. There are no subframes here: every frame is the main frame of its web view.
struct FrameInfo {
    bool isMainFrame = true;
    // The frame's current request; its URL is absent while nothing has been committed.
    URLRequest request;
};

struct NavigationAction {
    URLRequest request;
    NavigationType navigationType = NavigationType::Other;
    // The frame the navigation came from; absent for loads the app started (loadRequest).
    std::optional<FrameInfo> sourceFrame;
    // The frame that will show the result; absent when the navigation asks for a new window.
    std::optional<FrameInfo> targetFrame;
};

struct NavigationResponse {
    std::shared_ptr<const URLResponse> response;
    bool isForMainFrame = true;
    bool canShowMIMEType = true;
};

// What window.open asked for; absent values were not given.
struct WindowFeatures {
    std::optional<double> x, y, width, height;
    std::optional<bool> menuBarVisibility, statusBarVisibility, toolbarsVisibility, allowsResizing;
};

// A picture of what a web view shows.
struct Snapshot {
    std::vector<uint8_t> png;
    int width = 0, height = 0;
    bool blank = true;  // every pixel the same colour
};

// A form the user fills in and submits: the page's first form whose action is `action` (as the page writes
// it, or resolved against the page; a form without one submits to the page itself). Each value sets the
// form's field of its name: a text field takes it (the Nth value of a name the Nth such field); a select,
// checkbox or radio button, or a submit button (the one pressed) is chosen by it, and `off` unchecks that
// box or deselects that option instead. The rest keep what the page gave them, hidden fields too; without
// a button named, the form's first submit button is pressed, as the Enter key does.
struct FormField {
    std::string name;
    std::string value;
    bool off = false;
    bool operator==(const FormField&) const = default;
};
struct FormFill {
    std::string action;
    std::vector<FormField> values;  // in order
};

// One navigation, from loadRequest/reload/goBack/... to its finish or failure. Delegates get the
// same handle in every callback of that navigation, so they can tell navigations apart.
class Navigation {
public:
    Navigation(uint64_t identifier, URLRequest request, NavigationType type)
        : identifier_(identifier), request_(std::move(request)), type_(type) {}
    uint64_t identifier() const { return identifier_; }  // unique in the process
    const URLRequest& initialRequest() const { return request_; }
    NavigationType navigationType() const { return type_; }

private:
    uint64_t identifier_;
    URLRequest request_;
    NavigationType type_;
};

}  // namespace platform::webkit
