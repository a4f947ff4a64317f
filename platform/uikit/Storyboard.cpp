#include "platform/uikit/Storyboard.h"
#include "platform/dispatch/ThreadChecks.h"

namespace platform::uikit {

namespace {
dispatch::Mutex registryMutex;
std::map<std::string, std::shared_ptr<Storyboard>>& registry() REQUIRES(registryMutex) {
    static std::map<std::string, std::shared_ptr<Storyboard>> r;
    return r;
}
}  // namespace

void Storyboard::registerStoryboard(const std::string& name, Definition definition) {
    auto board = std::make_shared<Storyboard>(name, std::move(definition));
    dispatch::MutexLock lock(registryMutex);
    registry()[name] = std::move(board);
}

void Storyboard::unregisterAll() {
    dispatch::MutexLock lock(registryMutex);
    registry().clear();
}

std::shared_ptr<Storyboard> Storyboard::named(const std::string& name) {
    dispatch::MutexLock lock(registryMutex);
    auto it = registry().find(name);
    return it == registry().end() ? nullptr : it->second;
}

std::shared_ptr<ViewController> Storyboard::adopt(std::shared_ptr<ViewController> controller) {
    if (controller) controller->storyboard_ = weak_from_this();
    return controller;
}

std::shared_ptr<ViewController> Storyboard::instantiateInitialViewController() {
    if (!definition_.initial) return nullptr;
    return adopt(definition_.initial());
}

std::shared_ptr<ViewController> Storyboard::instantiateViewControllerWithIdentifier(const std::string& identifier) {
    auto it = definition_.scenes.find(identifier);
    if (it == definition_.scenes.end() || !it->second) return nullptr;
    return adopt(it->second());
}

}  // namespace platform::uikit
