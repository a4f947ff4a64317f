#include "app/ASConfig.h"

#include <atomic>
#include <fstream>
#include <sstream>

#include "app/Console.h"
#include "app/Strings.h"
#include "platform/dispatch/ThreadChecks.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/ResetRegistry.h"

namespace Tesmar {

namespace {

// Far above any real configuration; keeps a stray large file from being read whole.
constexpr std::streamsize kMaxConfigBytes = 1024 * 1024;

platform::dispatch::Mutex sharedMutex;
std::shared_ptr<ASConfigService> sharedService GUARDED_BY(sharedMutex);
std::atomic<int> builds{0};

void dictionaryError() { debugPrint("ASConfigService :: readConfigFile :: dictionary error"); }

}  // namespace

std::shared_ptr<ASConfig> ASConfigParser::parse(const ConfigDictionary& dictionary) const {
    auto text = [&](const char* key) -> std::optional<std::string> {
        auto it = dictionary.find(key);
        if (it == dictionary.end()) return std::nullopt;
        return it->second;
    };
    std::optional<platform::URL> baseURL;
    if (std::string base = text(Strings::DictionaryKey::baseUrl).value_or(""); !base.empty())
        baseURL = platform::URL::string(base);
    bool push = text(Strings::DictionaryKey::pushNotificationsEnabled) == std::string(Strings::BoolValue::trueString);
    return std::make_shared<ASConfig>(std::move(baseURL), push, text(Strings::DictionaryKey::baseUrlHomeHost));
}

ConfigDictionary ASConfigService::readConfigFile() {
    auto bundle = platform::Bundle::mainBundle();
    auto path =
        bundle ? bundle->pathForResource(Strings::File::Name::config, Strings::File::Extension::json) : std::nullopt;
    if (!path) return {};

    std::ifstream file(*path, std::ios::binary);
    if (!file) {
        dictionaryError();
        return {};
    }
    // Read in pieces: the file is small, and a buffer the size of the limit would cost the launch a
    // megabyte of fresh memory to fill.
    std::string bytes;
    char piece[16 * 1024];
    while (file.read(piece, sizeof piece) || file.gcount() > 0) {
        bytes.append(piece, static_cast<size_t>(file.gcount()));
        if (bytes.size() > static_cast<size_t>(kMaxConfigBytes)) break;
    }
    if (file.bad() || bytes.size() > static_cast<size_t>(kMaxConfigBytes)) {
        dictionaryError();
        return {};
    }

    auto parsed = platform::json::read(bytes);
    if (!parsed) {
        dictionaryError();
        return {};
    }
    const platform::Value& value = parsed.value();
    const auto* object = value.asDictionary();
    if (!object) {
        if (!value.isArray()) dictionaryError();
        return {};
    }
    ConfigDictionary dictionary;
    for (const auto& [key, entry] : *object) {
        if (!entry.isString()) return {};
        dictionary[key] = entry.stringOr("");
    }
    return dictionary;
}

std::shared_ptr<ASConfigService> ASConfigService::shared() {
    platform::dispatch::MutexLock lock(sharedMutex);
    if (!sharedService) {
        auto parser = std::make_shared<ASConfigParser>();
        auto config = parser->parse(readConfigFile());
        sharedService = std::make_shared<ASConfigService>(parser, config);
        builds.fetch_add(1);
        // Forgotten, the next shared() reads the resource again.
        platform::ResetRegistry::add("tesmar.config", [] {
            platform::dispatch::MutexLock lock(sharedMutex);
            sharedService.reset();
        });
    }
    return sharedService;
}

int ASConfigService::buildCount() { return builds.load(); }

}  // namespace Tesmar
