#include "platform/urlsession/URLSessionConfiguration.h"

#include "platform/urlsession/URLCache.h"
#include "platform/urlsession/URLCredentialStorage.h"

namespace platform {

URLSessionConfiguration URLSessionConfiguration::defaultSessionConfiguration() {
    URLSessionConfiguration c;
    c.HTTPAdditionalHeaders = Value::dictionary();
    c.HTTPCookieStorage = platform::HTTPCookieStorage::shared();
    c.URLCredentialStorage = platform::URLCredentialStorage::sharedCredentialStorage();
    c.URLCache = platform::URLCache::sharedURLCache();
    return c;
}

URLSessionConfiguration URLSessionConfiguration::ephemeralSessionConfiguration() {
    URLSessionConfiguration c = defaultSessionConfiguration();
    c.HTTPCookieStorage = std::make_shared<platform::HTTPCookieStorage>();
    c.URLCredentialStorage = std::make_shared<platform::URLCredentialStorage>();
    c.URLCache = std::make_shared<platform::URLCache>();
    return c;
}

URLSessionConfiguration URLSessionConfiguration::backgroundSessionConfiguration(std::string identifier) {
    URLSessionConfiguration c = defaultSessionConfiguration();
    c.identifier_ = std::move(identifier);
    return c;
}

}  // namespace platform
