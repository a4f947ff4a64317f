#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <regex>
#include <set>
#include <sstream>

#include "host/Commands.h"
#include "host/EventPrinter.h"
#include "host/EventReference.h"
#include "host/LaunchChecks.h"
#include "host/Options.h"
#include "platform/foundation/JSON.h"

namespace {

using namespace tesmar_host;
using platform::Value;

TEST(HostOptions, FlagsAreReadOrRefusedWithTheirName) {
    struct Case {
        std::vector<std::string> args;
        std::string error;  // empty: accepted
    } cases[] = {
        {{"--bundle", "b"}, ""},
        {{"--help"}, ""},
        {{"--bundle", "b", "--system-version", "9.3", "--network", "down", "--connect-to",
          "intranet.example:443=127.0.0.1:8443", "--ca", "root.pem", "--ca", "other.pem", "--script", "s"},
         ""},
        {{}, "--bundle DIR is required"},
        {{"--bundle"}, "flag --bundle needs a value"},
        {{"--bundle", "b", "--bogus", "1"}, "unknown flag --bogus"},
        {{"--bundle", "b", "stray"}, "unexpected argument 'stray'"},
        {{"--bundle", "b", "--system-version", "nine"}, "--system-version 'nine'"},
        {{"--bundle", "b", "--network", "sideways"}, "--network takes 'up' or 'down'"},
        {{"--bundle", "b", "--clock", "manual"}, ""},
        {{"--bundle", "b", "--clock", "slow"}, "--clock takes 'manual' or 'real'"},
        {{"--bundle", "b", "--web-engine", "real"}, ""},
        {{"--bundle", "b", "--web-engine", "webkit"}, "--web-engine takes 'real' or 'headless'"},
        {{"--bundle", "b", "--identifier-for-vendor", "maybe"}, "--identifier-for-vendor takes 'on' or 'off'"},
        {{"--bundle", "b", "--connect-to", "intranet.example=127.0.0.1:1"}, "is not HOST:PORT=ADDRESS:PORT"},
        {{"--bundle", "b", "--connect-to", "a:443=127.0.0.1:70000"}, "is not HOST:PORT=ADDRESS:PORT"},
        {{"--bundle", "b", "--settle-ms", "-5"}, "--settle-ms takes"},
        {{"--bundle", "b", "--settle-ms", "0", "--echo"}, ""},
        {{"--bundle", "b", "--bogus"}, "unknown flag --bogus"},
        {{"--bundle", "b", "--payload", "{}"}, "unknown flag --payload"},
        {{"--bundle", "b", "--start-url", "intranet/start"}, "--start-url 'intranet/start' is not an absolute URL"},
        {{"--bundle", "b", "--start-url", "https://"}, "is not an absolute URL"},
        {{"--bundle", "b", "--start-url", "https://intranet.example/a"}, ""},
        {{"demo", "--web-engine", "headless", "--settle-ms", "100"}, ""},
        {{"demo", "--bundle", "x"}, "unknown flag --bundle for demo"},
        {{"demo", "--headless"}, "unknown flag --headless"},
        {{"--bundle", "b", "--settle-timeout", "nan"}, "--settle-timeout takes"},
        {{"--bundle", "b", "--push-token-delay", "0"}, ""},
        {{"--bundle", "b", "--push-token-delay", "1e9"}, "--push-token-delay takes"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {"tesmar-sim"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto parsed = parseOptions(argv);
        std::string label = ::testing::PrintToString(c.args);
        if (c.error.empty()) {
            ASSERT_TRUE(parsed.options) << label << ": " << parsed.error;
        } else {
            EXPECT_FALSE(parsed.options) << label;
            EXPECT_NE(parsed.error.find(c.error), std::string::npos) << label << ": " << parsed.error;
        }
    }

    auto full = parseOptions({"tesmar-sim", "--bundle", "b", "--system-version", "9.3", "--network", "down",
                              "--connect-to", "intranet.example:443=127.0.0.1:8443", "--ca", "a.pem", "--ca", "b.pem",
                              "--delegate", "AppDelegate", "--settle-ms", "40", "--identifier-for-vendor", "off"});
    ASSERT_TRUE(full.options);
    const Options& o = *full.options;
    EXPECT_EQ(o.systemVersion, (platform::OperatingSystemVersion{9, 3, 0}));
    EXPECT_FALSE(o.networkUp);
    EXPECT_FALSE(o.identifierForVendor);
    EXPECT_EQ(o.connectTo.at("intranet.example:443"), "127.0.0.1:8443");
    EXPECT_EQ(o.trustedRootsPEM, (std::vector<std::string>{"a.pem", "b.pem"}));
    EXPECT_EQ(o.delegateClass, "AppDelegate");
    EXPECT_DOUBLE_EQ(o.settleQuietSeconds, 0.04);
    EXPECT_EQ(o.arguments.size(), 19u);
    auto plain = parseOptions({"tesmar-sim", "--bundle", "b"});
    EXPECT_EQ(plain.options->delegateClass, kDefaultDelegateClass);
    EXPECT_TRUE(plain.options->identifierForVendor);
}

TEST(HostCommands, EachVerbChecksItsArgument) {
    using Kind = Command::Kind;
    struct Case {
        std::string line;
        std::optional<Kind> kind;  // nullopt: refused
        std::string detail;        // the text kept, or a part of the error
    } cases[] = {
        {"tap /next", Kind::Tap, "/next"},
        {"  tap   https://intranet.example/a?b=1  ", Kind::Tap, "https://intranet.example/a?b=1"},
        {"tap", std::nullopt, "tap needs a URL"},
        {"tap two words", std::nullopt, "is not a URL"},
        {"submit /login user=anna password=a%20b", Kind::Submit, "/login"},
        {"submit", std::nullopt, "submit needs the URL of a form's action"},
        {"submit /login user", std::nullopt, "'user' is not NAME=VALUE"},
        {"submit /login =anna", std::nullopt, "'=anna' is not NAME=VALUE"},
        {"submit /login user=100%", std::nullopt, "'user=100%' is not NAME=VALUE"},
        // Bytes that are no UTF-8 (é in Latin-1): the cause is said, not the shape.
        {"submit /login user=caf%E9", std::nullopt,
         "'user=caf%E9' is not UTF-8 text once its %XX are decoded: NAME and VALUE are written in UTF-8"},
        {"pull", Kind::Pull, ""},
        {"pull now", std::nullopt, "takes no argument"},
        {"reload-button", Kind::ReloadButton, ""},
        {"alert Don't Allow", Kind::Alert, "Don't Allow"},
        {"alert", std::nullopt, "needs a text"},
        {"back", Kind::Back, ""},
        {"universal-link https://intranet.example/news/1", Kind::UniversalLink, "https://intranet.example/news/1"},
        {"universal-link /news/1", std::nullopt, "not an http or https URL"},
        {"universal-link mailto:a@b.c", std::nullopt, "not an http or https URL"},
        {R"(push-receive {"aps": {"alert": "Hi {there}"}})", Kind::PushReceive, ""},
        {"push-receive [1, 2]", std::nullopt, "must be a JSON object"},
        {"push-receive {\"aps\":", std::nullopt, "bad JSON"},
        {R"(push-tap {"aps": {"alert": "a } b"}} reply-action)", Kind::PushTap, "reply-action"},
        {"network up", Kind::Network, ""},
        {"network sideways", std::nullopt, "takes 'up' or 'down'"},
        {"js-alert Hello there", Kind::JsAlert, "Hello there"},
        {"js-confirm Leave?", Kind::JsConfirm, "Leave?"},
        {"js-open /popup", Kind::JsOpen, "/popup"},
        {"js-close", Kind::JsClose, ""},
        {"snapshot pages/start.png", Kind::Snapshot, "pages/start.png"},
        {"snapshot", std::nullopt, "needs a text"},
        {"background", Kind::Background, ""},
        {"foreground", Kind::Foreground, ""},
        {"wait 1.5", Kind::Wait, ""},
        {"wait -1", std::nullopt, "between 0 and 3600"},
        {"wait inf", std::nullopt, "between 0 and 3600"},
        {"wait 2s", std::nullopt, "between 0 and 3600"},
        {"files Library/Caches", Kind::Files, "Library/Caches"},
        {"files /Library/Application Support/Vodezu", Kind::Files, "Library/Application Support/Vodezu"},
        {"files", std::nullopt, "needs a folder"},
        {"files ..", std::nullopt, "leaves the device root"},
        {"files Library/../../etc", std::nullopt, "leaves the device root"},
        {"quit", Kind::Quit, ""},
        {R"(app-call sendTags {"a": "1 2"})", Kind::AppCall, "sendTags"},
        {R"(app-call deleteTags ["a", "b"])", Kind::AppCall, "deleteTags"},
        {"app-call getTags", Kind::AppCall, "getTags"},
        {R"(app-call setEmail {"email": "a@b.co"})", Kind::AppCall, "setEmail"},
        {"app-call", std::nullopt, "needs a call name"},
        {"app-call fly", std::nullopt, "unknown call 'fly'"},
        {"app-call getTags {}", std::nullopt, "takes no argument"},
        {"app-call sendTags", std::nullopt, "needs a JSON object"},
        {"app-call sendTags [1]", std::nullopt, "must be a JSON object"},
        {"app-call deleteTags {\"a\": 1}", std::nullopt, "must be a JSON array"},
        {"app-call deleteTags [1]", std::nullopt, "array of tag names"},
        {"app-call setEmail {\"authHash\": \"h\"}", std::nullopt, "needs {\"email\""},
        {"app-call setEmail {\"email\": \"a@b.co\", \"authHash\": 5}", std::nullopt, "\"authHash\" must be a string"},
        {"app-call setSubscription {\"enable\": 1}", std::nullopt, "needs {\"enable\": true|false}"},
        {"app-call consentGranted {\"granted\":", std::nullopt, "bad JSON"},
        {"fly away", std::nullopt, "unknown command 'fly'"},
        {std::string("tap /a\0b", 8), std::nullopt, "NUL"},
    };
    for (const auto& c : cases) {
        auto parsed = parseCommand(c.line);
        if (c.kind) {
            ASSERT_TRUE(parsed.command) << c.line << ": " << parsed.error;
            EXPECT_EQ(parsed.command->kind, *c.kind) << c.line;
            EXPECT_EQ(parsed.command->text, c.detail) << c.line;
        } else {
            EXPECT_FALSE(parsed.command) << c.line;
            EXPECT_NE(parsed.error.find(c.detail), std::string::npos) << c.line << ": " << parsed.error;
        }
    }
    auto push = parseCommand(R"(push-tap {"url": "https://intranet.example/x"})");
    ASSERT_TRUE(push.command);
    EXPECT_EQ(push.command->payload["url"], Value("https://intranet.example/x"));
    EXPECT_EQ(parseCommand("submit /login user=an%20na pin= note=a=b%25 -box=on %2Dx=1").command->fields,
              (std::vector<platform::webkit::FormField>{
                  {"user", "an na"}, {"pin", ""}, {"note", "a=b%"}, {"box", "on", true}, {"-x", "1"}}));
    EXPECT_EQ(parseCommand("wait 0.25").command->seconds, 0.25);
    EXPECT_FALSE(parseCommand("network down").command->up);
    EXPECT_EQ(parseCommand(R"(app-call deleteTags ["a"])").command->payload, Value::array({"a"}));
    EXPECT_TRUE(parseCommand("app-call logoutEmail").command->payload.isNull());
}

TEST(HostCommands, ScriptsSkipCommentsAndNameTheFirstBadLine) {
    auto good = parseScript("# start\n\ntap /a\r\n  # indented comment\nquit\n");
    EXPECT_TRUE(good.error.empty()) << good.error;
    ASSERT_EQ(good.commands.size(), 2u);
    EXPECT_EQ(good.commands[1].kind, Command::Kind::Quit);

    auto bad = parseScript("tap /a\npull\nalert\nfly\n");
    EXPECT_TRUE(bad.commands.empty());
    EXPECT_EQ(bad.error, "line 3: alert needs a text");
}

// What the host warns of before a launch names the file and what is wrong with it.
TEST(HostLaunchChecks, WarningsNameTheFileAndWhatIsWrongWithIt) {
    namespace fs = std::filesystem;
    char pattern[] = "/tmp/launch-checks-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path bundle = fs::path(pattern) / "bundle";
    const std::string appex = (bundle / "PlugIns/Service.appex/Info.plist").string();
    const std::string service = R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>
        <key>NSExtension</key><dict><key>NSExtensionPointIdentifier</key>
        <string>com.apple.usernotifications.service</string>)";
    const std::string usable =
        service + "<key>NSExtensionPrincipalClass</key><string>NotificationService</string></dict></dict></plist>";
    struct Case {
        const char* label;
        std::function<void()> make;  // after a bundle whose Config.json and options file are fine
        std::string warning;         // empty: none
    } cases[] = {
        {"Config.json a folder",
         [&] {
             fs::remove(bundle / "Config.json");
             fs::create_directory(bundle / "Config.json");
         },
         (bundle / "Config.json").string() + " is a folder, not a file"},
        {"extension plist of random bytes", [&] { std::ofstream(appex) << "\x93\x07 q\xff\x01"; },
         appex + " cannot be read ("},
        {"extension plist not a dictionary",
         [&] { std::ofstream(appex) << R"(<?xml version="1.0"?><plist version="1.0"><array/></plist>)"; },
         appex + " is not a dictionary"},
        {"service extension without its class", [&] { std::ofstream(appex) << service + "</dict></dict></plist>"; },
         appex + " names no NSExtensionPrincipalClass"},
        {"a usable service extension", [] {}, ""},
        {"no Info.plist", [&] { fs::remove(appex); }, appex + " is missing"},
    };
    Options options;
    options.bundle = bundle.string();
    options.delegateClass = kDefaultDelegateClass;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        fs::remove_all(bundle);
        fs::create_directories(fs::path(appex).parent_path());
        std::ofstream(bundle / "Config.json") << R"({"base_url": "https://intranet.tesmar.example/"})";
        std::ofstream(bundle / "ZazeraDazudud-Uvoz.plist") << "";
        std::ofstream(appex) << usable;
        c.make();
        auto warnings = launchWarnings(options);
        if (c.warning.empty()) {
            EXPECT_TRUE(warnings.empty()) << ::testing::PrintToString(warnings);
            continue;
        }
        ASSERT_EQ(warnings.size(), 1u) << ::testing::PrintToString(warnings);
        EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << warnings[0];
    }
    fs::remove_all(pattern);
}

TEST(HostEvents, EveryEventPrintsAsOneJSONLine) {
    auto round = [](const std::string& event, const Value& fields) {
        std::string line = eventLine(event, fields);
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
        auto parsed = platform::json::read(line);
        EXPECT_TRUE(parsed.ok()) << line;
        return parsed.ok() ? parsed.value() : Value();
    };
    Value page = round("page.fail", Value::dictionary({{"url", "https://x/"}, {"code", -1009}}));
    EXPECT_EQ(page["event"], Value("page.fail"));
    EXPECT_EQ(page["code"], Value(-1009));
    // No password of a URL reaches the output, in whatever field it is.
    Value secret = round("console", Value::dictionary({{"text", "\"URL: https://anna:secret@x/basic/\""},
                                                       {"urls", Value::array({Value("https://anna:secret@x/")})}}));
    EXPECT_EQ(secret["text"], Value("\"URL: https://anna@x/basic/\""));
    EXPECT_EQ(secret["urls"].at(0), Value("https://anna@x/"));

    // Values JSON cannot carry are shown, not dropped with the line.
    Value odd = round("odd", Value::dictionary({{"nan", std::numeric_limits<double>::quiet_NaN()},
                                                {"data", Value::data("\x01\x02", 2)},
                                                {"text", std::string("bad \xff utf8")},
                                                {"nested", Value::array({Value::data("x", 1)})}}));
    EXPECT_TRUE(odd["nan"].isString());
    EXPECT_TRUE(odd["data"].isString());
    EXPECT_TRUE(odd["text"].isString());
    EXPECT_TRUE(odd["nested"].at(0).isString());
    EXPECT_EQ(round("bare", Value("not a dictionary"))["value"], Value("not a dictionary"));
}

// Every event name the sources post is in the reference (docs/events.md, built in), once.
TEST(HostEvents, EveryEventTheSourcesPostIsDocumentedOnce) {
    std::set<std::string> documented;
    for (const auto& event : eventReference()) {
        EXPECT_TRUE(documented.insert(event.name).second) << "listed twice: " << event.name;
        EXPECT_FALSE(event.when.empty()) << event.name;
    }
    EXPECT_NE(usageText().find("  page.fail {url, code, domain, description}\n"), std::string::npos);

    namespace fs = std::filesystem;
    const std::regex posted(R"re((?:post|postEvent)\(\s*"([a-z][a-z0-9.\-]*)")re");
    std::set<std::string> undocumented;
    size_t found = 0;
    for (const char* folder : {"app", "platform", "host", "Rivulet", "VezEduduzSDK", "zidedova_core", "measurement",
                               "kit_platform", "crash_reporter"}) {
        for (const auto& entry : fs::recursive_directory_iterator(fs::path(TESMAR_SOURCE_DIR) / folder)) {
            const auto& path = entry.path();
            if (path.extension() != ".cpp" || path.string().find("/tests/") != std::string::npos) continue;
            std::ifstream file(path);
            std::stringstream text;
            text << file.rdbuf();
            const std::string source = text.str();
            for (std::sregex_iterator it(source.begin(), source.end(), posted), end; it != end; ++it, ++found)
                if (!documented.count((*it)[1]))
                    undocumented.insert((*it)[1].str() + " (" + path.filename().string() + ")");
        }
    }
    EXPECT_GT(found, 40u);
    EXPECT_TRUE(undocumented.empty()) << ::testing::PrintToString(undocumented);
}

}  // namespace
