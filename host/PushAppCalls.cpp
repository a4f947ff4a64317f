#include "host/PushAppCalls.h"

#include "VezEduduzSDK/Source/VezEduduz.h"

namespace tesmar_host {

using platform::Value;
using vezeduduz::VezEduduz;

namespace {

using Check = std::optional<std::string>;

// {"KEY": bool}
std::function<Check(const Value&)> needsBool(const char* key) {
    return [key](const Value& argument) -> Check {
        if (!argument[key].isBool()) return std::string("needs {\"") + key + "\": true|false}";
        return std::nullopt;
    };
}

Check needsEmail(const Value& argument) {
    if (!argument["email"].isString()) return std::string("needs {\"email\": \"...\"}");
    return std::nullopt;
}

VezEduduz::VEResultBlock reportValue(const AppCallAnswer& answer) {
    return [answer](const Value& value) { answer.success(value); };
}
VezEduduz::VEErrorBlock reportError(const AppCallAnswer& answer) {
    return [answer](const platform::Error& error) { answer.failure(error); };
}
VezEduduz::VEEmailSuccessBlock reportDone(const AppCallAnswer& answer) {
    return [answer] { answer.success(Value()); };
}

}  // namespace

void addPushAppCalls(std::vector<AppCall>& table) {
    using Arg = AppCallArgument;
    table.push_back({"sendTags", Arg::Object,
                     "sendTags {\"KEY\":\"VALUE\",...}         tag the user (sent after 5 s without another tag call)",
                     nullptr, [](const Value& tags, AppCallAnswer answer) {
                         VezEduduz::sendTags(tags, reportValue(answer), reportError(answer));
                     }});
    table.push_back({"deleteTags", Arg::Array, "deleteTags [\"KEY\",...]             delete tags",
                     [](const Value& keys) -> Check {
                         for (const auto& key : *keys.asArray())
                             if (!key.isString()) return std::string("takes an array of tag names (strings)");
                         return std::nullopt;
                     },
                     [](const Value& keys, AppCallAnswer answer) {
                         std::vector<std::string> names;
                         for (const auto& key : *keys.asArray()) names.push_back(*key.asString());
                         VezEduduz::deleteTags(names, reportValue(answer), reportError(answer));
                     }});
    table.push_back(
        {"getTags", Arg::None, "getTags                               the user's tags", nullptr,
         [](const Value&, AppCallAnswer answer) { VezEduduz::getTags(reportValue(answer), reportError(answer)); }});
    table.push_back({"postNotification", Arg::Object,
                     "postNotification {...}                send a notification to other players", nullptr,
                     [](const Value& notification, AppCallAnswer answer) {
                         VezEduduz::postNotification(notification, reportValue(answer), reportError(answer));
                     }});
    table.push_back({"setSubscription", Arg::Object,
                     "setSubscription {\"enable\":BOOL}        the user's own push subscription switch",
                     needsBool("enable"), [](const Value& argument, AppCallAnswer answer) {
                         VezEduduz::setSubscription(*argument["enable"].asBool());
                         answer.success(Value());
                     }});
    table.push_back({"setEmail", Arg::Object,
                     "setEmail {\"email\":\"...\"[,\"authHash\":\"...\"]}   link an e-mail address to the user",
                     [](const Value& argument) -> Check {
                         if (auto problem = needsEmail(argument)) return problem;
                         if (argument.contains("authHash") && !argument["authHash"].isString())
                             return std::string("\"authHash\" must be a string");
                         return std::nullopt;
                     },
                     [](const Value& argument, AppCallAnswer answer) {
                         std::optional<std::string> hash;
                         if (const std::string* h = argument["authHash"].asString()) hash = *h;
                         VezEduduz::setEmail(*argument["email"].asString(), hash, reportDone(answer),
                                             reportError(answer));
                     }});
    table.push_back(
        {"logoutEmail", Arg::None, "logoutEmail                           unlink the e-mail address", nullptr,
         [](const Value&, AppCallAnswer answer) { VezEduduz::logoutEmail(reportDone(answer), reportError(answer)); }});
    table.push_back({"syncHashedEmail", Arg::Object,
                     "syncHashedEmail {\"email\":\"...\"}        send digests of an address (never the address)",
                     needsEmail, [](const Value& argument, AppCallAnswer answer) {
                         VezEduduz::syncHashedEmail(*argument["email"].asString());
                         answer.success(Value());
                     }});
    table.push_back({"promptLocation", Arg::None, "promptLocation                        ask for the location", nullptr,
                     [](const Value&, AppCallAnswer answer) {
                         VezEduduz::promptLocation();
                         answer.success(Value());
                     }});
    table.push_back({"setLocationShared", Arg::Object,
                     "setLocationShared {\"shared\":BOOL}      whether the location may be sent", needsBool("shared"),
                     [](const Value& argument, AppCallAnswer answer) {
                         VezEduduz::setLocationShared(*argument["shared"].asBool());
                         answer.success(Value());
                     }});
    table.push_back({"consentGranted", Arg::Object,
                     "consentGranted {\"granted\":BOOL}        the user's privacy consent", needsBool("granted"),
                     [](const Value& argument, AppCallAnswer answer) {
                         VezEduduz::consentGranted(*argument["granted"].asBool());
                         answer.success(Value());
                     }});
}

}  // namespace tesmar_host
