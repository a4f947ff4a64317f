#pragma once
// App calls: what an application's own code would call on an SDK, played by the host's
// `app-call NAME [JSON]` command. One row per call: its name, the shape of its argument, a check of the
// argument (run when the script is parsed, so a bad call refuses the script before anything happens),
// and the call itself. SDKs add rows to appCallTable().
//
// Each call answers once with an "app-call.result" event:
//   {"event":"app-call.result","call":NAME,"outcome":"success","value":...}
//   {"event":"app-call.result","call":NAME,"outcome":"failure","error":{"domain":...,"code":...,"info":...}}
// Calls that take no blocks answer success (value null) as soon as they were made. A call the SDK drops
// without answering its blocks (tags with a nested value, say) prints nothing. Main loop.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace tesmar_host {

// The outcome of one app call; the first report counts, later ones are ignored.
class AppCallAnswer {
public:
    explicit AppCallAnswer(std::string call);
    void success(const platform::Value& value) const;
    void failure(const platform::Error& error) const;

private:
    std::string call_;
    std::shared_ptr<bool> answered_;
};

enum class AppCallArgument {
    None,    // no JSON
    Object,  // a JSON object
    Array,   // a JSON array
};

struct AppCall {
    std::string name;
    AppCallArgument argument = AppCallArgument::None;
    std::string usage;  // "NAME ARG  what it does" (two blanks before the description), for --help
    // Answers what is wrong with the argument (its shape is checked before); nullopt when it is fine.
    std::function<std::optional<std::string>(const platform::Value& argument)> check;
    std::function<void(const platform::Value& argument, AppCallAnswer answer)> run;
};

std::vector<AppCall>& appCallTable();
const AppCall* findAppCall(const std::string& name);

// Parses "NAME [JSON]": the call's name and its argument (null when none), or the error text.
struct ParsedAppCall {
    std::string name;
    platform::Value argument;
    std::string error;
};
ParsedAppCall parseAppCall(const std::string& text);

// Runs a call that parseAppCall accepted.
void runAppCall(const std::string& name, const platform::Value& argument);

// One line per call, for --help.
std::string appCallUsageText();

}  // namespace tesmar_host
