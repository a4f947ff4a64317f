#pragma once
// Storyboards built in code: a named registry of scene factories. Main thread only for
// instantiation; registration is thread-safe.
//
//     Storyboard::registerStoryboard("Main", {.initial = [] { return makeRoot(); },
//                                             .scenes = {{"ViewController", [] { return make(); }}}});
//     auto vc = Storyboard::named("Main")->instantiateViewControllerWithIdentifier("ViewController");
//
// Every controller made through a storyboard knows it (ViewController::storyboard()).
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/uikit/ViewController.h"

namespace platform::uikit {

class Storyboard : public std::enable_shared_from_this<Storyboard> {
public:
    using Factory = std::function<std::shared_ptr<ViewController>()>;
    struct Definition {
        Factory initial = {};                        // may be empty: no initial scene
        std::map<std::string, Factory> scenes = {};  // identifier -> factory
    };

    // Replaces any storyboard of that name.
    static void registerStoryboard(const std::string& name, Definition definition);
    static void unregisterAll();  // tests
    // Null when no storyboard has that name.
    static std::shared_ptr<Storyboard> named(const std::string& name);

    const std::string& name() const { return name_; }
    // Null when there is no initial scene.
    std::shared_ptr<ViewController> instantiateInitialViewController();
    // Null when no scene has that identifier.
    std::shared_ptr<ViewController> instantiateViewControllerWithIdentifier(const std::string& identifier);

    Storyboard(std::string name, Definition definition) : name_(std::move(name)), definition_(std::move(definition)) {}

private:
    std::shared_ptr<ViewController> adopt(std::shared_ptr<ViewController> controller);
    std::string name_;
    Definition definition_;
};

}  // namespace platform::uikit
