#pragma once
// Script commands: one per line, a verb and the rest of the line as its argument (so alert titles,
// panel texts and push JSON may hold spaces). Parsing checks each command's argument fully, so a
// script with a mistake is refused before anything on the device happens.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/webkit/WebKitTypes.h"

namespace tesmar_host {

struct Command {
    enum class Kind {
        Tap,            // tap URL: a link tap in the top web view
        Submit,         // submit URL [NAME=VALUE ...]: text the form's action, fields what the user fills in
        Pull,           // pull: pull to refresh on the top screen
        ReloadButton,   // reload-button: the connection-lost view's reload button
        Alert,          // alert TITLE: a button of the visible alert
        Back,           // back: pop the navigation stack, else the web view goes back
        UniversalLink,  // universal-link URL
        PushReceive,    // push-receive JSON
        PushTap,        // push-tap JSON [ACTION]: the JSON object, then an optional action identifier
        Network,        // network up|down
        JsAlert,        // js-alert TEXT
        JsConfirm,      // js-confirm TEXT
        JsOpen,         // js-open URL
        JsClose,        // js-close
        Background,
        Foreground,
        Wait,                     // wait SECONDS
        Crash,                    // crash segv|abort|exception: the app crashes that way (text holds the kind)
        OpenURL,                  // open-url URL [SOURCE-APP]: text URL, extra the source application
        UserActivity,             // user-activity TYPE [URL]: text TYPE, extra the web page URL
        BackgroundSessionEvents,  // background-session-events ID: text the session identifier
        AppCall,                  // app-call NAME [JSON]: text holds the name, payload the argument (null when none)
        Files,                    // files DIR: a folder of the device root, relative, no ".." segments
        NotificationTap,          // notification-tap last|ID [ACTION]: text = ID ("" for last), extra = action
        Prefs,                    // prefs SUITE|standard [KEY]: text = suite, extra = key
        Quit,
        Snapshot,  // snapshot FILE: a PNG of the top web view (real engine)
        // Location and store (LocationStoreCommands.h); their arguments live in text / up / payload.
        LocationPermission,  // location-permission STATUS
        Location,            // location LAT LONG [HACC [VACC]]
        LocationServices,    // location-services on|off
        StoreProduct,        // store-product SKU PRICE CURRENCY
        Purchase,            // purchase SKU [QTY] [purchased|failed|restored]
        Purchases,           // purchases JSON-ARRAY
    };
    Kind kind = Kind::Quit;
    std::string text;                                 // URL, title or panel text
    std::string extra;                                // a second, optional argument
    platform::Value payload;                          // push JSON
    std::vector<platform::webkit::FormField> fields;  // submit: NAME, VALUE (decoded), in order
    bool up = true;                                   // network
    double seconds = 0;                               // wait
    std::string line;                                 // the line as written, for messages
    size_t number = 0;                                // its line number in the script or on stdin
};

struct ParsedCommand {
    std::optional<Command> command;  // empty for a blank or comment line, or on error
    std::string error;               // non-empty when the line is not a valid command
};

// `number` is the line's number, kept in the command.
ParsedCommand parseCommand(const std::string& line, size_t number = 0);

struct ParsedScript {
    std::vector<Command> commands;
    std::string error;  // "line N: ..." for the first bad line
};
ParsedScript parseScript(const std::string& text);

// One line per command, for --help.
std::string commandUsageText();

}  // namespace tesmar_host
