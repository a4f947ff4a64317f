#include "host/Commands.h"

#include "host/LocationStoreCommands.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

#include "host/AppCalls.h"
#include "platform/foundation/ASCII.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/URL.h"

namespace tesmar_host {

namespace {

using Kind = Command::Kind;

// Whether every % in `text` begins a %XX escape: such a text that does not decode holds bytes that are no UTF-8.
bool escapesAreWellFormed(std::string_view text) {
    for (size_t at = text.find('%'); at != std::string_view::npos; at = text.find('%', at + 3))
        if (text.size() - at < 3 ||
            text.substr(at + 1, 2).find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
            return false;
    return true;
}

enum class Arg {
    None,
    Text,
    URL,
    AbsoluteURL,
    Form,
    Json,
    UpDown,
    Seconds,
    CrashKind,
    URLAndWord,
    WordAndURL,
    Word,
    AppCall,
    DevicePath,
    LocationStore,
    WordAndOptionalWord
};

struct Verb {
    const char* name;
    Kind kind;
    Arg arg;
    const char* usage;
};

constexpr Verb kVerbs[] = {
    {"tap", Kind::Tap, Arg::URL, "tap URL                 the user taps a link to URL in the top web view"},
    {"submit", Kind::Submit, Arg::Form,
     "submit URL [NAME=VALUE ...]   the user fills in the top web view's form whose action resolves to URL\n"
     "                        (as a browser resolves it) and submits it: each NAME=VALUE sets a field (a\n"
     "                        text, or the option, box or button of that value; a name given again fills\n"
     "                        the next text field of that name), -NAME=VALUE unchecks that box or deselects\n"
     "                        that option; the rest keep the page's values, hidden ones too; NAME and VALUE\n"
     "                        are UTF-8 text, %XX a byte of it (%20 a space, %C3%A9 an e-acute), sent in the\n"
     "                        page's encoding"},
    {"pull", Kind::Pull, Arg::None, "pull                    pull to refresh on the top screen"},
    {"reload-button", Kind::ReloadButton, Arg::None,
     "reload-button           tap the connection-lost view's reload button"},
    {"alert", Kind::Alert, Arg::Text, "alert TITLE             tap the button TITLE of the alert in front"},
    {"back", Kind::Back, Arg::None, "back                    go back (pop the screen, else the page's history)"},
    {"universal-link", Kind::UniversalLink, Arg::AbsoluteURL,
     "universal-link URL      open URL as a universal link (continueUserActivity)"},
    {"push-receive", Kind::PushReceive, Arg::Json, "push-receive JSON       a remote notification arrives"},
    {"push-tap", Kind::PushTap, Arg::Json,
     "push-tap JSON [ACTION]  the user taps a notification (optionally one of its actions)"},
    {"network", Kind::Network, Arg::UpDown, "network up|down         switch the network"},
    {"js-alert", Kind::JsAlert, Arg::Text, "js-alert TEXT           the page calls alert(TEXT)"},
    {"js-confirm", Kind::JsConfirm, Arg::Text, "js-confirm TEXT         the page calls confirm(TEXT)"},
    {"js-open", Kind::JsOpen, Arg::URL, "js-open URL             the page calls window.open(URL)"},
    {"js-close", Kind::JsClose, Arg::None, "js-close                the page calls window.close()"},
    {"background", Kind::Background, Arg::None, "background              the user leaves the app"},
    {"foreground", Kind::Foreground, Arg::None, "foreground              the user comes back to the app"},
    {"wait", Kind::Wait, Arg::Seconds,
     "wait SECONDS            let time pass (0 to 3600 seconds; with --clock manual, at once)"},
    {"crash", Kind::Crash, Arg::CrashKind,
     "crash segv|abort|exception   the app crashes: a bad memory write, abort(), or an uncaught C++\n"
     "                        exception; the run ends with the signal (SIGSEGV, SIGABRT, SIGABRT)"},
    {"open-url", Kind::OpenURL, Arg::URLAndWord,
     "open-url URL [SOURCE-APP]   the system opens URL in the app (openURL), as from SOURCE-APP"},
    {"user-activity", Kind::UserActivity, Arg::WordAndURL,
     "user-activity TYPE [URL]    the system continues a user activity of TYPE with web page URL"},
    {"background-session-events", Kind::BackgroundSessionEvents, Arg::Word,
     "background-session-events ID   the system relaunches the app for events of background session ID"},
    {"app-call", Kind::AppCall, Arg::AppCall,
     "app-call NAME [JSON]    the application's own code calls NAME on an SDK; prints app-call.result\n"
     "                        with its outcome. Calls:"},
    {"files", Kind::Files, Arg::DevicePath,
     "files DIR               list the device's files under DIR of the device root (size, mode)"},
    {"notification-tap", Kind::NotificationTap, Arg::WordAndOptionalWord,
     "notification-tap last|ID [ACTION]   the user taps a shown notification (the last one, or by\n"
     "                        its request identifier), optionally one of its buttons"},
    {"prefs", Kind::Prefs, Arg::WordAndOptionalWord,
     "prefs SUITE|standard [KEY]   print a preferences suite's values (or one key) as \"prefs\", with the keys\n"
     "                        not on disk yet"},
    {"quit", Kind::Quit, Arg::None, "quit                    end the app and the run"},
    {"snapshot", Kind::Snapshot, Arg::Text,
     "snapshot FILE           write a PNG of the top web view once its next frame is drawn (--web-engine\n"
     "                        real); prints snapshot {file, bytes, width, height, blank}"},
    {"location-permission", Kind::LocationPermission, Arg::LocationStore,
     "location-permission STATUS   the user's location answer changes: not-determined, restricted, denied,\n"
     "                        always or when-in-use"},
    {"location", Kind::Location, Arg::LocationStore,
     "location LAT LONG [HACC [VACC]]   the device is somewhere else (accuracies in metres, default 5)"},
    {"location-services", Kind::LocationServices, Arg::LocationStore,
     "location-services on|off   switch the device's location services"},
    {"store-product", Kind::StoreProduct, Arg::LocationStore,
     "store-product SKU PRICE CURRENCY   the store sells SKU at PRICE (one unit) in CURRENCY (e.g. EUR); the\n"
     "                        device keeps its catalogue for later runs"},
    {"purchase", Kind::Purchase, Arg::LocationStore,
     "purchase SKU [QTY] [purchased|failed|restored]   one transaction, handed to the app as its own batch"},
    {"purchases", Kind::Purchases, Arg::LocationStore,
     "purchases [{\"sku\":..,\"quantity\":..,\"state\":..},...]   several transactions in one batch"},
};

std::string trim(const std::string& text) { return std::string(platform::trimmingCharacters(text, " \t\r\n")); }

ParsedCommand fail(const std::string& message) { return ParsedCommand{std::nullopt, message}; }

// A push-tap argument: a JSON object, then optionally an action identifier after it.
bool splitJsonAndAction(const std::string& rest, std::string& json, std::string& action) {
    // The object ends at the brace that closes the first one (braces inside strings do not count).
    int depth = 0;
    bool inString = false, escaped = false;
    for (size_t i = 0; i < rest.size(); ++i) {
        char c = rest[i];
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"')
            inString = true;
        else if (c == '{')
            ++depth;
        else if (c == '}' && --depth == 0) {
            json = rest.substr(0, i + 1);
            action = trim(rest.substr(i + 1));
            return true;
        }
    }
    json = rest;
    action.clear();
    return false;
}

}  // namespace

ParsedCommand parseCommand(const std::string& rawLine, size_t number) {
    if (rawLine.find('\0') != std::string::npos) return fail("the line holds a NUL byte");
    std::string line = trim(rawLine);
    if (line.empty() || line[0] == '#') return {};
    auto gap = line.find_first_of(" \t");
    std::string verb = line.substr(0, gap);
    std::string rest = gap == std::string::npos ? "" : trim(line.substr(gap));

    const Verb* found = nullptr;
    for (const auto& v : kVerbs)
        if (verb == v.name) found = &v;
    if (!found) return fail("unknown command '" + verb + "' (see --help)");

    Command command;
    command.kind = found->kind;
    command.line = line;
    command.number = number;
    auto needs = [&](const char* what) { return fail(verb + " needs " + what); };
    switch (found->arg) {
    case Arg::None:
        if (!rest.empty()) return fail(verb + " takes no argument, got '" + rest + "'");
        break;
    case Arg::Text:
        if (rest.empty()) return needs("a text");
        command.text = rest;
        break;
    case Arg::URL:
    case Arg::AbsoluteURL: {
        if (rest.empty()) return needs("a URL");
        if (rest.find_first_of(" \t") != std::string::npos) return fail(verb + ": '" + rest + "' is not a URL");
        auto url = platform::URL::string(rest);
        if (!url) return fail(verb + ": '" + rest + "' is not a URL");
        if (found->arg == Arg::AbsoluteURL) {
            auto scheme = url->scheme().value_or("");
            if ((scheme != "http" && scheme != "https") || !url->host())
                return fail(verb + ": '" + rest + "' is not an http or https URL");
        }
        command.text = rest;
        break;
    }
    case Arg::Form: {
        std::istringstream words(rest);
        std::string action, word;
        if (!(words >> action)) return needs("the URL of a form's action");
        if (!platform::URL::string(action)) return fail(verb + ": '" + action + "' is not a URL");
        command.text = action;
        while (words >> word) {
            bool off = word.size() > 1 && word[0] == '-';
            std::string_view field = std::string_view(word).substr(off ? 1 : 0);
            auto equals = field.find('=');
            auto name =
                equals == std::string::npos ? std::nullopt : platform::removingPercentEncoding(field.substr(0, equals));
            auto value = name ? platform::removingPercentEncoding(field.substr(equals + 1)) : std::nullopt;
            if ((!name || !value) && equals != std::string::npos && escapesAreWellFormed(field))
                return fail(verb + ": '" + word +
                            "' is not UTF-8 text once its %XX are decoded: NAME and VALUE are written in UTF-8 "
                            "(\u00e9 is %C3%A9), and the host sends them in the page's encoding");
            if (!name || name->empty() || !value)
                return fail(verb + ": '" + word + "' is not NAME=VALUE (a space or % in them is written %20, %25)");
            command.fields.push_back({*name, *value, off});
        }
        break;
    }
    case Arg::Json: {
        if (rest.empty()) return needs("a JSON object");
        std::string json = rest, action;
        if (found->kind == Kind::PushTap) splitJsonAndAction(rest, json, action);
        auto value = platform::json::read(json);
        if (!value) return fail(verb + ": bad JSON: " + value.error().localizedDescription());
        if (!value.value().isDictionary()) return fail(verb + ": the payload must be a JSON object");
        command.payload = std::move(value).value();
        command.text = action;
        break;
    }
    case Arg::UpDown:
        if (rest != "up" && rest != "down") return fail(verb + " takes 'up' or 'down'");
        command.up = rest == "up";
        break;
    case Arg::LocationStore:
        if (auto error = parseLocationStoreArgument(found->kind, verb, rest, command); !error.empty())
            return fail(error);
        break;
    case Arg::WordAndOptionalWord: {
        if (rest.empty())
            return needs(found->kind == Kind::Prefs ? "a suite name or 'standard'" : "'last' or an identifier");
        auto space = rest.find_first_of(" \t");
        command.text = rest.substr(0, space);
        command.extra = space == std::string::npos ? "" : trim(rest.substr(space));
        if (command.extra.find_first_of(" \t") != std::string::npos)
            return fail(verb + " takes at most two words, got '" + rest + "'");
        if (found->kind == Kind::NotificationTap && command.text == "last") command.text.clear();
        break;
    }
    case Arg::CrashKind:
        if (rest != "segv" && rest != "abort" && rest != "exception")
            return fail(verb + " takes 'segv', 'abort' or 'exception'");
        command.text = rest;
        break;
    case Arg::AppCall: {
        auto call = parseAppCall(rest);
        if (!call.error.empty()) return fail(call.error);
        command.text = call.name;
        command.payload = std::move(call.argument);
        break;
    }
    case Arg::URLAndWord:
    case Arg::WordAndURL:
    case Arg::Word: {
        if (rest.empty()) return needs(found->arg == Arg::URLAndWord ? "a URL" : "a word");
        auto gap2 = rest.find_first_of(" \t");
        std::string first = rest.substr(0, gap2);
        std::string second = gap2 == std::string::npos ? "" : trim(rest.substr(gap2));
        if (second.find_first_of(" \t") != std::string::npos || (found->arg == Arg::Word && !second.empty()))
            return fail(verb + ": too many arguments in '" + rest + "'");
        const std::string& url = found->arg == Arg::URLAndWord ? first : second;
        if (!url.empty() && (!platform::URL::string(url) || !platform::URL::string(url)->scheme()))
            return fail(verb + ": '" + url + "' is not a URL");
        command.text = first;
        command.extra = second;
        break;
    }
    case Arg::DevicePath: {
        if (rest.empty()) return needs("a folder of the device root");
        std::string path = rest;
        while (!path.empty() && path.front() == '/') path.erase(path.begin());
        std::istringstream segments(path);
        for (std::string segment; std::getline(segments, segment, '/');)
            if (segment == "..") return fail(verb + ": '" + rest + "' leaves the device root");
        command.text = path;
        break;
    }
    case Arg::Seconds: {
        if (rest.empty()) return needs("a number of seconds");
        char* end = nullptr;
        double seconds = std::strtod(rest.c_str(), &end);
        if (*end != '\0' || !std::isfinite(seconds) || seconds < 0 || seconds > 3600)
            return fail(verb + " takes seconds between 0 and 3600, not '" + rest + "'");
        command.seconds = seconds;
        break;
    }
    }
    return ParsedCommand{std::move(command), ""};
}

ParsedScript parseScript(const std::string& text) {
    ParsedScript script;
    std::istringstream in(text);
    std::string line;
    for (size_t number = 1; std::getline(in, line); ++number) {
        auto parsed = parseCommand(line, number);
        if (!parsed.error.empty()) {
            script.commands.clear();
            script.error = "line " + std::to_string(number) + ": " + parsed.error;
            return script;
        }
        if (parsed.command) script.commands.push_back(std::move(*parsed.command));
    }
    return script;
}

std::string commandUsageText() {
    std::string out;
    for (const auto& v : kVerbs) {
        out += std::string("  ") + v.usage + "\n";
        if (v.kind == Kind::AppCall) out += appCallUsageText();
    }
    return out;
}

}  // namespace tesmar_host
