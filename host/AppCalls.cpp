#include "host/AppCalls.h"

#include "host/PushAppCalls.h"
#include "platform/foundation/DeviceEvents.h"
#include "platform/foundation/JSON.h"

namespace tesmar_host {

using platform::Value;

AppCallAnswer::AppCallAnswer(std::string call) : call_(std::move(call)), answered_(std::make_shared<bool>(false)) {}

void AppCallAnswer::success(const Value& value) const {
    if (std::exchange(*answered_, true)) return;
    platform::DeviceEvents::post("app-call.result",
                                 Value::dictionary({{"call", call_}, {"outcome", "success"}, {"value", value}}));
}

void AppCallAnswer::failure(const platform::Error& error) const {
    if (std::exchange(*answered_, true)) return;
    Value described = Value::dictionary({{"domain", error.domain}, {"code", error.code}, {"info", error.userInfo}});
    platform::DeviceEvents::post("app-call.result",
                                 Value::dictionary({{"call", call_}, {"outcome", "failure"}, {"error", described}}));
}

std::vector<AppCall>& appCallTable() {
    static std::vector<AppCall>* table = [] {
        auto* rows = new std::vector<AppCall>();
        addPushAppCalls(*rows);
        return rows;
    }();
    return *table;
}

const AppCall* findAppCall(const std::string& name) {
    for (const auto& call : appCallTable())
        if (call.name == name) return &call;
    return nullptr;
}

ParsedAppCall parseAppCall(const std::string& text) {
    ParsedAppCall parsed;
    auto gap = text.find_first_of(" \t");
    parsed.name = text.substr(0, gap);
    std::string json = gap == std::string::npos ? "" : text.substr(text.find_first_not_of(" \t", gap));
    auto fail = [&](const std::string& message) {
        parsed.error = "app-call " + parsed.name + ": " + message;
        return parsed;
    };
    if (parsed.name.empty()) {
        parsed.error = "app-call needs a call name (see --help)";
        return parsed;
    }
    const AppCall* call = findAppCall(parsed.name);
    if (!call) {
        parsed.error = "app-call: unknown call '" + parsed.name + "' (see --help)";
        return parsed;
    }
    if (call->argument == AppCallArgument::None) {
        if (!json.empty()) return fail("takes no argument, got '" + json + "'");
    } else {
        const bool object = call->argument == AppCallArgument::Object;
        if (json.empty()) return fail(object ? "needs a JSON object" : "needs a JSON array");
        auto value = platform::json::read(json);
        if (!value) return fail("bad JSON: " + value.error().localizedDescription());
        if (object ? !value.value().isDictionary() : !value.value().isArray())
            return fail(object ? "the argument must be a JSON object" : "the argument must be a JSON array");
        parsed.argument = std::move(value).value();
    }
    if (call->check)
        if (auto problem = call->check(parsed.argument)) return fail(*problem);
    return parsed;
}

void runAppCall(const std::string& name, const Value& argument) {
    const AppCall* call = findAppCall(name);
    AppCallAnswer answer(name);
    if (!call) {
        answer.failure(platform::Error("tesmar-sim", 0, Value::dictionary({{"error", "unknown call"}})));
        return;
    }
    call->run(argument, answer);
}

std::string appCallUsageText() {
    std::string out;
    for (const auto& call : appCallTable()) {
        // "SYNOPSIS  what it does": the descriptions line up in one column.
        auto gap = call.usage.find("  ");
        std::string synopsis = call.usage.substr(0, gap);
        std::string summary = gap == std::string::npos ? "" : call.usage.substr(call.usage.find_first_not_of(' ', gap));
        if (synopsis.size() < 44) synopsis.resize(44, ' ');
        out += "      " + synopsis + " " + summary + "\n";
    }
    return out;
}

}  // namespace tesmar_host
