#include "platform/foundation/PlatformConfig.h"
#include "platform/dispatch/ThreadChecks.h"

namespace platform {

namespace {

struct State {
    dispatch::Mutex mutex;
    PlatformSettings settings GUARDED_BY(mutex);
    std::map<int, std::function<void(bool)>> listeners GUARDED_BY(mutex);
    int nextListener GUARDED_BY(mutex) = 1;
};

State& state() {
    static State* s = new State;  // never destroyed: read from threads that may outlive static teardown
    return *s;
}

void notifyNetwork(bool up) {
    std::map<int, std::function<void(bool)>> listeners;
    {
        dispatch::MutexLock lock(state().mutex);
        listeners = state().listeners;
    }
    for (auto& [id, listener] : listeners) listener(up);
}

}  // namespace

PlatformSettings PlatformConfig::current() {
    dispatch::MutexLock lock(state().mutex);
    return state().settings;
}

void PlatformConfig::set(PlatformSettings settings) {
    bool changed;
    bool up = settings.networkUp;
    {
        dispatch::MutexLock lock(state().mutex);
        changed = state().settings.networkUp != up;
        state().settings = std::move(settings);
    }
    if (changed) notifyNetwork(up);
}

void PlatformConfig::update(const std::function<void(PlatformSettings&)>& change) {
    bool changed;
    bool up;
    {
        dispatch::MutexLock lock(state().mutex);
        bool before = state().settings.networkUp;
        change(state().settings);
        up = state().settings.networkUp;
        changed = before != up;
    }
    if (changed) notifyNetwork(up);
}

bool PlatformConfig::networkUp() {
    dispatch::MutexLock lock(state().mutex);
    return state().settings.networkUp;
}

void PlatformConfig::setNetworkUp(bool up) {
    update([up](PlatformSettings& s) { s.networkUp = up; });
}

OperatingSystemVersion PlatformConfig::systemVersion() {
    dispatch::MutexLock lock(state().mutex);
    return state().settings.systemVersion;
}

std::string PlatformConfig::processName() {
    dispatch::MutexLock lock(state().mutex);
    return state().settings.processName;
}

std::optional<std::string> PlatformConfig::connectTarget(const std::string& hostAndPort) {
    dispatch::MutexLock lock(state().mutex);
    auto it = state().settings.connectTo.find(hostAndPort);
    if (it == state().settings.connectTo.end()) return std::nullopt;
    return it->second;
}

std::string PlatformConfig::deviceRoot() {
    dispatch::MutexLock lock(state().mutex);
    return state().settings.deviceRoot;
}

int PlatformConfig::addNetworkListener(std::function<void(bool)> listener) {
    dispatch::MutexLock lock(state().mutex);
    int id = state().nextListener++;
    state().listeners[id] = std::move(listener);
    return id;
}

void PlatformConfig::removeNetworkListener(int id) {
    dispatch::MutexLock lock(state().mutex);
    state().listeners.erase(id);
}

}  // namespace platform
