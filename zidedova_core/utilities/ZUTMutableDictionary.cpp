#include "zidedova_core/utilities/ZUTMutableDictionary.h"

namespace zidedova {

ZUTMutableDictionary::ZUTMutableDictionary()
    : queue_("ZUTMutableDictionary"), objects_(std::make_shared<platform::ValueDictionary>()) {}

std::optional<platform::Value> ZUTMutableDictionary::objectForKey(std::string_view key) const {
    std::optional<platform::Value> out;
    queue_.sync([&] {
        auto it = objects_->find(key);
        if (it != objects_->end()) out = it->second;
    });
    return out;
}

void ZUTMutableDictionary::setObject(std::optional<platform::Value> object, std::string key) {
    queue_.async([objects = objects_, object = std::move(object), key = std::move(key)]() mutable {
        if (object)
            (*objects)[key] = std::move(*object);
        else
            objects->erase(key);
    });
}

void ZUTMutableDictionary::removeObjectForKey(std::string key) { setObject(std::nullopt, std::move(key)); }

void ZUTMutableDictionary::removeObjectForKey(std::string key, platform::Value expected) {
    queue_.async([objects = objects_, key = std::move(key), expected = std::move(expected)] {
        auto it = objects->find(key);
        if (it != objects->end() && it->second == expected) objects->erase(it);
    });
}

void ZUTMutableDictionary::removeAllObjects() {
    queue_.async([objects = objects_] { objects->clear(); });
}

size_t ZUTMutableDictionary::count() const {
    return queue_.syncResult([&] { return objects_->size(); });
}

platform::ValueDictionary ZUTMutableDictionary::dictionary() const {
    return queue_.syncResult([&] { return *objects_; });
}

std::string ZUTMutableDictionary::description() const {
    return queue_.syncResult([&] { return platform::Value(*objects_).description(); });
}

}  // namespace zidedova
