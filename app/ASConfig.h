#pragma once
// The shell's configuration: the record ASConfig, its parser, and the process-wide service that
// reads the bundle's "Config.json" once, on first use.
//
// Threads: shared() is safe from any thread (built once); the record is read and written on the
// main thread only.
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/URL.h"

namespace Tesmar {

using ConfigDictionary = std::map<std::string, std::string>;

class ASConfig {
public:
    ASConfig(std::optional<platform::URL> baseURL, bool pushNotificationsEnabled,
             std::optional<std::string> baseUrlHomeHost)
        : baseURL(std::move(baseURL)), pushNotificationsEnabled(pushNotificationsEnabled),
          baseUrlHomeHost(std::move(baseUrlHomeHost)) {}

    std::optional<platform::URL> baseURL;
    bool pushNotificationsEnabled;
    std::optional<std::string> baseUrlHomeHost;
};

class ASConfigParser {
public:
    std::shared_ptr<ASConfig> parse(const ConfigDictionary& dictionary) const;
};

class ASConfigService {
public:
    // Built on the first call, never released.
    static std::shared_ptr<ASConfigService> shared();
    // The resource's top-level object when every value is a string; otherwise empty.
    static ConfigDictionary readConfigFile();

    ASConfigService(std::shared_ptr<ASConfigParser> parser, std::shared_ptr<ASConfig> config)
        : parser(std::move(parser)), config(std::move(config)) {}

    bool pushNotificationsEnabled() const { return config->pushNotificationsEnabled; }
    const std::optional<std::string>& baseUrlHomeHost() const { return config->baseUrlHomeHost; }
    const std::optional<platform::URL>& baseURL() const { return config->baseURL; }
    void setBaseURL(std::optional<platform::URL> url) { config->baseURL = std::move(url); }

    const std::shared_ptr<ASConfigParser> parser;
    const std::shared_ptr<ASConfig> config;

    // How many times shared() has built the service.
    static int buildCount();
};

}  // namespace Tesmar
